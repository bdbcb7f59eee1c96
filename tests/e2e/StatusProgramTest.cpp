// agente --status after a real headless cycle, and the settings file that
// --print-config names when none was chosen.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "core/AgentPlaces.h"
#include "shell/RegistryFile.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

struct ProgramRun {
    int code = -1;
    QString out, err;
};

ProgramRun Agente(const QStringList& args, const QProcessEnvironment& env) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(BuildDir() + "/core/agente", args);
    EXPECT_TRUE(p.waitForFinished(60000));
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QProcessEnvironment Env(const ScratchDir& dir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("KELVOR_REGISTRY");
    env.insert("HOME", dir.File("home"));
    env.insert("XDG_CONFIG_HOME", dir.File("config"));
    env.insert("XDG_STATE_HOME", dir.File("state"));
    env.insert("STATE_DIRECTORY", dir.File("state-dir"));
    return env;
}

}  // namespace

TEST(StatusProgram, TheHeadlessAgentsStatusFileAsATable) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    b.Reader(u'A').AddRegistration("11", 123, QDateTime::currentDateTime().addSecs(-600));
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'B').SetFaults(silent);
    b.config.Retrys = 1;
    b.config.Save(RegistryFile(b.registry));
    const QProcessEnvironment env = Env(b.dir);
    ASSERT_TRUE(QDir().mkpath(b.dir.File("state-dir")));

    // Before any cycle: nothing to show, and it says where it looked.
    const ProgramRun none = Agente({"--status", "--registry", b.registry}, env);
    EXPECT_EQ(none.code, 1);
    EXPECT_TRUE(none.err.contains("no hay archivo de estado de la estación 1 en " +
                                  b.dir.File("state-dir")))
        << none.err.toStdString();

    const ProgramRun agent = Agente(
        {"--headless", "--cycles", "1", "--registry", b.registry, "--log-dir", b.dir.File("log")},
        env);
    EXPECT_EQ(agent.code, 0) << agent.err.toStdString();
    const QString file = b.dir.File("state-dir/estado-estacion-1.json");
    const QJsonObject root = QJsonDocument::fromJson(ReadAll(file)).object();
    EXPECT_EQ(root["Respondieron"].toInt(), 1);

    const ProgramRun status = Agente({"--status", "--registry", b.registry}, env);
    EXPECT_EQ(status.code, 0) << status.err.toStdString();
    const QStringList lines = status.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << status.out.toStdString();
    EXPECT_EQ(lines[0], "Archivo de estado: " + file);
    EXPECT_TRUE(lines[1].endsWith("respondió 1 de 2 registradores"));
    EXPECT_TRUE(lines[3].startsWith("A1 ") && lines[3].contains(" OK ")) << lines[3].toStdString();
    EXPECT_TRUE(lines[4].startsWith("B1 ") && lines[4].contains("Se supero"));
}

// Without --registry and $KELVOR_REGISTRY: the machine's file, or, when this
// user may not write it, the per-user one (not made by --print-config).
TEST(StatusProgram, PrintConfigNamesTheSettingsFileOfTheWindowAgent) {
    ScratchDir dir;
    const QProcessEnvironment env = Env(dir);
    const QString machine = "/etc/kelvor/registry.reg";
    const QString own = dir.File("config/kelvor/registry.reg");
    const bool machineWritable = AgentPlaces::MayWrite(machine);

    const ProgramRun first = Agente({"--print-config"}, env);
    EXPECT_EQ(first.code, 0);
    const QString last = first.out.split('\n', Qt::SkipEmptyParts).last();
    if (machineWritable) {
        EXPECT_EQ(last, "# Archivo: " + machine);
        return;
    }
    EXPECT_EQ(last, "# Archivo: " + own +
                        " (aún no existe: el agente con ventana la creará como "
                        "copia de " +
                        machine + ")");
    EXPECT_FALSE(QFileInfo::exists(own));

    ASSERT_TRUE(QDir().mkpath(dir.File("config/kelvor")));
    ASSERT_TRUE(RegistryFile(own).Write(RegistryKeys::kAgent, {RegistryValue::Int("Estacion", 9)}));
    const ProgramRun second = Agente({"--print-config"}, env);
    EXPECT_TRUE(second.out.startsWith("Estacion=9\n"));
    EXPECT_TRUE(second.out.endsWith("# Archivo: " + own + "\n"));
    // The headless agent (the service) keeps the machine's file.
    const ProgramRun headless = Agente({"--headless", "--print-config"}, env);
    EXPECT_TRUE(headless.out.endsWith("# Archivo: " + machine + "\n"));
}

// A scripted run in which no reader answered is no success; and an operator
// who may not read the service's state folder is told that, not sent to look
// at the agent's cycles.
TEST(StatusProgram, NoAnswerFailsTheRunAndAnUnreadableFolderIsNamed) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'A').SetFaults(silent);
    b.Reader(u'B').SetFaults(silent);
    b.config.Retrys = 1;
    b.config.Save(RegistryFile(b.registry));
    QProcessEnvironment env = Env(b.dir);
    ASSERT_TRUE(QDir().mkpath(b.dir.File("state-dir")));

    const QStringList run = {"--headless", "--cycles",       "1", "--registry", b.registry,
                             "--log-dir",  b.dir.File("log")};
    ProgramRun agent = Agente(run, env);
    EXPECT_EQ(agent.code, 1) << agent.err.toStdString();
    EXPECT_TRUE(agent.err.contains("en el último ciclo no respondió ningún registrador (0 de 2)"))
        << agent.err.toStdString();
    b.Reader(u'B').SetFaults({});
    agent = Agente(run, env);
    EXPECT_EQ(agent.code, 0) << agent.err.toStdString();  // one of two answered
    ASSERT_TRUE(QFileInfo::exists(b.dir.File("state-dir/estado-estacion-1.json")));

    // The state folder closed to this user (root passes any mode: then as
    // the unprivileged user nobody, for whom the scratch folder is closed).
    QProcess p;
    p.setProcessEnvironment(env);
    const QString agente = BuildDir() + "/core/agente";
    const QStringList status = {"--status", "--registry", b.registry};
    if (::geteuid() == 0) {
        p.start(
            "setpriv",
            QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", agente} + status);
    } else {
        ASSERT_TRUE(QFile::setPermissions(b.dir.File("state-dir"), QFile::Permissions()));
        p.start(agente, status);
    }
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QFile::setPermissions(b.dir.File("state-dir"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(err.contains("no puede leer " + b.dir.File("state-dir") + " ("))
        << err.toStdString();
    EXPECT_TRUE(err.contains("usermod -aG kelvor")) << err.toStdString();
    EXPECT_FALSE(err.contains("ciclo")) << err.toStdString();
    EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
}
