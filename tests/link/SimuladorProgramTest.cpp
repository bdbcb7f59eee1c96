// The simulador program as other tests use it: a separate process with two
// readers, reached through its link path, watched through its state file and
// fed through its control FIFO, ended by a signal.

#include <signal.h>

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>

#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

QString Program() {
    return BuildDir() + "/tools/simulador/simulador";
}

QJsonObject ReaderState(const QString& stateFile, const QString& address) {
    const QJsonObject s = QJsonDocument::fromJson(ReadAll(stateFile)).object();
    for (const auto& r : s["readers"].toArray()) {
        if (r.toObject()["address"].toString() == address)
            return r.toObject();
    }
    return {};
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (pred())
            return true;
        QThread::msleep(10);
    }
    return pred();
}

TEST(SimuladorProgram, ServesTwoReadersWithStateAndControl) {
    ASSERT_TRUE(QFileInfo(Program()).isExecutable()) << Program().toStdString();
    ScratchDir dir;
    const QString link = dir.File("ttyKELVOR");
    const QString state = dir.File("state.json");
    const QString control = dir.File("control");
    QProcess sim;
    sim.start(Program(), {"--link", link, "--state-file", state, "--control", control, "--seed",
                          "5", "--reader", "A", "--reg", "11,123,2026-12-08T08:42", "--reg",
                          "12,124,2026-12-08T09:00", "--reader", "B", "--fault", "nak:1"});
    ASSERT_TRUE(sim.waitForStarted(5000));
    ASSERT_TRUE(sim.waitForReadyRead(5000)) << sim.readAllStandardError().toStdString();
    EXPECT_EQ(sim.readLine().trimmed(), link.toUtf8());
    EXPECT_TRUE(QFileInfo(link).isSymLink());

    TRedKelvorII agent(false, std::make_unique<TSerialPort>(), FixedClock(At(2026, 12, 9, 14, 5)));
    agent.Params().SetPort(link);
    agent.Params().SetReadTimeout(1000);
    ASSERT_TRUE(agent.Connect()) << agent.ConnectError().toStdString();
    agent.SetAddress('A');
    agent.Initialize();
    TListaFichadas lista;
    agent.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 2);
    EXPECT_EQ(lista[1].NroLlave(), 124);
    agent.ClearMemory();
    agent.SetAddress('B');
    agent.EnableAll();  // the first frame is refused, the second accepted

    ASSERT_TRUE(
        WaitFor([&] { return ReaderState(state, "B")["requests"].toArray().size() == 1; }, 5000));
    const QJsonObject a = ReaderState(state, "A");
    EXPECT_TRUE(a["registrations"].toArray().isEmpty());
    EXPECT_EQ(a["requests"].toArray(), QJsonArray({"A", "B", "0", "2"}));
    EXPECT_EQ(ReaderState(state, "B")["heard"].toArray(), QJsonArray({"3", "3"}));

    // A registration added while it runs.
    {
        QFile fifo(control);
        ASSERT_TRUE(fifo.open(QIODevice::WriteOnly));
        fifo.write("--reader A --reg 21,77,2026-12-09T10:00\n");
    }
    ASSERT_TRUE(WaitFor(
        [&] { return ReaderState(state, "A")["registrations"].toArray().size() == 1; }, 5000));
    agent.SetAddress('A');
    agent.Initialize();
    EXPECT_EQ(agent.Data().Cantidad, 1);

    // Unplugging takes the link away; the agent's line reports it.
    ::kill(pid_t(sim.processId()), SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return !QFileInfo::exists(link); }, 5000));
    EXPECT_THROW(agent.EnableAll(), EWin32Error);
    agent.Disconnect();
    ::kill(pid_t(sim.processId()), SIGUSR2);
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(link); }, 5000));
    ASSERT_TRUE(agent.Connect());
    agent.EnableAll();
    agent.Disconnect();

    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished(5000));
    EXPECT_EQ(sim.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(link));
    EXPECT_FALSE(QFileInfo::exists(control));
}

TEST(SimuladorProgram, ABadOptionIsNamedAndEndsWithCodeTwo) {
    ASSERT_TRUE(QFileInfo(Program()).isExecutable()) << Program().toStdString();
    QProcess sim;
    sim.start(Program(), {"--reader", "A", "--fault", "sometimes"});
    ASSERT_TRUE(sim.waitForFinished(5000));
    EXPECT_EQ(sim.exitCode(), 2);
    EXPECT_TRUE(sim.readAllStandardError().contains("--fault sometimes"));

    QProcess help;
    help.start(Program(), {"--help"});
    ASSERT_TRUE(help.waitForFinished(5000));
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.readAllStandardOutput().contains("--reader X"));
}

}  // namespace
