// The reader line pulled out and plugged back (the simulator closes its
// terminal and makes a new one behind the same path) while registrations are
// read and while commands go out: nothing lost, nothing doubled, the commands
// delivered later, and the agent goes on by itself.
#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include "tests/core/AgentBench.h"
#include "tests/faults/FaultCounts.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

// Pulls the line out from a thread of its own once `ready` holds, while the
// communication thread is inside its exchanges.
class Puller {
public:
    Puller(SimulatedLine& line, std::function<bool()> ready)
        : m_thread([&line, ready, this] {
              m_hit = line.WaitUntil(ready, 20000);
              if (m_hit)
                  line.Unplug();
          }) {}
    ~Puller() { Join(); }
    bool Join() {
        if (m_thread.joinable())
            m_thread.join();
        return m_hit;
    }

private:
    bool m_hit = false;
    std::thread m_thread;
};

}  // namespace

TEST(Line, UnpluggedWhileRegistrationsAreReadAndPluggedBack) {
    constexpr int kHeld = 300;
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& r = b.Reader(u'A');
    QMap<qint32, HeldRegistration> held;
    const QDateTime first = Minute(b.clock.Now()).addSecs(-60 * (kHeld + 10));
    for (int key = 1; key <= kHeld; ++key) {
        r.AddRegistration("11", key, first.addSecs(60 * key));
        held.insert(key, {first.addSecs(60 * key), "ENTHAB"});
    }

    // Cycle 1: the line goes away after a third of the records (two status
    // records and 100 registrations acknowledged); the reader answers a
    // little slowly so that the pull lands inside the pass. Cycle 2: it is
    // back, at full speed.
    SimFaults slow;
    slow.delayMs = 2;
    r.SetFaults(slow);
    std::unique_ptr<Puller> puller;
    b.view.onRow = [&](const ViewRow& row) {
        if (!puller && row.mensaje.startsWith("Leyendo "))
            puller = std::make_unique<Puller>(b.Line(), [&] { return r.AcksReceived() >= 102; });
    };
    int storedWhileOut = -1;
    qsizetype heldWhileOut = -1;
    b.view.onCycleStart = [&](int cycle) {
        if (cycle != 2)
            return;
        ASSERT_TRUE(puller && puller->Join());
        storedWhileOut = b.Count("REGISTRA", "CodEstado = 'ENTHAB'");
        heldWhileOut = r.Registrations().size();
        r.SetFaults(SimFaults{});
        b.Line().Plug();
    };
    b.RunCycles(3);

    const FaultCounts c = FaultCounts::Of(b, held);
    std::cout << "unplug while reading: " << kHeld << " registrations, " << storedWhileOut
              << " stored while out, " << c.stored << " stored, " << c.duplicates << " duplicates, "
              << c.lost << " lost, " << c.altered << " altered, " << c.synthetic
              << " MEMERR/FUEHOR rows" << std::endl;
    EXPECT_EQ(storedWhileOut, 0);    // the broken pass stored nothing ...
    EXPECT_EQ(heldWhileOut, kHeld);  // ... and erased nothing
    // The broken pass ends on its newest row, the reading row, as an error.
    const auto reads = b.view.Starting("Leyendo ");
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[0].estado, "Error");
    EXPECT_EQ(reads[0].state, 2);
    EXPECT_EQ(c.stored, kHeld) << c.Text();
    EXPECT_EQ(c.duplicates, 0) << c.Text();
    EXPECT_EQ(c.lost, 0) << c.Text();
    EXPECT_EQ(c.altered + c.invented, 0) << c.Text();
    EXPECT_TRUE(r.Registrations().isEmpty());
    EXPECT_EQ(b.ComError(), 0);
}

TEST(Line, UnpluggedWhileCommandsGoOutAndPluggedBack) {
    constexpr int kCommands = 12;
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.config.Comandos = 50;
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& r = b.Reader(u'A');
    QDateTime t = b.clock.Now().addSecs(-60);
    for (int i = 0; i < kCommands; ++i) {
        b.QueueCommand(1, "A1", "ALTA", QString("%1AB").arg(1000 + i, 5, 10, QChar('0')), t);
        t = t.addMSecs(10);
    }

    // The line goes away after the fourth enrolment, while the others are
    // still queued; it is back for cycle 2.
    SimFaults slow;
    slow.delayMs = 5;
    r.SetFaults(slow);
    std::unique_ptr<Puller> puller;
    b.view.onRow = [&](const ViewRow& row) {
        if (!puller && row.mensaje == "Comienza procesamiento de comandos")
            puller = std::make_unique<Puller>(b.Line(), [&] { return r.Keys().size() >= 4; });
    };
    int leftWhileOut = -1;
    b.view.onCycleStart = [&](int cycle) {
        if (cycle != 2)
            return;
        ASSERT_TRUE(puller && puller->Join());
        leftWhileOut = b.Count("COMANDO");
        r.SetFaults(SimFaults{});
        b.Line().Plug();
    };
    b.RunCycles(3);

    int requests = 0;
    for (const QString& q : r.Requests())
        if (q.startsWith('5'))
            ++requests;
    const auto keys = r.Keys();
    std::cout << "unplug while sending commands: " << kCommands << " commands, " << leftWhileOut
              << " left while out, " << keys.size() << " keys enrolled, " << requests
              << " enrolment frames accepted, " << b.Count("COMANDO") << " left at the end"
              << std::endl;
    EXPECT_GT(leftWhileOut, 0);
    EXPECT_LT(leftWhileOut, kCommands);
    EXPECT_GE(b.view.Count("Actualizando comando en la base de datos"), 1);
    EXPECT_EQ(b.Count("COMANDO"), 0);
    ASSERT_EQ(keys.size(), kCommands);
    for (int i = 0; i < kCommands; ++i) EXPECT_EQ(keys.value(1000 + i), "AB") << 1000 + i;
    // An enrolment whose answer was lost with the line is sent once more;
    // more than that would be a command delivered twice.
    EXPECT_GE(requests, kCommands);
    EXPECT_LE(requests, kCommands + 1);
    EXPECT_EQ(b.ComError(), 0);
}
