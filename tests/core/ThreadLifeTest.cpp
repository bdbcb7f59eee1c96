// The life of the communication thread: its cycle rows, the log switch, the
// visibility rows, pause and resume, stop and destruction, the recovery.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRegularExpression>

#include "core/TComunicationThread.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QStringList ThreadLines(AgentBench& b) {
    b.CloseLog();
    return b.LogLines().filter("[ComThread]");
}

bool SpinUntil(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

struct ThreadLife : ::testing::Test {
    AgentBench b;
    void SetUp() override {
        ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
        b.AddStation(1, b.LinePath());
    }
};

}  // namespace

TEST_F(ThreadLife, CycleRowsAndTheLogSwitchOfThePreviousCycle) {
    b.RunCycles(2);
    // Four phase rows per cycle: no reader, no state, picture 4, no state picture.
    for (const char* m :
         {"Comienza proceso de lectura de registraciones",
          "Finaliza proceso de lectura de registraciones", "Comienza procesamiento de comandos",
          "Finaliza procesamiento de comandos"}) {
        const auto rows = b.view.With(m);
        ASSERT_EQ(rows.size(), 2u) << m;
        EXPECT_EQ(rows[0].registrador, "");
        EXPECT_EQ(rows[0].estado, "");
        EXPECT_EQ(rows[0].image, 4);
        EXPECT_EQ(rows[0].state, 4);
    }
    // The first cycle logs nothing: the switch comes from the previous copy.
    const QStringList lines = ThreadLines(b);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines
                  .filter(QRegularExpression("\\[ComThread\\] Comienzo de un nuevo ciclo del "
                                             "thread$"))
                  .size(),
              1);
    EXPECT_TRUE(lines.first().endsWith("[ComThread] Comienzo de un nuevo ciclo del thread"));
    EXPECT_TRUE(lines.last().endsWith("[ComThread] Finaliza el proceso de limpieza del thread"));
    EXPECT_EQ(lines.filter("Se ha finalizado la ejecución del thread").size(), 1);
}

TEST_F(ThreadLife, OnlyLogSwitchOneLetsTheThreadsLinesThrough) {
    b.config.LogFileActivado = 2;
    b.RunCycles(3);
    EXPECT_TRUE(ThreadLines(b).isEmpty());
}

TEST_F(ThreadLife, RowsFollowTheWindowsVisibility) {
    b.view.hidden = true;
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2)
            b.view.hidden = false;
        if (cycle == 3)
            b.view.hidden = true;
    };
    b.RunCycles(4);
    ASSERT_GE(b.view.rows.size(), 3u);
    const ViewRow& first = b.view.rows.front();
    EXPECT_EQ(first.mensaje, "Visualización del agente. Se restauran los mensajes");
    EXPECT_EQ(first.image, 1);
    EXPECT_EQ(first.state, 4);
    const ViewRow& last = b.view.rows.back();
    EXPECT_EQ(last.mensaje, "Ocultamiento del agente. Se suspenden los mensajes");
    EXPECT_EQ(last.image, 2);
    EXPECT_EQ(last.state, 4);
    // Only the visible cycle's phase rows are there.
    EXPECT_EQ(b.view.Count("Comienza procesamiento de comandos"), 1);
}

TEST_F(ThreadLife, PausedThreadHoldsAndResumeLetsItGoOn) {
    b.config.Prioridad = 1;
    auto thread = b.MakeThread(true);
    EXPECT_TRUE(thread->Paused());
    QThread::Priority seen = QThread::InheritPriority;
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2) {
            seen = thread->priority();
            thread->Pause();  // takes hold at the next request of this cycle
        }
    };
    thread->Resume();
    EXPECT_FALSE(thread->Paused());
    ASSERT_TRUE(SpinUntil([&] { return b.view.cycleStarts >= 2; }));
    EXPECT_TRUE(thread->Paused());
    const size_t rowsAtPause = b.view.rows.size();
    SpinUntil([] { return false; }, 100);
    EXPECT_EQ(b.view.rows.size(), rowsAtPause);
    EXPECT_EQ(thread->CyclesDone(), 1);
    EXPECT_EQ(seen, QThread::LowestPriority);

    b.view.onCycleStart = nullptr;
    thread->Resume();
    ASSERT_TRUE(SpinUntil([&] { return thread->CyclesDone() >= 3; }));
    thread->RequestStop();
    thread->WaitForEnd();
    EXPECT_TRUE(thread->isFinished());
}

TEST_F(ThreadLife, DestroyingAPausedThreadLetsItFinishItsCycle) {
    auto thread = b.MakeThread(true);
    b.view.onCycleStart = [&](int) { thread->Pause(); };
    thread->Resume();
    ASSERT_TRUE(SpinUntil([&] { return b.view.cycleStarts >= 1; }));
    thread.reset();  // must not hang: the destructor lets the thread go on and end
    EXPECT_EQ(b.view.cycleStarts, 1);
    EXPECT_EQ(b.view.Count("Finaliza procesamiento de comandos"), 1);
}

TEST_F(ThreadLife, AThreadCreatedPausedAndNeverRunIsDestroyedCleanly) {
    auto thread = b.MakeThread(true);
    EXPECT_TRUE(thread->Paused());
    thread.reset();
    EXPECT_EQ(b.view.cycleStarts, 0);
    EXPECT_TRUE(b.view.rows.empty());
}

TEST_F(ThreadLife, StopRequestedDuringRecoveryEndsAfterThePauseAndTheNewLink) {
    b.Exec("ALTER TABLE Reg RENAME TO RegAparte");  // the reader list cannot be read
    auto thread = b.MakeThread(true);
    b.view.onRow = [&](const ViewRow& r) {
        if (r.mensaje.startsWith("Se detectó una anomalía"))
            thread->RequestStop();
    };
    thread->Resume();
    thread->WaitForEnd();
    EXPECT_EQ(thread->CyclesDone(), 1);
    const auto anomaly = b.view.With(
        "Se detectó una anomalía, el sistema se recuperará luego de una pausa de 10 segundos");
    ASSERT_EQ(anomaly.size(), 1u);
    EXPECT_EQ(anomaly[0].estado, "OK");  // the recovery ran to its end
    EXPECT_EQ(anomaly[0].image, 3);
    EXPECT_EQ(anomaly[0].state, 1);
    EXPECT_EQ(b.view.Count("Comienza procesamiento de comandos"), 0);
}

TEST(ThreadPriority, SettingMapsInOrderAndIsClamped) {
    using P = QThread::Priority;
    EXPECT_EQ(TComunicationThread::PriorityFromSetting(-5), P::IdlePriority);
    const P order[] = {P::IdlePriority,        P::LowestPriority, P::LowPriority,
                       P::NormalPriority,      P::HighPriority,   P::HighestPriority,
                       P::TimeCriticalPriority};
    for (int i = 0; i <= 6; ++i) EXPECT_EQ(TComunicationThread::PriorityFromSetting(i), order[i]);
    EXPECT_EQ(TComunicationThread::PriorityFromSetting(7), P::TimeCriticalPriority);
    EXPECT_EQ(TComunicationThread::PriorityFromSetting(1000), P::TimeCriticalPriority);
}
