// The real agente program with its window on the offscreen platform: the
// single running instance, the start without a display, the close on SIGTERM.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>

#include "core/StationLock.h"
#include "shell/Windows1252.h"
#include "tests/gui/WindowBench.h"

namespace {

struct Agent {
    QProcess process;
    void Start(const WindowBench& b, const QString& logDir, const QString& runtime,
               const QStringList& extraEnv = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("KELVOR_LOCK_DIR", runtime);
        for (const QString& pair : extraEnv)
            env.insert(pair.section('=', 0, 0), pair.section('=', 1));
        process.setProcessEnvironment(env);
        QDir().mkpath(logDir);
        process.start(BuildDir() + "/core/agente", {"--registry", b.registry, "--log-dir", logDir});
        ASSERT_TRUE(process.waitForStarted(10000));
    }
    ~Agent() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
};

QString ServerName(const QString& runtime) {
    return QDir(runtime).filePath(QString("TMainForm.Agente de Kelvor II.%1").arg(getuid()));
}

bool Answers(const QString& server) {
    QLocalSocket socket;
    socket.connectToServer(server);
    return socket.waitForConnected(1000);
}

QString RuntimeDir(const WindowBench& b) {
    const QString runtime = b.dir.File("xdg");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return runtime;
}

}  // namespace

TEST(AgentProgram, ASecondAgentSaysSoAndEndsLeavingTheFirstRunning) {
    WindowBench b;
    const QString runtime = RuntimeDir(b);
    // The settings file gets the log switch so that both runs would leave a log.
    WriteAll(b.registry, ReadAll(b.registry) +
                             "\r\n[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n"
                             "\"LogFileActivado\"=dword:00000001\r\n"
                             "\"LogFileAppend\"=dword:00000001\r\n");

    Agent first;
    first.Start(b, b.dir.File("primero"), runtime);
    // Running once its lock file names it.
    ASSERT_TRUE(SpinUntil([&] {
        return Answers(ServerName(runtime)) || first.process.state() == QProcess::NotRunning;
    }));
    ASSERT_EQ(first.process.state(), QProcess::Running)
        << first.process.readAllStandardError().toStdString();

    Agent second;
    second.Start(b, b.dir.File("segundo"), runtime, {"KELVOR_DIALOG_TIMEOUT_MS=50"});
    ASSERT_TRUE(second.process.waitForFinished(30000));
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_TRUE(second.process.readAllStandardError().contains(
        "Ya esta ejecutando una instancia del agente"));
    // Nothing else started: no session log of its own.
    EXPECT_TRUE(QDir(b.dir.File("segundo")).entryList(QDir::Files).isEmpty());

    // The first is untouched and still answers.
    EXPECT_EQ(first.process.state(), QProcess::Running);
    EXPECT_TRUE(Answers(ServerName(runtime)));

    // SIGTERM closes it as an accepted close does.
    first.process.terminate();
    ASSERT_TRUE(first.process.waitForFinished(30000));
    EXPECT_EQ(first.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.process.exitCode(), 0);
    const QString log = FromWindows1252(ReadAll(b.dir.File("primero/AGKelvorI.log")));
    EXPECT_TRUE(log.contains("[Main] Fin de la espera de finalización"));
    EXPECT_TRUE(log.contains("[LogFile] Fin de sesión"));
    EXPECT_FALSE(QFileInfo::exists(ServerName(runtime)));

    // With the first gone, the next one starts.
    Agent third;
    third.Start(b, b.dir.File("tercero"), runtime);
    EXPECT_TRUE(SpinUntil([&] { return Answers(ServerName(runtime)); }));
    third.process.terminate();
    EXPECT_TRUE(third.process.waitForFinished(30000));
}

// The station lock holds across the kinds of agent: a window agent on the
// settings file a headless agent serves starts no second agent and shows no
// warning; it shows the service's state until SIGTERM ends it. The headless
// agent goes on.
TEST(AgentProgram, AWindowAgentShowsTheServiceThatServesTheStationUntilSigterm) {
    WindowBench b;
    const QString runtime = RuntimeDir(b);
    QProcess headless;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELVOR_LOCK_DIR", runtime);
    headless.setProcessEnvironment(env);
    headless.start(BuildDir() + "/core/agente",
                   {"--headless", "--registry", b.registry, "--log-dir", b.dir.File("servicio")});
    ASSERT_TRUE(headless.waitForStarted(10000));
    // Running once its lock file names it.
    ASSERT_TRUE(SpinUntil([&] {
        return ReadAll(QDir(runtime).filePath(
                           QDir(runtime).entryList({"kelvor-agente.*.lock"}).value(0, "-")))
            .startsWith(QByteArray::number(headless.processId()) + ' ');
    }));

    Agent window;
    window.Start(b, b.dir.File("ventana"), runtime,
                 {"KELVOR_SERVICE_REFRESH_MS=100", "KELVOR_SCREENSHOT=" + b.dir.File("vista.png")});
    QByteArray error;
    ASSERT_TRUE(SpinUntil([&] {
        error += window.process.readAllStandardError();
        return error.contains("se muestra su estado") ||
               window.process.state() == QProcess::NotRunning;
    }));
    EXPECT_TRUE(error.contains("el servicio atiende la estación 1 (proceso " +
                               QByteArray::number(headless.processId()) + " ("))
        << error.toStdString();
    EXPECT_FALSE(error.contains("Ya esta ejecutando una instancia del agente"));
    // It stays, through several refreshes, with the view on the screen and
    // without an agent of its own: no session log, no window agent's socket.
    ASSERT_TRUE(SpinUntil([&] { return QFileInfo::exists(b.dir.File("vista.png")); }));
    SpinUntil([] { return false; }, 500);
    ASSERT_EQ(window.process.state(), QProcess::Running);
    EXPECT_TRUE(QDir(b.dir.File("ventana")).entryList(QDir::Files).isEmpty());
    EXPECT_FALSE(Answers(ServerName(runtime)));

    // SIGTERM (a logout) ends it at once.
    window.process.terminate();
    ASSERT_TRUE(window.process.waitForFinished(10000));
    EXPECT_EQ(window.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.process.exitCode(), 0);

    EXPECT_EQ(headless.state(), QProcess::Running);
    headless.terminate();
    EXPECT_TRUE(headless.waitForFinished(30000));
    EXPECT_EQ(headless.exitCode(), 0);
}

// A station lock that cannot be taken (here a FIFO planted at its name) is no
// guard silently off: the window agent says why and ends with status 1, and
// opens no window nor session.
TEST(AgentProgram, AWindowAgentWithoutItsStationLockSaysWhyAndEnds) {
    WindowBench b;
    const QString runtime = RuntimeDir(b);
    const QString lock = StationLock(b.registry, runtime).LockPath();
    ASSERT_EQ(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
    Agent window;
    window.Start(b, b.dir.File("ventana"), runtime, {"KELVOR_DIALOG_TIMEOUT_MS=50"});
    ASSERT_TRUE(window.process.waitForFinished(30000));
    EXPECT_EQ(window.process.exitCode(), 1);
    const QByteArray error = window.process.readAllStandardError();
    EXPECT_TRUE(error.contains("No se pudo tomar el bloqueo de la estación"))
        << error.toStdString();
    EXPECT_TRUE(error.contains("no es un archivo común")) << error.toStdString();
    EXPECT_TRUE(QDir(b.dir.File("ventana")).entryList(QDir::Files).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(ServerName(runtime)));
}

// The "Cuidado" box of a second window agent ends on SIGTERM: nobody is
// there to press its button after a logout.
TEST(AgentProgram, TheSecondAgentsWarningEndsOnSigterm) {
    WindowBench b;
    const QString runtime = RuntimeDir(b);
    Agent first;
    first.Start(b, b.dir.File("primero"), runtime);
    ASSERT_TRUE(SpinUntil([&] {
        return Answers(ServerName(runtime)) || first.process.state() == QProcess::NotRunning;
    }));
    ASSERT_EQ(first.process.state(), QProcess::Running);

    Agent second;
    second.Start(b, b.dir.File("segundo"), runtime);
    // The box waits for its button: the program is still there.
    SpinUntil([] { return false; }, 1500);
    ASSERT_EQ(second.process.state(), QProcess::Running);
    second.process.terminate();
    ASSERT_TRUE(second.process.waitForFinished(10000));
    EXPECT_EQ(second.process.exitCode(), 0);
    EXPECT_TRUE(second.process.readAllStandardError().contains(
        "Ya esta ejecutando una instancia del agente"));
    EXPECT_EQ(first.process.state(), QProcess::Running);
    first.process.terminate();
    EXPECT_TRUE(first.process.waitForFinished(30000));
}

TEST(AgentProgram, WithoutADisplayItSuggestsHeadless) {
    WindowBench b;
    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    agent.setProcessEnvironment(env);
    agent.start(BuildDir() + "/core/agente", {"--registry", b.registry, "--log-dir", b.dir.Path()});
    ASSERT_TRUE(agent.waitForFinished(20000));
    EXPECT_EQ(agent.exitCode(), 1);
    const QByteArray error = agent.readAllStandardError();
    EXPECT_TRUE(error.contains("--headless")) << error.toStdString();
    EXPECT_EQ(error.count('\n'), 1);
    EXPECT_FALSE(QFileInfo::exists(b.dir.File("AGKelvorI.log")));
}

// The window agent and the installer's settings file: a station that cannot
// be read is a message and a non-zero exit with nothing started; an edit
// made while the window runs is there after its close, which writes nothing
// the operator did not change.
TEST(AgentProgram, TheWindowServesNoGuessedStationAndItsCloseKeepsAnEdit) {
    WindowBench b;
    const QString runtime = RuntimeDir(b);
    // No reader: no "ComError" write can race the edit below.
    // A value stored as text is said in the window's rows and its log.
    const QByteArray good = ReadAll(b.registry) +
                            "\r\n[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n"
                            "\"Estacion\"=dword:00000001\r\n\"DifHora\"=dword:00000005\r\n"
                            "\"LogFileActivado\"=dword:00000001\r\n\"LogFileAppend\"=dword:00000001\r\n"
                            "\"Filas\"=\"64\"\r\n";

    QByteArray bad = good;
    bad.replace("\"Estacion\"=dword:00000001", "\"Estacion\"=dword:00000001 ; nota");
    ASSERT_TRUE(WriteAll(b.registry, bad));
    {
        Agent window;
        window.Start(b, b.dir.File("mala"), runtime, {"KELVOR_DIALOG_TIMEOUT_MS=50"});
        ASSERT_TRUE(window.process.waitForFinished(30000));
        EXPECT_EQ(window.process.exitCode(), 1);
        const QByteArray error = window.process.readAllStandardError();
        EXPECT_TRUE(error.contains("\"Estacion\"=dword:00000001 ; nota")) << error.toStdString();
        EXPECT_TRUE(QDir(b.dir.File("mala")).entryList(QDir::Files).isEmpty());
        EXPECT_EQ(ReadAll(b.registry), bad);
    }

    ASSERT_TRUE(WriteAll(b.registry, good));
    Agent window;
    window.Start(b, b.dir.File("ventana"), runtime);
    ASSERT_TRUE(SpinUntil([&] { return Answers(ServerName(runtime)); }));
    QByteArray edited = good;
    edited.replace("\"DifHora\"=dword:00000005",
                   "; por el instalador\r\n\"DifHora\"=dword:00000009");
    ASSERT_TRUE(WriteAll(b.registry, edited));
    window.process.terminate();
    ASSERT_TRUE(window.process.waitForFinished(30000));
    EXPECT_EQ(window.process.exitCode(), 0);
    EXPECT_EQ(ReadAll(b.registry), edited);
    const QString log = FromWindows1252(ReadAll(b.dir.File("ventana/AGKelvorI.log")));
    EXPECT_EQ(log.count("[Main] ATENCION : El valor \"Filas\"=\"64\" de la clave"), 1)
        << log.toStdString();
}
