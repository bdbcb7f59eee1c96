// End to end: the real agente program (headless) against simulated readers on
// a real pseudo-terminal and a real SQLite file, started, stopped and killed
// as a service manager would.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "core/ServiceNotifier.h"
#include "shell/RegistryFile.h"
#include "shell/Windows1252.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

// Polls a condition every few milliseconds up to a deadline (the agent is
// another process: there is nothing to wait on directly).
bool WaitFor(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

// The agent's key of a settings file, one `name=raw value` per line.
QString AgentKeyText(const QString& registry) {
    const auto key = RegistryFile(registry).OpenKeyRead(RegistryKeys::kAgent);
    QStringList lines;
    for (const QString& name : key ? key->ValueNames() : QStringList())
        lines << name + '=' + key->Raw(name).value_or(QString());
    return lines.join('\n');
}

struct Site {
    AgentBench b;
    QString logDir;

    explicit Site(BenchDb db = BenchDb::SQLite) : b(db) {
        if (!b.Ready())
            return;
        logDir = b.dir.File("log");
        QDir().mkpath(logDir);
        b.AddStation(1, b.LinePath());
        b.AddReader("A1", 1);
        b.AddReader("B1", 1, false, /*hta*/ true);
        b.Reader(u'A');
        b.Reader(u'B');
        b.config.LogFileAppend = 1;
    }
    // The agent's settings as the program reads them.
    void SaveSettings() {
        TConfig fresh = b.config;  // never loaded: writes every setting
        fresh.Save(RegistryFile(b.registry));
        written = AgentKeyText(b.registry);
    }
    QString written;  // the agent's key as the test wrote it

    // service: what a service manager puts in the environment
    // ($NOTIFY_SOCKET, $WATCHDOG_USEC); nothing of it by default.
    QProcess* Start(const QStringList& extra, const std::map<QString, QString>& service = {}) {
        SaveSettings();
        auto* p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"KELVOR_REGISTRY", "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            env.remove(name);
        for (const auto& [name, value] : service) env.insert(name, value);
        env.insert("KELVOR_LOCK_DIR", b.dir.Path());  // the station locks of this test only
        p->setProcessEnvironment(env);
        // To files, so that a full pipe can never hold the agent up.
        p->setStandardOutputFile(b.dir.File("stdout.txt"));
        p->setStandardErrorFile(b.dir.File("stderr.txt"));
        p->start(BuildDir() + "/core/agente",
                 QStringList{"--headless", "--registry", b.registry, "--log-dir", logDir} + extra);
        EXPECT_TRUE(p->waitForStarted(10000)) << p->errorString().toStdString();
        return p;
    }
    QStringList Log() const {
        return FromWindows1252(ReadAll(logDir + "/AGKelvorI.log")).split("\r\n");
    }
    QString Stderr() const { return QString::fromUtf8(ReadAll(b.dir.File("stderr.txt"))); }
};

// Keys stored in REGISTRA, with how many times each.
std::map<int, int> StoredKeys(AgentBench& b) {
    std::map<int, int> keys;
    for (const QVariantList& r : b.Rows("SELECT NroLlave FROM REGISTRA WHERE CodEstado = 'ENTHAB'"))
        ++keys[r[0].toInt()];
    return keys;
}

std::set<int> HeldKeys(SimulatedReader& r) {
    std::set<int> keys;
    for (const QByteArray& rec : r.Registrations()) keys.insert(rec.mid(11, 5).toInt());
    return keys;
}

// The receiving end of sd_notify: a datagram socket at a path, as systemd's.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path) : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(addr.sun_path, name.constData(),
                    std::min<size_t>(name.size(), sizeof(addr.sun_path) - 1));
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~NotifySocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Bound() const { return m_bound; }
    // Every message received so far, oldest first.
    QStringList Messages() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            m_messages << QString::fromUtf8(buffer, n);
        }
        return m_messages;
    }

private:
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
    QStringList m_messages;
};

}  // namespace

// The first line of each message: READY=1, WATCHDOG=1, STATUS=..., STOPPING=1.
QStringList Kinds(const QStringList& messages) {
    QStringList kinds;
    for (const QString& m : messages) kinds << m.section('\n', 0, 0);
    return kinds;
}

TEST(HeadlessAgent, TellsTheServiceManagerReadyAndFeedsItsWatchdogAfterEachCycleOnlyWhenAsked) {
    if (!ServiceNotifier::Built())
        GTEST_SKIP() << "built without libsystemd: the unit is Type=simple";
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    s.b.Reader(u'A').AddRegistration("11", 123, Minute(s.b.clock.Now().addSecs(-600)));

    // Without WatchdogSec ($WATCHDOG_USEC unset): ready, status, no pings.
    NotifySocket plain(s.b.dir.File("notify-plain"));
    ASSERT_TRUE(plain.Bound());
    std::unique_ptr<QProcess> p(
        s.Start({"--cycles", "2"}, {{"NOTIFY_SOCKET", s.b.dir.File("notify-plain")}}));
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitCode(), 0) << s.Stderr().toStdString();
    EXPECT_EQ(Kinds(plain.Messages()), (QStringList{"READY=1", "STATUS=Ciclos completos: 1",
                                                    "STATUS=Ciclos completos: 2", "STOPPING=1"}));

    // WatchdogSec=10min: one ping after each cycle, and the interval in the
    // status.
    NotifySocket manager(s.b.dir.File("notify"));
    ASSERT_TRUE(manager.Bound());
    p.reset(s.Start({"--cycles", "3"},
                    {{"NOTIFY_SOCKET", s.b.dir.File("notify")}, {"WATCHDOG_USEC", "600000000"}}));
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitCode(), 0) << s.Stderr().toStdString();
    const QStringList messages = manager.Messages();
    QStringList cycles = messages;
    cycles.removeAll("WATCHDOG=1");  // the pings of progress within the cycles
    EXPECT_EQ(Kinds(cycles),
              (QStringList{"READY=1", "WATCHDOG=1", "WATCHDOG=1", "WATCHDOG=1", "STOPPING=1"}));
    EXPECT_GE(messages.count("WATCHDOG=1"), 1);
    EXPECT_EQ(messages.filter("watchdog: 600 s").size(), 1);
    EXPECT_EQ(messages.filter("WATCHDOG_USEC").size(), 0);  // the settings' steps fit in it
    EXPECT_EQ(messages.filter("Ciclos completos: 3").size(), 1);
    EXPECT_EQ(s.b.Count("REGISTRA", "NroLlave = 123"), 1);
}

// A reader holding many records at 9600 bit/s takes longer to read than a
// watchdog sized for one step: the read itself feeds it, ping after ping,
// before its cycle ends; every record is stored and the reader erased.
TEST(HeadlessAgent, FeedsTheWatchdogDuringALongReadOfManyRecords) {
    if (!ServiceNotifier::Built())
        GTEST_SKIP() << "built without libsystemd: the unit is Type=simple";
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    constexpr int kRecords = 1000;  // about 20 s on the line
    // Two a minute, all of today.
    const QDateTime first = Minute(s.b.clock.Now().addSecs(-30 * (kRecords + 20)));
    for (int i = 0; i < kRecords; ++i)
        s.b.Reader(u'A').AddRegistration("11", 10000 + i, first.addSecs(30 * i));
    SimFaults paced;
    paced.lineSpeed = true;  // one byte per byte time of the line
    s.b.Reader(u'A').SetFaults(paced);
    NotifySocket manager(s.b.dir.File("notify"));
    ASSERT_TRUE(manager.Bound());
    std::unique_ptr<QProcess> p(
        s.Start({"--cycles", "1"},
                {{"NOTIFY_SOCKET", s.b.dir.File("notify")}, {"WATCHDOG_USEC", "600000000"}}));
    // Read as the service manager reads them, while they come: a full queue
    // of the socket would hold up the agent's sends.
    ASSERT_TRUE(WaitFor(
        [&] {
            manager.Messages();
            return p->waitForFinished(50);
        },
        180000))
        << s.Stderr().toStdString();
    EXPECT_EQ(p->exitCode(), 0) << s.Stderr().toStdString();
    const QStringList messages = manager.Messages();
    const qsizetype end = messages.indexOf("WATCHDOG=1\nSTATUS=Ciclos completos: 1");
    ASSERT_GE(end, 0) << messages.join(" | ").toStdString();
    // At most one ping a second: a read of about 20 s gives well over five.
    EXPECT_GE(messages.mid(0, end).count("WATCHDOG=1"), 5) << messages.join(" | ").toStdString();
    EXPECT_EQ(s.b.Count("REGISTRA", "IdRegistrador = 'A1' AND CodEstado = 'ENTHAB'"), kRecords);
    EXPECT_TRUE(s.b.Reader(u'A').Registrations().isEmpty());
}

TEST(HeadlessAgent, StopsFeedingTheWatchdogWhileACycleIsStuck) {
    if (!ServiceNotifier::Built())
        GTEST_SKIP() << "built without libsystemd: the unit is Type=simple";
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    s.b.config.TimeOut = 60;  // a reader's answer is awaited a minute
    s.b.config.Retrys = 1;
    NotifySocket manager(s.b.dir.File("notify"));
    ASSERT_TRUE(manager.Bound());
    std::unique_ptr<QProcess> p(
        s.Start({}, {{"NOTIFY_SOCKET", s.b.dir.File("notify")}, {"WATCHDOG_USEC", "600000000"}}));
    ASSERT_TRUE(WaitFor(
        [&] { return manager.Messages().count("WATCHDOG=1\nSTATUS=Ciclos completos: 2") > 0; },
        30000))
        << s.Stderr().toStdString();

    // A1 now answers after two minutes: the cycle waits on it, the agent's
    // event loop runs on, and no ping comes.
    SimFaults slow;
    slow.delayMs = 120000;
    s.b.Reader(u'A').SetFaults(slow);
    // TimeOut 60 s with one retry allows a record to take (1 + 1)^2 x 60 s:
    // the agent raised the unit's 10 minutes to three times that.
    EXPECT_EQ(manager.Messages().count("WATCHDOG_USEC=720000000"), 1);
    const auto pings = [&] { return Kinds(manager.Messages()).count("WATCHDOG=1"); };
    // The cycle in progress may still end (A1 read before the fault).
    QThread::msleep(1500);
    const int before = pings();
    QThread::msleep(2500);
    EXPECT_EQ(pings(), before);
    EXPECT_EQ(p->state(), QProcess::Running);
    p->kill();
    p->waitForFinished(10000);
}

TEST(HeadlessAgent, RunsItsCyclesAndClosesAsAnAcceptedClose) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    const QDateTime t = Minute(s.b.clock.Now().addSecs(-600));
    s.b.Reader(u'A').AddRegistration("11", 123, t);
    s.b.Reader(u'B').AddRegistration("20", 456, t.addSecs(60));
    s.b.QueueCommand(1, "A1", "ALTA", "00777AB");
    s.b.QueueCommand(1, "B1", "RESET", "");

    std::unique_ptr<QProcess> p(s.Start({"--cycles", "2"}));
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p->exitCode(), 0);
    const QString err = s.Stderr();

    EXPECT_EQ(
        s.b.Count("REGISTRA", "IdRegistrador = 'A1' AND NroLlave = 123 AND CodEstado = 'ENTHAB'"),
        1);
    EXPECT_EQ(
        s.b.Count("REGISTRA", "IdRegistrador = 'B1' AND NroLlave = 456 AND CodEstado = 'ENTHAB'"),
        1);
    EXPECT_TRUE(s.b.Reader(u'A').Registrations().isEmpty());
    EXPECT_TRUE(s.b.Reader(u'A').Requests().contains("500777AB"));
    EXPECT_EQ(s.b.Count("COMANDO"), 0);  // the Hta reader's RESET: nothing sent, row deleted
    EXPECT_FALSE(s.b.Reader(u'B').Requests().contains("C"));
    EXPECT_EQ(s.b.ComError(), 0);

    // The session log, also on standard error; the thread's lines from the
    // second cycle on; the close's lines; the end of the session.
    const QStringList log = s.Log();
    EXPECT_EQ(log.filter("[ULogFile] Comienzo de sesión").size(), 1);
    for (const char* line :
         {"[Main] Instanciación del thread en modo suspendido",
          "[ComThread] Comienzo de un nuevo ciclo del thread",
          "[Main] Cierre del agente. Se aguarda la finalización del thread",
          "[ComThread] Se ha finalizado la ejecución del thread",
          "[Main] Fin de la espera de finalización", "[LogFile] Fin de sesión"}) {
        EXPECT_TRUE(err.contains(QString::fromUtf8(line))) << line;
    }
    EXPECT_EQ(log.filter("Comienzo de un nuevo ciclo del thread").size(), 1);
    EXPECT_EQ(log.filter("[LogFile] Fin de sesión").size(), 1);

    // The close wrote no setting: the agent's key is as the test wrote it.
    EXPECT_EQ(AgentKeyText(s.b.registry), s.written);
}

// The settings file is the installer's: an edit made while the agent runs
// (a value changed, a comment, a value the agent does not know) is there
// after its close, and the agent wrote nothing but "ComError".
TEST(HeadlessAgent, AnInstallersEditMadeWhileItRunsSurvivesTheClose) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    std::unique_ptr<QProcess> p(s.Start({}));
    // After the first connection's "ComError": the edit does not race it.
    ASSERT_TRUE(WaitFor([&] { return ReadAll(s.b.registry).contains("ComError"); }, 30000))
        << s.Stderr().toStdString();
    QByteArray edited = ReadAll(s.b.registry);
    ASSERT_TRUE(edited.contains("\"DifHora\"=dword:00000005"));
    edited.replace("\"DifHora\"=dword:00000005", "\"DifHora\"=dword:00000009");
    edited.replace("\"Espera\"=dword:00000000", "; sin espera\n\"Espera\"=dword:00000000");
    edited.append("\"LogFileActivado\"=dword:00000001\n");
    ASSERT_TRUE(WriteAll(s.b.registry, edited));
    const int cycles = s.Log().filter("Comienzo de un nuevo ciclo").size();
    ASSERT_TRUE(WaitFor(
        [&] { return s.Log().filter("Comienzo de un nuevo ciclo").size() > cycles; }, 30000));
    ::kill(pid_t(p->processId()), SIGTERM);
    ASSERT_TRUE(p->waitForFinished(30000));
    EXPECT_EQ(p->exitCode(), 0);
    EXPECT_EQ(ReadAll(s.b.registry), edited);
}

// The package's settings file, every setting commented at its default, as a
// site first runs it: the service's run and close write nothing into it.
TEST(HeadlessAgent, ThePackagesCommentedDefaultsStayCommented) {
    ScratchDir dir;
    const QString registry = dir.File("registry.reg");
    QByteArray settings = ReadAll(KELVOR_PACKAGE_SETTINGS);
    ASSERT_TRUE(settings.contains(";\"Estacion\"=dword:00000001"));
    settings.replace("/var/lib/kelvor/kelvor.db", QFile::encodeName(dir.File("no-hay.db")));
    ASSERT_TRUE(WriteAll(registry, settings));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("KELVOR_REGISTRY");
    env.insert("KELVOR_LOCK_DIR", dir.Path());
    p.setProcessEnvironment(env);
    p.setStandardErrorFile(dir.File("stderr.txt"));
    p.start(BuildDir() + "/core/agente",
            {"--headless", "--registry", registry, "--log-dir", dir.File("log")});
    ASSERT_TRUE(WaitFor([&] { return ReadAll(dir.File("stderr.txt")).contains("base de datos"); },
                        30000))
        << ReadAll(dir.File("stderr.txt")).toStdString();
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(ReadAll(registry), settings);
}

// A station the settings do not name for certain is not served: a one-line
// error, a non-zero exit, nothing touched (no line opened, no log, the file
// as it was). Other unreadable values are said and the agent runs.
TEST(HeadlessAgent, AnUnreadableStationStopsTheRunAndOtherValuesAreSaid) {
    ScratchDir dir;
    const QString registry = dir.File("registry.reg");
    const QByteArray head =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n";
    const struct {
        QByteArray contents;
        const char* said;
    } cases[] = {
        {head + "\"Estacion\"=dword:00000003 ; nota\r\n",
         "El valor \"Estacion\"=dword:00000003 ; nota de la clave"},
        {QByteArray("REGEDIT4\r\n\0\0\x01\r\n", 15), "No se pudo leer el archivo de configuración"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        ASSERT_TRUE(WriteAll(registry, c.contents));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("KELVOR_REGISTRY");
        env.insert("KELVOR_LOCK_DIR", dir.Path());
        p.setProcessEnvironment(env);
        p.start(BuildDir() + "/core/agente",
                {"--headless", "--registry", registry, "--log-dir", dir.File("log")});
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 1);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
        EXPECT_TRUE(err.startsWith("agente: ")) << err.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.said))) << err.toStdString();
        EXPECT_TRUE(err.contains("el agente no atiende una estación supuesta"));
        EXPECT_EQ(ReadAll(registry), c.contents);
        EXPECT_FALSE(QFileInfo::exists(dir.File("log")));
    }
}

TEST(HeadlessAgent, SigtermEndsTheCycleInProgressAndClosesCleanly) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    const QDateTime t = Minute(s.b.clock.Now().addSecs(-600));
    for (int k = 0; k < 5; ++k) s.b.Reader(u'A').AddRegistration("11", 10 + k, t.addSecs(60 * k));

    std::unique_ptr<QProcess> p(s.Start({}));
    // Stopped once the thread's lines are logged (from the second cycle on).
    ASSERT_TRUE(
        WaitFor([&] { return s.Log().filter("Comienzo de un nuevo ciclo").size() > 0; }, 30000));
    EXPECT_EQ(s.b.Count("REGISTRA"), 5);
    ::kill(pid_t(p->processId()), SIGTERM);
    ASSERT_TRUE(p->waitForFinished(30000));
    EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p->exitCode(), 0);
    const QStringList log = s.Log();
    const qsizetype closing = log.indexOf(QRegularExpression(".*\\[Main\\] Cierre del agente.*"));
    const qsizetype ended = log.indexOf(QRegularExpression(".*\\[ComThread\\] Se ha finalizado.*"));
    const qsizetype waited = log.indexOf(QRegularExpression(".*\\[Main\\] Fin de la espera.*"));
    ASSERT_GE(closing, 0);
    EXPECT_LT(closing, ended);
    EXPECT_LT(ended, waited);
    EXPECT_EQ(log.filter("[LogFile] Fin de sesión").size(), 1);
    EXPECT_TRUE(s.b.Reader(u'A').Registrations().isEmpty());
}

// Another session holds the id counter row for as long as the agent runs:
// each store ends after the (here one-second) lock time-out with a database
// error, and SIGTERM closes the agent all the same; nothing is stored, the
// reader keeps its registrations.
TEST(HeadlessAgent, SigtermClosesWhileAnotherSessionHoldsALock) {
    Site s(BenchDb::PostgreSQL);
    if (!s.b.Ready())
        GTEST_SKIP() << s.b.SkipReason().toStdString();
    ASSERT_TRUE(RegistryFile(s.b.registry)
                    .Write(RegistryKeys::kAlias, {RegistryValue::Str("LockTimeout", "1")}));
    const QDateTime t = Minute(s.b.clock.Now().addSecs(-600));
    s.b.Reader(u'A').AddRegistration("11", 10, t);
    s.b.Exec("BEGIN");
    s.b.Exec("SELECT * FROM CODIGO FOR UPDATE");

    std::unique_ptr<QProcess> p(s.Start({}));
    ASSERT_TRUE(WaitFor(
        [&] { return s.Log().filter("ERROR : Error de base de datos (CODIGO)").size() > 0; },
        60000));
    ::kill(pid_t(p->processId()), SIGTERM);
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitCode(), 0);
    s.b.Exec("ROLLBACK");
    EXPECT_EQ(s.b.Count("REGISTRA"), 0);
    EXPECT_EQ(s.b.Reader(u'A').Registrations().size(), 1);
}

// SIGKILL at random moments while the readers are being read: whatever the
// moment, every registration a reader held is either stored or still in the
// reader, and none is ever stored twice. The readers take their time to
// answer the erase, so that many kills land between the commit of a reader's
// registrations and the erase; the note kept with them makes the next run
// skip what was stored already.
TEST(HeadlessAgent, KilledAtRandomMomentsEveryRegistrationIsStoredOnce) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    const quint32 seed = 20261208;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay(0, 900);
    SimFaults slowErase;
    slowErase.eraseDelayMs = 250;
    s.b.Reader(u'A').SetFaults(slowErase);
    s.b.Reader(u'B').SetFaults(slowErase);
    const QDateTime t = Minute(s.b.clock.Now().addSecs(-3600));
    std::set<int> added;
    int nextKey = 1000;
    const int runs = 25;
    int inWindow = 0;
    for (int run = 0; run < runs; ++run) {
        for (SimulatedReader* r : {&s.b.Reader(u'A'), &s.b.Reader(u'B')}) {
            for (int k = 0; k < 10; ++k) {
                r->AddRegistration("11", nextKey, t.addSecs(60 * (nextKey % 50)));
                added.insert(nextKey++);
            }
        }
        std::unique_ptr<QProcess> p(s.Start({}));
        QThread::msleep(static_cast<unsigned long>(delay(random)));
        ::kill(pid_t(p->processId()), SIGKILL);
        ASSERT_TRUE(p->waitForFinished(10000));
        // A note left behind: this kill came after a commit and before the
        // acknowledged erase, the window the note closes.
        if (s.b.Count("AGPENDIENTE") > 0)
            ++inWindow;

        const std::map<int, int> stored = StoredKeys(s.b);
        std::set<int> held = HeldKeys(s.b.Reader(u'A'));
        const std::set<int> heldB = HeldKeys(s.b.Reader(u'B'));
        held.insert(heldB.begin(), heldB.end());
        for (int key : added) {
            EXPECT_TRUE(stored.count(key) || held.count(key))
                << "registration of key " << key << " lost after run " << run << " (seed " << seed
                << ")";
        }
    }
    // A last, whole run takes in what the readers still hold.
    std::unique_ptr<QProcess> p(s.Start({"--cycles", "1"}));
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitCode(), 0) << s.Stderr().toStdString();
    const std::map<int, int> stored = StoredKeys(s.b);
    int twice = 0;
    for (int key : added) {
        ASSERT_TRUE(stored.count(key)) << "key " << key << " never stored\n"
                                       << s.Log().join('\n').toStdString();
        EXPECT_EQ(stored.at(key), 1) << "key " << key << " (seed " << seed << ")";
        twice += stored.at(key) - 1;
    }
    EXPECT_EQ(int(stored.size()), int(added.size()));
    EXPECT_GT(inWindow, 0) << "no kill landed between a commit and its erase";
    EXPECT_TRUE(s.b.Reader(u'A').Registrations().isEmpty());
    EXPECT_TRUE(s.b.Reader(u'B').Registrations().isEmpty());
    ::testing::Test::RecordProperty("registrations", int(added.size()));
    ::testing::Test::RecordProperty("stored_twice", twice);
    ::testing::Test::RecordProperty("kills_between_commit_and_erase", inWindow);
    std::cout << "[ kill test ] " << runs << " runs, " << added.size()
              << " registrations, stored twice: " << twice
              << ", kills between commit and erase: " << inWindow << " (seed " << seed << ")\n";
}

// The session log and the settings file are auxiliary: a log that cannot be
// written (a full disk: /dev/full behind its name; its folder removed while
// the agent runs) is told once on standard error, and the registrations are
// stored, the readers erased and the agent closed as always.
TEST(HeadlessAgent, ALogThatCannotBeWrittenIsToldOnceAndTheJobGoesOn) {
    for (const bool removeFolder : {false, true}) {
        Site s;
        ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
        const QDateTime t = Minute(s.b.clock.Now().addSecs(-600));
        s.b.Reader(u'A').AddRegistration("11", 123, t);
        s.b.Reader(u'B').AddRegistration("20", 456, t);
        if (!removeFolder) {
            ASSERT_TRUE(QFile::link("/dev/full", s.logDir + "/AGKelvorI.log"));
        }
        std::unique_ptr<QProcess> p(
            s.Start(removeFolder ? QStringList{} : QStringList{"--cycles", "2"}));
        if (removeFolder) {
            ASSERT_TRUE(
                WaitFor([&] { return s.Log().filter("[Main] Estacion").size() > 0; }, 30000));
            ASSERT_TRUE(QDir(s.logDir).removeRecursively());
            // Read after the removal: the agent still collects.
            ASSERT_TRUE(WaitFor([&] { return s.b.Count("REGISTRA") == 2; }, 30000));
            s.b.Reader(u'A').AddRegistration("11", 789, t.addSecs(60));
            ASSERT_TRUE(WaitFor([&] { return s.b.Count("REGISTRA") == 3; }, 60000))
                << s.Stderr().toStdString();
            ::kill(pid_t(p->processId()), SIGTERM);
        }
        ASSERT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p->exitCode(), 0);
        const QString err = s.Stderr();
        EXPECT_EQ(err.count("el agente sigue sin archivo de sesión"), 1) << err.toStdString();
        EXPECT_TRUE(err.contains("[Main] Fin de la espera de finalización"));
        EXPECT_EQ(s.b.Count("REGISTRA", "CodEstado = 'ENTHAB'"), removeFolder ? 3 : 2);
        EXPECT_TRUE(s.b.Reader(u'A').Registrations().isEmpty());
        EXPECT_TRUE(s.b.Reader(u'B').Registrations().isEmpty());
    }
}

// Standard error is a service's log: error and attention lines always, the
// information lines only while the session log is on.
TEST(HeadlessAgent, StandardErrorGetsErrorsAlwaysAndInformationWithTheLog) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    s.b.AddReader("C1", 1);  // nobody answers at C
    s.b.config.LogFileActivado = 0;
    std::unique_ptr<QProcess> p(s.Start({"--cycles", "1"}));
    ASSERT_TRUE(p->waitForFinished(60000));
    EXPECT_EQ(p->exitCode(), 0);
    QString err = s.Stderr();
    EXPECT_TRUE(err.contains("[ComThread] ERROR : Se supero la cantidad maxima de intentos"))
        << err.toStdString();
    EXPECT_FALSE(err.contains("Comienzo de un nuevo ciclo"));
    EXPECT_FALSE(err.contains("[Main] Instanciación del thread"));
    EXPECT_FALSE(QFileInfo::exists(s.logDir + "/AGKelvorI.log"));

    // A value that cannot be read, and a Windows-1252 comment: the value is
    // said once at attention level, the file's encoding is no fault, and the
    // agent runs on.
    QByteArray settings = ReadAll(s.b.registry);
    settings.replace("\"Filas\"=dword:00000064", "; Dep\xF3sito\r\n\"Filas\"=\"64\"");
    ASSERT_TRUE(WriteAll(s.b.registry, settings));
    p.reset(new QProcess);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("KELVOR_REGISTRY");
    p->setProcessEnvironment(env);
    p->setStandardErrorFile(s.b.dir.File("stderr.txt"));
    p->start(BuildDir() + "/core/agente",
             {"--headless", "--registry", s.b.registry, "--log-dir", s.logDir});
    ASSERT_TRUE(WaitFor(
        [&] { return s.Stderr().contains("ATENCION : El valor \"Filas\"=\"64\" de la clave"); },
        30000))
        << s.Stderr().toStdString();
    err = s.Stderr();
    EXPECT_EQ(err.count("\"Filas\"=\"64\""), 1);
    EXPECT_TRUE(err.contains("se usa el valor por omisión 100 y la línea queda como está"));
    EXPECT_FALSE(err.contains("No se pudo leer el archivo de configuración"));
    p->kill();
    p->waitForFinished(10000);
}

// The journal names the reader (and the command) of every line about one,
// with the session log off (the package's default) and on; the session log's
// own lines keep their format.
TEST(HeadlessAgent, StandardErrorLinesNameTheirReaderAndCommand) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    s.b.AddReader("C1", 1);  // nobody answers at C
    s.b.QueueCommand(1, "C1", "BAJA", "00077");
    const QString commandId = s.b.Value("SELECT Id FROM COMANDO").toString();
    for (const int logOn : {0, 1}) {
        SCOPED_TRACE(logOn);
        s.b.config.LogFileActivado = logOn;
        std::unique_ptr<QProcess> p(s.Start({"--cycles", "2"}));
        ASSERT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitCode(), 0);
        const QStringList errors =
            s.Stderr().split('\n').filter(QRegularExpression("\\[ComThread\\] ERROR : "));
        ASSERT_FALSE(errors.isEmpty()) << s.Stderr().toStdString();
        const QRegularExpression named(" \\[registrador C1(, comando " + commandId + " BAJA)?\\]$");
        for (const QString& line : errors)
            EXPECT_TRUE(named.match(line).hasMatch()) << line.toStdString();
        EXPECT_FALSE(errors
                         .filter("Se supero la cantidad maxima de intentos de comunicación "
                                 "[registrador C1]")
                         .isEmpty());
        EXPECT_FALSE(errors
                         .filter("El comando no se pudo enviar [registrador C1, comando " +
                                 commandId + " BAJA]")
                         .isEmpty());
        // Readers that answered are not named in error lines.
        EXPECT_TRUE(s.Stderr().split('\n').filter("ERROR").filter("registrador A1").isEmpty());
    }
    // The file's lines are as they always were: no note.
    const QStringList fileErrors = s.Log().filter("[ComThread] ERROR : ");
    ASSERT_FALSE(fileErrors.isEmpty());
    for (const QString& line : fileErrors) EXPECT_FALSE(line.contains("[registrador"));
}

// One agent per station: a second agent on the same settings file (also by
// another name of it) says who serves it and ends; the first goes on. A holder
// killed with SIGKILL leaves no lock behind.
TEST(HeadlessAgent, ASecondAgentOnTheSameSettingsFileRefusesToStart) {
    Site s;
    ASSERT_TRUE(s.b.Ready()) << s.b.SkipReason().toStdString();
    std::unique_ptr<QProcess> first(s.Start({}));
    ASSERT_TRUE(WaitFor([&] { return s.Log().filter("[Main] Estacion").size() > 0; }, 30000));
    const QString firstPid = QString::number(first->processId());
    const QString link = s.b.dir.File("otro-nombre.reg");
    ASSERT_TRUE(QFile::link(s.b.registry, link));
    for (const QString& registry : {s.b.registry, link}) {
        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELVOR_LOCK_DIR", s.b.dir.Path());
        second.setProcessEnvironment(env);
        second.start(BuildDir() + "/core/agente",
                     {"--headless", "--registry", registry, "--log-dir", s.b.dir.File("segundo")});
        ASSERT_TRUE(second.waitForFinished(30000));
        EXPECT_NE(second.exitCode(), 0);
        const QString err = QString::fromUtf8(second.readAllStandardError());
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
        EXPECT_TRUE(err.contains("Ya esta ejecutando una instancia del agente"));
        EXPECT_TRUE(err.contains("proceso " + firstPid + " (")) << err.toStdString();
        EXPECT_TRUE(err.contains("agente --headless)")) << err.toStdString();
        EXPECT_TRUE(QDir(s.b.dir.File("segundo")).entryList(QDir::Files).isEmpty());
    }
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_EQ(s.Log().filter("[LogFile] Fin de sesión").size(), 0);  // nobody closed its log

    ::kill(pid_t(first->processId()), SIGKILL);
    ASSERT_TRUE(first->waitForFinished(10000));
    std::unique_ptr<QProcess> third(s.Start({"--cycles", "1"}));
    ASSERT_TRUE(third->waitForFinished(60000));
    EXPECT_EQ(third->exitCode(), 0) << s.Stderr().toStdString();
    EXPECT_EQ(s.Log().filter("[LogFile] Fin de sesión").size(), 1);
}
