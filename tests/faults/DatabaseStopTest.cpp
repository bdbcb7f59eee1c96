// The database server stopped for 30 seconds in the middle of a run, while a
// reader's registrations are being stored, and started again: nothing lost,
// nothing doubled, and the agent resumes by itself.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <iostream>

#include "tests/core/AgentBench.h"
#include "tests/faults/FaultCounts.h"
#include "tests/core/OwnPostgres.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

}  // namespace

TEST(DatabaseStop, ThirtySecondsWithoutTheServerInTheMiddleOfARun) {
    constexpr int kPerBatch = 40, kStopMs = 30000, kCyclesAfter = 3;
    OwnPostgres server;
    if (!server.Skip().isEmpty())
        GTEST_SKIP() << server.Skip().toStdString();
    AgentBench b(BenchDb::PostgreSQL);
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    // A second between failed cycles: about thirty recoveries while it is out.
    b.timing.recoveryPauseMs = 1000;
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& r = b.Reader(u'A');
    HeldBatches batches(r, kPerBatch, Minute(b.clock.Now()).addSecs(-60 * (3 * kPerBatch + 10)));
    const QMap<qint32, HeldRegistration>& held = batches.Held();
    batches.Add(0);

    // Cycle 1 stores the first batch. In cycle 2 the server stops while the
    // second batch is being read; it starts again at the first cycle start
    // 30 s later, when a third batch arrives; a few cycles after that the
    // thread is asked to stop.
    auto thread = b.MakeThread(true);
    thread->SetCycleLimit(1000);  // a bound only; the stop request ends the run
    QElapsedTimer out;
    qint64 outMs = 0;
    int restartCycle = 0;
    bool stopOk = false, startOk = false;
    qsizetype heldWhileOut = -1;
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2)
            batches.Add(1);
        if (out.isValid() && restartCycle == 0 && out.elapsed() >= kStopMs) {
            heldWhileOut = r.Registrations().size();
            outMs = out.elapsed();
            startOk = server.Start();
            b.ReopenSetup();
            batches.Add(2);
            restartCycle = cycle;
        }
        if (restartCycle > 0 && cycle == restartCycle + kCyclesAfter)
            thread->RequestStop();
    };
    b.view.onRow = [&](const ViewRow& row) {
        if (!out.isValid() && b.view.cycleStarts == 2 && row.mensaje.startsWith("Leyendo ")) {
            stopOk = server.Stop();
            out.start();
        }
    };
    thread->Resume();
    thread->WaitForEnd();
    ASSERT_TRUE(stopOk);
    ASSERT_TRUE(startOk);

    const FaultCounts c = FaultCounts::Of(b, held);
    const int recoveries = b.view.Count(
        "Se detectó una anomalía, el sistema se recuperará luego de una pausa de 10 "
        "segundos");
    std::cout << "database stop: " << held.size() << " registrations, " << outMs / 1000
              << " s out, " << thread->CyclesDone() << " cycles, " << recoveries << " recoveries, "
              << heldWhileOut << " kept by the reader while out, " << c.stored << " stored, "
              << c.duplicates << " duplicates, " << c.lost << " lost" << std::endl;
    EXPECT_EQ(heldWhileOut, kPerBatch);  // the batch whose storing failed stayed in the reader
    EXPECT_GE(recoveries, 1);
    EXPECT_EQ(thread->CyclesDone(), restartCycle + kCyclesAfter);
    EXPECT_EQ(c.stored, 3 * kPerBatch) << c.Text();
    EXPECT_EQ(c.duplicates, 0) << c.Text();
    EXPECT_EQ(c.lost, 0) << c.Text();
    EXPECT_EQ(c.altered + c.invented, 0) << c.Text();
    EXPECT_EQ(c.twinsMissing, 0);
    EXPECT_TRUE(r.Registrations().isEmpty());
    thread.reset();
    b.CloseLog();
    EXPECT_GE(b.LogLines()
                  .filter("[ComThread] ATENCION : Se restableció la conexión con la base de datos")
                  .size(),
              1);
}
