// Faults around the thread: a line that goes away, a silent reader, a
// database that fails or restarts. The other readers must stay served and
// the thread must come back by itself.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "core/TComunicationThread.h"
#include "shell/RegistryFile.h"
#include "tests/core/AgentBench.h"
#include "tests/core/OwnPostgres.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

void AddThree(SimulatedReader& r, int firstKey, const QDateTime& t) {
    for (int k = 0; k < 3; ++k) r.AddRegistration("11", firstKey + k, t.addSecs(60 * k));
}

}  // namespace

TEST(Faults, SilentReaderAndUnpluggedLineLeaveTheOtherReadersServed) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    for (const char* id : {"A1", "B1", "C1", "D1"}) b.AddReader(id, 1);
    const QDateTime t = Minute(b.clock.Now().addSecs(-600));
    AddThree(b.Reader(u'A'), 100, t);
    AddThree(b.Reader(u'B'), 200, t);
    AddThree(b.Reader(u'C'), 300, t);
    AddThree(b.Reader(u'D'), 400, t);
    SimFaults silent;
    silent.silent = true;
    b.Reader(u'B').SetFaults(silent);

    // The line is pulled out just before the agent opens it for C, and
    // plugged in again before D.
    std::optional<qint32> flagBeforeD;
    b.view.onRow = [&](const ViewRow& r) {
        if (r.mensaje == "Conectándose con el registrador => C1")
            b.Line().Unplug();
        if (r.mensaje == "Conectándose con el registrador => D1") {
            flagBeforeD = b.ComError();
            b.Line().Plug();
        }
    };
    b.RunCycles(1);

    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'A1' AND CodEstado = 'ENTHAB'"), 3);
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'D1' AND CodEstado = 'ENTHAB'"), 3);
    EXPECT_TRUE(b.Reader(u'A').Registrations().isEmpty());
    EXPECT_TRUE(b.Reader(u'D').Registrations().isEmpty());
    EXPECT_EQ(b.Reader(u'B').Registrations().size(), 3);
    EXPECT_EQ(b.Reader(u'C').Registrations().size(), 3);
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador IN ('B1', 'C1') AND CodEstado <> 'MEMERR'"), 0);

    // B: the line opened, the reader never answered (retries exhausted); the
    // outcome turns the newest row, the connection row, into "Error".
    const auto b1 = b.view.With("Conectándose con el registrador => B1");
    ASSERT_EQ(b1.size(), 1u);
    EXPECT_EQ(b1[0].estado, "Error");
    EXPECT_EQ(b1[0].state, 2);
    // C: the line could not be opened.
    const auto c1 = b.view.With("Conectándose con el registrador => C1");
    ASSERT_EQ(c1.size(), 1u);
    EXPECT_EQ(c1[0].estado, "Error de comunicaciones");
    EXPECT_EQ(c1[0].state, 3);
    EXPECT_EQ(flagBeforeD, 1);
    EXPECT_EQ(b.ComError(), 0);  // D connected afterwards
    // One "MEMERR" for the failed connection (one per clock minute at most).
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'MEMERR' AND IdRegistrador = 'C1'"), 1);

    // Everything left behind comes in with the next cycle.
    b.Reader(u'B').SetFaults(SimFaults{});
    b.view.onRow = nullptr;
    b.RunCycles(1);
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'ENTHAB'"), 12);
}

TEST(Faults, AReaderWithAnEmptyIdIsAnErrorNotACrash) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("", 1);
    b.AddReader("A1", 1);
    AddThree(b.Reader(u'A'), 10, Minute(b.clock.Now().addSecs(-600)));
    b.RunCycles(1);
    const auto empty = b.view.With("Conectándose con el registrador => ");
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].estado, "Error");
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'A1'"), 3);
}

TEST(Faults, ADatabaseErrorEndsTheCycleAndTheNextCycleWorks) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    AddThree(b.Reader(u'A'), 10, Minute(b.clock.Now().addSecs(-600)));
    b.QueueCommand(1, "A1", "HABILIT", "");
    b.Exec("ALTER TABLE Reg RENAME TO RegAparte");
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 3)
            b.Exec("ALTER TABLE RegAparte RENAME TO Reg");
    };
    b.RunCycles(3);

    // Cycles 1 and 2 failed at the reader list: no command was processed.
    EXPECT_EQ(b.view.Count("Se detectó una anomalía, el sistema se recuperará luego de una "
                           "pausa de 10 segundos"),
              2);
    EXPECT_EQ(b.view.Count("Comienza procesamiento de comandos"), 1);
    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'A1'"), 3);
    EXPECT_EQ(b.Count("COMANDO"), 0);
    b.CloseLog();
    // Cycle 2's failure is logged (cycle 1 writes no thread lines).
    EXPECT_EQ(b.LogLines()
                  .filter(QRegularExpression("\\[ComThread\\] ATENCION : Se ha producido la "
                                             "siguiente excepción: .+"))
                  .size(),
              1);
}

TEST(Faults, ADatabaseServerRestartIsSurvived) {
    OwnPostgres server;
    if (!server.Skip().isEmpty())
        GTEST_SKIP() << server.Skip().toStdString();
    AgentBench b(BenchDb::PostgreSQL);
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    const QDateTime t = Minute(b.clock.Now().addSecs(-600));
    AddThree(b.Reader(u'A'), 10, t);

    // Between cycles 1 and 2 the server restarts: the start of cycle 2 finds
    // the dead connection and reopens it. In cycle 3 it restarts while the
    // reader is being read: storing fails (the reader keeps its
    // registrations), the command table cannot be opened, and the cycle's
    // recovery reopens the connection for cycle 4.
    b.view.onCycleStart = [&](int cycle) {
        if (cycle == 2) {
            ASSERT_TRUE(server.Stop());
            ASSERT_TRUE(server.Start());
            b.ReopenSetup();
            AddThree(b.Reader(u'A'), 20, t);
        }
        if (cycle == 3)
            AddThree(b.Reader(u'A'), 30, t);
    };
    b.view.onRow = [&](const ViewRow& r) {
        if (b.view.cycleStarts != 3 || r.mensaje != "Leyendo 3 registraciones del registrador")
            return;
        ASSERT_TRUE(server.Stop());
        ASSERT_TRUE(server.Start());
        b.ReopenSetup();
    };
    b.RunCycles(4);
    EXPECT_EQ(b.view.Count("Se detectó una anomalía, el sistema se recuperará luego de una "
                           "pausa de 10 segundos"),
              1);
    EXPECT_EQ(b.Count("REGISTRA", "CodEstado = 'ENTHAB'"), 9);
    EXPECT_EQ(b.Count("REGISTRA", "NroLlave IN (30, 31, 32)"), 3);
    EXPECT_TRUE(b.Reader(u'A').Registrations().isEmpty());
    b.CloseLog();
    EXPECT_EQ(b.LogLines()
                  .filter("[ComThread] ATENCION : Se restableció la conexión con la base de datos")
                  .size(),
              1);
}

// "ComError" is the other programs' flag, not the job: a settings file that
// cannot take it (its folder cannot be made: a file stands in the way) is
// told once, and the readers are still
// read and erased in every cycle.
TEST(Faults, AComErrorThatCannotBeWrittenIsToldOnceAndCollectionGoesOn) {
    AgentBench b;
    ASSERT_TRUE(b.Ready()) << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    const QDateTime t = Minute(b.clock.Now().addSecs(-600));
    AddThree(b.Reader(u'A'), 100, t);
    b.view.onCycleStart = [&](int cycle) {
        // From the second cycle on (the database is open by then).
        if (cycle == 2) {
            RegistryFile::SetProcessPath(b.registry + "/registry.reg");
            ResetComErrorForTest();
        }
        if (cycle >= 2)
            AddThree(b.Reader(u'A'), 100 * cycle, t);
    };
    b.RunCycles(3);
    RegistryFile::SetProcessPath(b.registry);
    b.CloseLog();

    EXPECT_EQ(b.Count("REGISTRA", "IdRegistrador = 'A1' AND CodEstado = 'ENTHAB'"), 9);
    EXPECT_TRUE(b.Reader(u'A').Registrations().isEmpty());
    const QString told = "No se pudo escribir \"ComError\" en el archivo de configuración " +
                         b.registry + "/registry.reg";
    EXPECT_EQ(b.view.Count(told), 1);
    EXPECT_EQ(b.LogLines().filter("[ComThread] ATENCION : " + told).size(), 1)
        << b.LogLines().join('\n').toStdString();
}
