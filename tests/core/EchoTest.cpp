// Lines whose converter hands back what the agent sends: the real thread, two
// simulated readers on a pseudo-terminal, a real SQLite file, in every echo
// mode, with and without the line's echo.
#include <gtest/gtest.h>

#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

int RowsWithState(const RecordingView& view, const QString& estado) {
    int n = 0;
    for (const ViewRow& r : view.rows) n += r.estado == estado ? 1 : 0;
    return n;
}

}  // namespace

// A collection of two readers and one queued command per case. Where the mode
// fits the line (echo handled, or no echo to handle), every registration is
// stored once, both readers are erased once, the command is delivered once
// and deleted, and no exchange is tried twice. Mode 1 on a line without echo
// fails every reader and the command after their retries, in bounded time,
// and keeps everything: nothing stored, nothing erased, the command queued;
// so does mode 0 on a line that echoes (what the agent did before it knew of
// echoes).
TEST(EchoCollection, TwoReadersAndACommandInEveryModeWithAndWithoutEcho) {
    const struct Case {
        qint32 eco;
        bool lineEchoes;
        qint32 baud;
        int latencyMs, chunkMax, pauseMs;  // the readers' answers in pieces
        bool works;
    } cases[] = {
        {2, true, 9600, 0, 0, 0, true},     {2, true, 19200, 16, 0, 0, true},
        {1, true, 9600, 16, 5, 25, true},   {1, true, 19200, 0, 4, 15, true},
        {2, true, 19200, 16, 6, 25, true},  {0, false, 9600, 0, 0, 0, true},
        {2, false, 19200, 16, 5, 25, true}, {1, false, 9600, 0, 0, 0, false},
        {0, true, 19200, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QStringLiteral("Eco=%1, %2, %3 bit/s, latency %4, chunks:%5:%6")
                         .arg(c.eco)
                         .arg(c.lineEchoes ? "echo" : "no echo")
                         .arg(c.baud)
                         .arg(c.latencyMs)
                         .arg(c.chunkMax)
                         .arg(c.pauseMs)
                         .toStdString());
        AgentBench b;
        ASSERT_TRUE(b.Ready());
        b.config.Eco = c.eco;
        b.AddStation(1, b.LinePath());
        b.AddReader("A1", 1, false, false, false, c.baud);
        b.AddReader("B1", 1, false, false, false, c.baud);
        b.QueueCommand(1, "A1", "HABILIT", "");
        b.Line().SetEcho(c.lineEchoes, c.latencyMs);
        SimFaults f;
        f.lineSpeed = true;
        f.latencyMs = c.latencyMs;
        f.chunkMax = c.chunkMax;
        f.chunkPauseMs = c.pauseMs;
        const QDateTime t = b.clock.Now().addSecs(-3600);
        const QDateTime minute(t.date(), QTime(t.time().hour(), t.time().minute()));
        SimulatedReader& a = b.Reader(u'A');
        SimulatedReader& r = b.Reader(u'B');
        for (int i = 0; i < 3; ++i) a.AddRegistration("11", 100 + i, minute.addSecs(60 * i));
        r.AddRegistration("12", 200, minute);
        r.AddRegistration("11", 201, minute.addSecs(60));
        a.SetFaults(f);
        r.SetFaults(f);

        b.RunCycles(1);

        QStringList stored;
        for (const QVariantList& row : b.Registrations())
            stored << row[0].toString() + ":" + row[1].toString();
        if (!c.works) {
            EXPECT_TRUE(stored.isEmpty());
            EXPECT_EQ(a.Registrations().size(), 3);
            EXPECT_EQ(r.Registrations().size(), 2);
            EXPECT_EQ(b.Commands().size(), 1);
            // The reader does hear the command each try (the setting, not the
            // line, is wrong): every try of every exchange fails, no more
            // tries than the retries allow.
            EXPECT_EQ(a.Heard().count("3"), b.config.Retrys + 1);
            EXPECT_EQ(a.Heard().count("A"), b.config.Retrys + 1);
            EXPECT_FALSE(a.Heard().contains("0"));
            // Both readers and the command end in an error row.
            EXPECT_GE(RowsWithState(b.view, "Error"), 3);
            continue;
        }
        EXPECT_EQ(stored, QStringList({"A1:100", "A1:101", "A1:102", "B1:200", "B1:201"}));
        EXPECT_TRUE(a.Registrations().isEmpty());
        EXPECT_TRUE(r.Registrations().isEmpty());
        EXPECT_TRUE(b.Commands().isEmpty());
        // Every frame heard once and accepted: no try failed (the second B
        // is the count taken again just before the erase).
        EXPECT_EQ(a.Heard(), QStringList({"A", "B", "0", "B", "2", "3"}));
        EXPECT_EQ(r.Heard(), QStringList({"A", "B", "0", "B", "2"}));
        for (SimulatedReader* reader : {&a, &r}) {
            EXPECT_EQ(reader->Requests(), reader->Heard());
            EXPECT_EQ(reader->NaksReceived(), 0);
        }
        EXPECT_EQ(RowsWithState(b.view, "Error"), 0);
        EXPECT_EQ(b.ComError(), 0);
        EXPECT_EQ(b.Line().EchoedBytes() > 0, c.lineEchoes);
    }
}
