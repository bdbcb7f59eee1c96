// Two stations' headless agents at once on one database (a SQLite file, the
// throwaway PostgreSQL server), each with its own simulated line, and
// kelvordb estado reading what they write: a silent reader, every reader
// answering, and a stopped agent whose station falls without news.
#include <gtest/gtest.h>

#include <signal.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <map>
#include <memory>

#include "shell/RegistryFile.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

struct ToolRun {
    int code = -1;
    QString out, err;
};

ToolRun Estado(const QString& registry, const QStringList& args = {}) {
    QProcess p;
    p.start(BuildDir() + "/tools/kelvordb/kelvordb",
            QStringList{"--registry", registry, "estado"} + args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return {};
    }
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// A headless agent as a service manager starts it, its output to files.
std::unique_ptr<QProcess> StartAgent(AgentBench& b, const QString& registry, const QString& tag) {
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"KELVOR_REGISTRY", "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        env.remove(name);
    env.insert("KELVOR_LOCK_DIR", b.dir.Path());
    env.insert("STATE_DIRECTORY", b.dir.File("state-" + tag));
    QDir().mkpath(b.dir.File("state-" + tag));
    QDir().mkpath(b.dir.File("log-" + tag));
    p->setProcessEnvironment(env);
    p->setStandardOutputFile(b.dir.File("stdout-" + tag));
    p->setStandardErrorFile(b.dir.File("stderr-" + tag));
    p->start(BuildDir() + "/core/agente",
             {"--headless", "--registry", registry, "--log-dir", b.dir.File("log-" + tag)});
    EXPECT_TRUE(p->waitForStarted(10000)) << p->errorString().toStdString();
    return p;
}

void Stop(QProcess& p) {
    if (p.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(p.processId()), SIGTERM);
    if (!p.waitForFinished(30000)) {
        ADD_FAILURE() << "the agent did not end after SIGTERM";
        p.kill();
        p.waitForFinished(5000);
    }
}

// Each reader's "answered" as the agents last wrote it.
std::map<QString, bool> Answered(AgentBench& b) {
    std::map<QString, bool> out;
    for (const QVariantList& r : b.Rows("SELECT IdRegistrador, Respondio FROM AGESTADO"))
        out[r[0].toString()] = r[1].toBool();
    return out;
}

// Seconds since the station's agent last wrote; -1 without a row.
qint64 Age(AgentBench& b, int station) {
    const QVariant v = b.Value("SELECT FinCiclo FROM AGESTACION WHERE IdEstacion = ?", {station});
    return v.isNull() || !v.isValid()
               ? -1
               : AgentBench::DateTime(v).secsTo(QDateTime::currentDateTime());
}

std::string DbName(const testing::TestParamInfo<BenchDb>& info) {
    return info.param == BenchDb::SQLite ? "SQLite" : "PostgreSQL";
}

}  // namespace

class StationStateProgram : public ::testing::TestWithParam<BenchDb> {};
INSTANTIATE_TEST_SUITE_P(Db, StationStateProgram,
                         ::testing::Values(BenchDb::SQLite, BenchDb::PostgreSQL), DbName);

TEST_P(StationStateProgram, TwoStationsAtAGlanceFromTheSharedDatabase) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    // Station 1: A1 answers, B1 is silent. Station 2, on a line of its own: C1.
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    b.Reader(u'A');
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'B').SetFaults(silent);
    SimulatedLine line2(SystemClock(), 11);
    line2.SetLinkPath(b.dir.File("ttyKelvor2"));
    line2.AddReader(u'C');
    line2.Start();
    b.AddStation(2, b.dir.File("ttyKelvor2"));
    b.AddReader("C1", 2);
    b.config.Retrys = 1;
    b.config.LogFileActivado = 0;
    b.config.Save(RegistryFile(b.registry));
    const QString registry2 = b.dir.File("registry2.reg");
    ASSERT_TRUE(QFile::copy(b.registry, registry2));
    ASSERT_TRUE(
        RegistryFile(registry2).Write(RegistryKeys::kAgent, {RegistryValue::Int("Estacion", 2)}));

    std::unique_ptr<QProcess> agent1 = StartAgent(b, b.registry, "1");
    std::unique_ptr<QProcess> agent2 = StartAgent(b, registry2, "2");
    const std::map<QString, bool> first{{"A1", true}, {"B1", false}, {"C1", true}};
    ASSERT_TRUE(WaitFor([&] { return Answered(b) == first; }, 30000));

    ToolRun run = Estado(b.registry);
    EXPECT_EQ(run.code, 1) << run.out.toStdString() << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("Estación 1: agente en ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Estación 2: agente en ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\n1         B1           no responde ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\n1         A1           responde ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\n2         C1           responde ")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("respondió 1 de 2 registradores\n")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("respondió 1 de 1 registrador\n")) << run.out.toStdString();

    // B1 answers again: written at once, every reader answered.
    b.Reader(u'B').SetFaults(SimFaults{});
    const std::map<QString, bool> all{{"A1", true}, {"B1", true}, {"C1", true}};
    ASSERT_TRUE(WaitFor([&] { return Answered(b) == all; }, 30000));
    run = Estado(b.registry);
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Todos los registradores respondieron")) << run.out.toStdString();

    // Station 2's agent stops. Once its last word is older than the limit,
    // a fresh write at station 1 (a registration stored) leaves station 2
    // alone "sin noticias".
    Stop(*agent2);
    EXPECT_EQ(agent2->exitCode(), 0);
    ASSERT_TRUE(WaitFor([&] { return Age(b, 2) >= 3; }, 10000));
    b.Reader(u'A').AddRegistration("11", 555, QDateTime::currentDateTime().addSecs(-60));
    ASSERT_TRUE(WaitFor(
        [&] {
            return b.Value("SELECT Almacenadas FROM AGESTADO WHERE IdRegistrador = 'A1'").toInt() ==
                   1;
        },
        30000));
    run = Estado(b.registry, {"--sin-noticias", "2"});
    EXPECT_EQ(run.code, 1) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Estación 2: agente en ") && run.out.contains("sin noticias (la"))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\n2         C1           sin noticias "))
        << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("\n1         A1           responde ")) << run.out.toStdString();
    run = Estado(b.registry, {"--sin-noticias", "2", "--prometheus"});
    EXPECT_EQ(run.code, 0) << run.err.toStdString();
    for (const char* sample :
         {"kelvor_agent_news{station=\"2\"} 0\n", "kelvor_agent_news{station=\"1\"} 1\n",
          "kelvor_up{station=\"1\",reader=\"A1\"} 1\n",
          "kelvor_up{station=\"2\",reader=\"C1\"} 0\n",
          "kelvor_stored_total{station=\"1\",reader=\"A1\"} 1\n"})
        EXPECT_TRUE(run.out.contains(sample)) << sample << "\n" << run.out.toStdString();

    Stop(*agent1);
    EXPECT_EQ(agent1->exitCode(), 0);
    line2.Stop();
    for (const char* tag : {"1", "2"}) {
        const QString err = QString::fromUtf8(ReadAll(b.dir.File(QStringLiteral("stderr-") + QLatin1String(tag))));
        EXPECT_FALSE(err.contains("estado de la estación")) << err.toStdString();
    }
}
