// Line noise: the reader's answers lose or flip bytes. Every registration
// must still be stored exactly once and unaltered, and none invented.
#include <gtest/gtest.h>

#include <iostream>

#include "tests/core/AgentBench.h"
#include "tests/faults/FaultCounts.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

// Reader codes and the state code the agent stores for them.
struct Code {
    const char* reader;
    const char* stored;
};
constexpr Code kCodes[] = {
    {"11", "ENTHAB"}, {"12", "ENTINHAB"}, {"21", "SALHAB"}, {"22", "SALINHAB"}};

}  // namespace

TEST(Noise, OnePercentOfTheReadersBytesDamagedOrLost) {
    constexpr int kBatches = 10, kPerBatch = 500, kCycleBound = 40;
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    // A damaged copy is asked for again; enough retries that a record needing
    // more copies than that stays rare (a failed pass is read again anyway).
    b.config.Retrys = 6;
    b.timing.serialTimeoutUnitMs = 50;
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& r = b.Reader(u'A');
    SimFaults noise;
    noise.noise = 0.01;
    r.SetFaults(noise);

    // Keys 1..5000, one minute apart, ending ten minutes ago.
    QMap<qint32, HeldRegistration> held;
    const QDateTime first = Minute(b.clock.Now()).addSecs(-60 * (kBatches * kPerBatch + 10));
    int batches = 0, cycles = 0;
    while ((batches < kBatches || !r.Registrations().isEmpty()) && cycles < kCycleBound) {
        if (r.Registrations().isEmpty() && batches < kBatches) {
            for (int i = 0; i < kPerBatch; ++i) {
                const qint32 key = batches * kPerBatch + i + 1;
                const Code& code = kCodes[key % 4];
                const QDateTime moment = first.addSecs(60 * qint64(key));
                r.AddRegistration(code.reader, key, moment);
                held.insert(key, {moment, QString::fromLatin1(code.stored)});
            }
            ++batches;
        }
        b.RunCycles(1);
        ++cycles;
    }

    const FaultCounts c = FaultCounts::Of(b, held);
    std::cout << "noise: " << held.size() << " registrations, " << r.NaksReceived() << " NAKs, "
              << cycles << " cycles, " << c.duplicates << " duplicates, " << c.lost << " lost, "
              << c.altered << " altered, " << c.invented << " invented, " << c.synthetic
              << " MEMERR/FUEHOR rows, " << r.Registrations().size() << " left in the reader"
              << std::endl;
    ASSERT_EQ(held.size(), kBatches * kPerBatch);
    EXPECT_TRUE(r.Registrations().isEmpty());
    EXPECT_GT(r.NaksReceived(), 0);  // the noise did reach the records
    EXPECT_EQ(c.stored, kBatches * kPerBatch) << c.Text();
    EXPECT_EQ(c.duplicates, 0) << c.Text();
    EXPECT_EQ(c.lost, 0) << c.Text();
    EXPECT_EQ(c.altered, 0) << c.Text();
    EXPECT_EQ(c.invented, 0) << c.Text();
    EXPECT_EQ(c.twinsMissing, 0);
}
