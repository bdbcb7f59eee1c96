// agente --status after a real headless cycle, and the settings file that
// --print-config names when none was chosen.
#include <gtest/gtest.h>

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
    EXPECT_TRUE(lines[1].endsWith("respondieron 1 de 2 registradores"));
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
