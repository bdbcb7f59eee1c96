// Each registration is stored once even when a reader's erase is lost: the
// real thread, simulated readers on a real pseudo-terminal and a real
// database, with the reader's note of stored records in AGPENDIENTE.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <map>

#include "db/TDM.h"
#include "shell/RegistryFile.h"
#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

QDateTime Minute(const QDateTime& t) {
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()));
}

// How many REGISTRA rows (and RegExp twins) each key of a reader has.
std::map<int, int> KeysOf(AgentBench& b, const QString& reader) {
    std::map<int, int> keys;
    for (const QVariantList& r : b.Rows("SELECT NroLlave FROM REGISTRA WHERE IdRegistrador = ? "
                                        "AND CodEstado = 'ENTHAB'",
                                        {reader}))
        ++keys[r[0].toInt()];
    return keys;
}

std::map<int, int> Once(std::initializer_list<int> keys) {
    std::map<int, int> out;
    for (int k : keys) out[k] = 1;
    return out;
}

SimFaults EraseNak(qint64 n) {
    SimFaults f;
    f.eraseNak = n;
    return f;
}

class ExactlyOnce : public ::testing::TestWithParam<BenchDb> {};

}  // namespace

// The reader never acknowledges the erase for several cycles, and gets new
// registrations meanwhile: each is stored exactly once, none is lost, and
// the skip is shown for the reader.
TEST_P(ExactlyOnce, EraseNeverAcknowledgedStoresEachRegistrationOnce) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& a = b.Reader(u'A');
    const QDateTime t = Minute(b.clock.Now().addSecs(-3600));
    for (int k = 1; k <= 3; ++k) a.AddRegistration("11", 100 + k, t.addSecs(60 * k));
    a.SetFaults(EraseNak(-1));

    b.RunCycles(2);
    EXPECT_EQ(KeysOf(b, "A1"), Once({101, 102, 103}));
    EXPECT_EQ(b.Count("RegExp"), 3);
    EXPECT_EQ(a.Registrations().size(), 3);
    EXPECT_EQ(b.view.Count("Se omiten 3 registraciones ya almacenadas"), 1);
    EXPECT_EQ(b.Dm().PendingRecords("A1"), a.Registrations());

    // New ones arrive while the erase still fails: only they are stored.
    a.AddRegistration("11", 104, t.addSecs(600));
    a.AddRegistration("11", 105, t.addSecs(660));
    b.RunCycles(2);
    EXPECT_EQ(KeysOf(b, "A1"), Once({101, 102, 103, 104, 105}));
    EXPECT_EQ(b.view.Count("Se omiten 3 registraciones ya almacenadas"), 2);
    EXPECT_EQ(b.view.Count("Se omiten 5 registraciones ya almacenadas"), 1);
    const auto skip = b.view.With("Se omiten 5 registraciones ya almacenadas");
    ASSERT_EQ(skip.size(), 1u);
    EXPECT_EQ(skip[0].registrador, "A1");
    EXPECT_EQ(b.Dm().PendingRecords("A1").size(), 5);

    // The erase goes through at last: the note goes with it.
    a.SetFaults(SimFaults{});
    b.RunCycles(1);
    EXPECT_EQ(KeysOf(b, "A1"), Once({101, 102, 103, 104, 105}));
    EXPECT_EQ(b.Count("REGISTRA"), 5);
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_TRUE(b.Dm().PendingRecords("A1").isEmpty());
    EXPECT_EQ(b.Count("AGPENDIENTE"), 0);
}

// A note that is not the beginning of what the reader holds says nothing
// about it: everything is stored, and the note then holds this pass.
TEST_P(ExactlyOnce, ANoteWithOtherContentStoresInFull) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    SimulatedReader& a = b.Reader(u'A');
    SimulatedReader& r = b.Reader(u'B');
    const QDateTime t = Minute(b.clock.Now().addSecs(-3600));
    a.AddRegistration("11", 201, t);
    a.AddRegistration("11", 202, t.addSecs(60));
    r.AddRegistration("11", 301, t);
    // A1's note: its first record and then one it does not hold (the note
    // is longer than a match would allow); B1's note: A1's first record.
    const QByteArray first = a.Registrations()[0];
    QByteArray other = first;
    other[13] = '9';
    b.Exec("INSERT INTO AGPENDIENTE (IdRegistrador, Registros) VALUES (?, ?)",
           {"A1", QString::fromLatin1(first.toHex() + other.toHex() + other.toHex())});
    b.Exec("INSERT INTO AGPENDIENTE (IdRegistrador, Registros) VALUES (?, ?)",
           {"B1", QString::fromLatin1(first.toHex())});
    a.SetFaults(EraseNak(-1));

    b.RunCycles(1);
    EXPECT_EQ(KeysOf(b, "A1"), Once({201, 202}));
    EXPECT_EQ(KeysOf(b, "B1"), Once({301}));
    EXPECT_EQ(b.view.Starting("Se omiten").size(), 0u);
    EXPECT_EQ(b.Dm().PendingRecords("A1"), a.Registrations());
    // B1 was erased: its note is gone.
    EXPECT_TRUE(r.Registrations().isEmpty());
    EXPECT_TRUE(b.Dm().PendingRecords("B1").isEmpty());
    // Both said at attention level, in the first cycle already.
    b.CloseLog();
    EXPECT_EQ(b.LogLines()
                  .filter(QRegularExpression("ATENCION : Las registraciones leídas del "
                                             "registrador (A1|B1) no comienzan con"))
                  .size(),
              2)
        << b.LogLines().join('\n').toStdString();
}

// An erase that was done but whose acknowledgement was lost: the next cycle
// finds the reader empty and drops the note, so a later registration that
// looks exactly like an old one (same key, state and minute) is stored.
TEST_P(ExactlyOnce, AnEmptyReaderDropsItsNote) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& a = b.Reader(u'A');
    const QDateTime t = Minute(b.clock.Now().addSecs(-3600));
    a.AddRegistration("11", 401, t);
    SimFaults f;
    f.eraseLost = -1;  // the first frame erases; no frame is answered
    a.SetFaults(f);

    b.RunCycles(1);
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_EQ(b.Dm().PendingRecords("A1").size(), 1);
    a.SetFaults(SimFaults{});

    b.RunCycles(1);
    EXPECT_EQ(b.view.Count("No hay registraciones en el registrador"), 1);
    EXPECT_TRUE(b.Dm().PendingRecords("A1").isEmpty());

    a.AddRegistration("11", 401, t);
    b.RunCycles(1);
    EXPECT_EQ(KeysOf(b, "A1"), (std::map<int, int>{{401, 2}}));
    EXPECT_TRUE(a.Registrations().isEmpty());
}

// A key presented while the others are being read would be erased unread:
// the reader is left alone this cycle and the next one stores only the new
// registration.
TEST_P(ExactlyOnce, ARegistrationMadeDuringTheReadIsNotErasedUnread) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& a = b.Reader(u'A');
    const QDateTime t = Minute(b.clock.Now().addSecs(-3600));
    for (int k = 1; k <= 3; ++k) a.AddRegistration("11", 500 + k, t.addSecs(60 * k));
    bool added = false;
    b.view.onRow = [&](const ViewRow& row) {
        if (!added && row.mensaje.startsWith("Insertando")) {
            a.AddRegistration("11", 509, t.addSecs(900));
            added = true;
        }
    };

    b.RunCycles(1);
    EXPECT_TRUE(added);
    EXPECT_EQ(KeysOf(b, "A1"), Once({501, 502, 503}));
    EXPECT_FALSE(a.Requests().contains("2"));
    EXPECT_EQ(a.Registrations().size(), 4);
    EXPECT_EQ(
        b.view.Count("Hay registraciones nuevas en el registrador; se borrará en el próximo ciclo"),
        1);

    b.RunCycles(1);
    EXPECT_EQ(KeysOf(b, "A1"), Once({501, 502, 503, 509}));
    EXPECT_EQ(b.view.Count("Se omiten 3 registraciones ya almacenadas"), 1);
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_TRUE(b.Dm().PendingRecords("A1").isEmpty());
}

// A database made before the note existed (or by a front end): the agent
// makes its table when it connects and stores and erases in the first cycle.
TEST_P(ExactlyOnce, ADatabaseWithoutTheNoteTableStoresAndErasesInTheFirstCycle) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& a = b.Reader(u'A');
    a.AddRegistration("11", 601, Minute(b.clock.Now().addSecs(-3600)));
    b.Exec("DROP TABLE AGPENDIENTE");

    b.RunCycles(1);
    EXPECT_EQ(KeysOf(b, "A1"), Once({601}));
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_EQ(b.Count("AGPENDIENTE"), 0);  // made, and cleared after the erase
    b.CloseLog();
    EXPECT_TRUE(b.LogLines().filter("AGPENDIENTE").isEmpty());
}

// Another session holds the id counter row and the queued command (PostgreSQL:
// row locks past a one-second lock time-out; SQLite: the write lock past the
// busy time-out): the cycle ends by itself, the database steps reported as
// errors, nothing stored and the reader not erased; after the release the
// next cycle stores each registration once and carries the command.
TEST_P(ExactlyOnce, ALockHeldByAnotherSessionEndsTheStepAndTheNextCycleStoresOnce) {
    AgentBench b(GetParam());
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    ASSERT_TRUE(RegistryFile(b.registry)
                    .Write(RegistryKeys::kAlias, {RegistryValue::Str("LockTimeout", "1")}));
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    SimulatedReader& a = b.Reader(u'A');
    const QDateTime t = Minute(b.clock.Now().addSecs(-3600));
    a.AddRegistration("11", 701, t);
    a.AddRegistration("11", 702, t.addSecs(60));
    b.QueueCommand(1, "A1", "ALTA", "0012345");
    if (GetParam() == BenchDb::PostgreSQL) {
        b.Exec("BEGIN");
        b.Exec("SELECT * FROM CODIGO FOR UPDATE");
        b.Exec("UPDATE COMANDO SET Texto = Texto");
    } else {
        b.Exec("BEGIN IMMEDIATE");
    }

    b.RunCycles(2);  // the second cycle logs the thread's lines
    b.Exec("ROLLBACK");
    EXPECT_EQ(b.Count("REGISTRA"), 0);
    EXPECT_EQ(a.Registrations().size(), 2);
    EXPECT_FALSE(a.Requests().contains("2"));
    EXPECT_EQ(b.Count("COMANDO"), 1);
    const auto inserting = b.view.With("Insertando 2 registracion/es en la base de datos");
    ASSERT_EQ(inserting.size(), 2u);
    for (const ViewRow& r : inserting) EXPECT_EQ(r.estado, "Error");

    b.RunCycles(1);
    EXPECT_EQ(KeysOf(b, "A1"), Once({701, 702}));
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_EQ(b.Count("COMANDO"), 0);
    b.CloseLog();
    EXPECT_EQ(b.LogLines()
                  .filter(QRegularExpression("ERROR : Error de base de datos \\(CODIGO\\)"))
                  .size(),
              1)
        << b.LogLines().join('\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Db, ExactlyOnce, ::testing::Values(BenchDb::SQLite, BenchDb::PostgreSQL),
                         [](const auto& info) {
                             return info.param == BenchDb::SQLite ? "SQLite" : "PostgreSQL";
                         });
