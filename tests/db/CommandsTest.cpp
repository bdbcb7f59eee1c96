// Key lookup, anti-passback, clock synchronisation, key return and the
// command table.

#include <QSqlQuery>
#include <QThread>

#include "db/TCommandTable.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "tests/db/DbTest.h"

class Generated : public DbTest {
protected:
    // The worked example: zone 1 holds A (role "E", station 1) and B (role
    // "S", station 2); holder 7 has key 123 and is enrolled on both, on B with
    // schedule 3 and no second schedule.
    void ZoneExample() {
        Marker();
        Reader("A1", 1);
        Reader("B1", 2);
        Zone("1", "A1", "E");
        Zone("1", "B1", "S");
        Holder(7, "EMPLEADO", 123);
        Enrol("A1", 7, "1", "2");
        Enrol("B1", 7, "3", "");
    }
};
KELVOR_ON_BOTH_ENGINES(Generated);

TEST_P(Generated, AntiPassBackWorkedExample) {
    ZoneExample();
    dm->QueueAntiPassBack(123, Tr("A1"));
    EXPECT_EQ(Commands(),
              QList<QStringList>({{"1", "A1", "BAJA", "00123"}, {"2", "B1", "ALTA", "0012330"}}));
    EXPECT_EQ(db->Scalar("SELECT FechaHora FROM COMANDO WHERE IdRegistrador = 'B1'"),
              "2026-12-09 14:05:00.000");
    // Leaving through B turns it around.
    db->Exec("DELETE FROM COMANDO");
    dm->QueueAntiPassBack(123, Tr("B1"));
    EXPECT_EQ(Commands(),
              QList<QStringList>({{"1", "A1", "ALTA", "0012312"}, {"2", "B1", "BAJA", "00123"}}));
}

TEST_P(Generated, AntiPassBackFromStoredEntriesAndExits) {
    ZoneExample();
    Counter("1");
    dm->StoreRegistrations(Tr("A1"), [] {
        TListaFichadas l;
        l.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(8, 0)), "11"));
        l.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(8, 1)),
                       "12"));  // not enabled: nothing
        l.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(9, 0)), "21"));
        return l;
    }());
    EXPECT_EQ(Commands(), QList<QStringList>({{"1", "A1", "BAJA", "00123"},
                                              {"2", "B1", "ALTA", "0012330"},
                                              {"1", "A1", "BAJA", "00123"},
                                              {"2", "B1", "ALTA", "0012330"}}));
}

// The commands of a pass are appended after its commit, in the order the
// registrations made them; a pass that fails leaves none behind, and its
// repetition appends each once.
TEST_P(Generated, APassAppendsItsCommandsInOrderOnlyOnceItIsStored) {
    ZoneExample();
    Counter("1");
    db->Exec("INSERT INTO REGISTRA (Id, IdRegistrador, NroLlave) VALUES (3, 'X', 0)");
    TListaFichadas l;
    l.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(8, 0)), "11"));
    l.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(9, 0)), "21"));
    l.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(10, 0)), "11"));  // id 3 is taken
    EXPECT_THROW(dm->StoreRegistrations(Tr("A1"), l), EDatabaseError);
    EXPECT_TRUE(Commands().isEmpty());
    dm->StoreRegistrations(Tr("A1"), l);
    const QList<QStringList> pair = {{"1", "A1", "BAJA", "00123"}, {"2", "B1", "ALTA", "0012330"}};
    EXPECT_EQ(Commands(), pair + pair + pair);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "4");
}

// A command that cannot be appended after the pass was stored does not undo
// the pass: it waits, reported, and goes out before the next pass's commands.
TEST_P(Generated, ACommandThatCannotBeAppendedWaitsForTheNextPost) {
    if (GetParam() != Backend::SQLite)
        GTEST_SKIP() << "the refusal is a SQLite trigger";
    ZoneExample();
    Counter("1");
    db->Exec("CREATE TABLE BLOQUEO (X INTEGER)");
    db->Exec("INSERT INTO BLOQUEO VALUES (1)");
    db->Exec(
        "CREATE TRIGGER NOCMD BEFORE INSERT ON COMANDO WHEN (SELECT COUNT(*) FROM BLOQUEO) > 0 "
        "BEGIN SELECT RAISE(ABORT, 'bloqueado'); END");
    TListaFichadas entry;
    entry.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(8, 0)), "11"));
    dm->StoreRegistrations(Tr("A1"), entry);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "1");
    EXPECT_TRUE(Commands().isEmpty());
    EXPECT_TRUE(dm->TakeNotices().join(' ').contains("bloqueado"));
    db->Exec("DELETE FROM BLOQUEO");
    TListaFichadas exit;
    exit.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(9, 0)), "21"));
    dm->StoreRegistrations(Tr("A1"), exit);
    const QList<QStringList> pair = {{"1", "A1", "BAJA", "00123"}, {"2", "B1", "ALTA", "0012330"}};
    EXPECT_EQ(Commands(), pair + pair);
}

TEST_P(Generated, AntiPassBackOnlyWithMarkerZoneAndHolder) {
    Reader("A1", 1);
    Zone("1", "A1", "E");
    Holder(7, "EMPLEADO", 123);
    Enrol("A1", 7);
    dm->QueueAntiPassBack(123, Tr("A1"));  // no marker
    EXPECT_TRUE(Commands().isEmpty());
    Marker();
    dm->QueueAntiPassBack(123, Tr("Z9"));  // a reader in no zone
    dm->QueueAntiPassBack(456, Tr("A1"));  // a key without holder
    EXPECT_TRUE(Commands().isEmpty());
    // An enrolment on a reader missing from Reg has no station to carry it.
    Zone("1", "GONE", "S");
    Enrol("GONE", 7);
    dm->QueueAntiPassBack(123, Tr("A1"));
    EXPECT_EQ(Commands(), QList<QStringList>({{"1", "A1", "BAJA", "00123"}}));
}

TEST_P(Generated, VisitorsGetAntiPassBackOnlyWithIvOn) {
    Marker();
    Counter("1");
    Reader("A1", 1);
    Zone("1", "A1", "E");
    Holder(8, "VISITA", 200);
    Enrol("A1", 8);
    TListaFichadas l;
    l.Add(TFichada(200, now, "11"));
    config.IV = false;
    dm->StoreRegistrations(Tr("A1"), l);
    EXPECT_TRUE(Commands().isEmpty());
    config.IV = true;
    dm->StoreRegistrations(Tr("A1"), l);
    EXPECT_EQ(Commands(), QList<QStringList>({{"1", "A1", "BAJA", "00200"}}));
}

TEST_P(Generated, KeyNumberWithoutKeyStillRunsAntiPassBack) {
    Marker();
    Counter("1");
    Reader("A1", 1);
    Zone("1", "A1", "E");
    Holder(9, "EMPLEADO", 99999);
    Enrol("A1", 9);
    TListaFichadas l;
    l.Add(TFichada(99999, now, "11"));
    dm->StoreRegistrations(Tr("A1"), l);
    EXPECT_EQ(Commands(), QList<QStringList>({{"1", "A1", "BAJA", "99999"}}));
    EXPECT_EQ(db->Rows("SELECT NroLlave, IdIngresante, CodEstado FROM REGISTRA"),
              QList<QStringList>({{"-1", "9", "REQEX"}}));
}

TEST_P(Generated, MarkerPathWithOrWithoutTrailingSeparator) {
    Reader("A1", 1);
    Zone("1", "A1", "E");
    Holder(7, "EMPLEADO", 123);
    Enrol("A1", 7);
    Marker();
    RegistryFile(db->RegistryPath())
        .Write(RegistryKeys::kAlias, {RegistryValue::Str("Directorio", db->Directory() + "/")});
    auto other = MakeDm();
    EXPECT_EQ(other->DatabaseDirectory(), db->Directory() + "/");
    other->QueueAntiPassBack(123, Tr("A1"));
    EXPECT_EQ(Commands().size(), 1);
}

TEST_P(Generated, ClockSyncTexts) {
    config.Estacion = 4;
    dm->QueueClockSync(Tr("A1"));                      // Wednesday 9 December 2026 14:05
    now = QDateTime(QDate(2026, 3, 1), QTime(8, 30));  // a Sunday
    dm->QueueClockSync(Tr("B1"));
    EXPECT_EQ(Commands(), QList<QStringList>({{"4", "A1", "SINCRO", "126120941405"},
                                              {"4", "B1", "SINCRO", "126030110830"}}));
    EXPECT_EQ(db->Scalar("SELECT FechaHora FROM COMANDO WHERE IdRegistrador = 'B1'"),
              "2026-03-01 08:30:00.000");
    EXPECT_EQ(TDM::ClockSyncText(QDateTime(QDate(2026, 3, 7), QTime(23, 59))), "126030772359");
}

TEST(CommandTexts, KeysAreAtLeastFiveDigits) {
    EXPECT_EQ(TDM::KeyText(7), "00007");
    EXPECT_EQ(TDM::KeyText(123), "00123");
    EXPECT_EQ(TDM::KeyText(99999), "99999");
    EXPECT_EQ(TDM::KeyText(123456), "123456");
}

TEST_P(Generated, ReturnKeyOfAGoneHolderChangesNothing) {
    Holder(8, "VISITA", 200);
    Enrol("A1", 99);
    dm->ReturnKey(99);
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "200");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE"), "");
    EXPECT_TRUE(Commands().isEmpty());
}

TEST_P(Generated, ReturnKeyOfAHolderEnrolledNowhereQueuesNothing) {
    Holder(8, "VISITA", 200);
    dm->ReturnKey(8);
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE"), "2026-12-09 14:05:00.000");
    EXPECT_TRUE(Commands().isEmpty());
    // A second return finds no key: nothing is stamped again.
    now = now.addDays(1);
    Enrol("A1", 8);
    dm->ReturnKey(8);
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE"), "2026-12-09 14:05:00.000");
    EXPECT_TRUE(Commands().isEmpty());
}

TEST_P(Generated, ReturnKeyStampsOnlyTheCurrentAssignment) {
    Holder(8, "VISITA", 200, "2026-03-01 08:00:00.000");
    db->Exec(
        "INSERT INTO LLAVE (NroLlave, FechaAsignacion) VALUES (200, '2026-02-01 08:00:00.000')");
    if (GetParam() == Backend::SQLite)  // another program's date format
        db->Exec(
            "UPDATE LLAVE SET FechaAsignacion = '2026-03-01T08:00:00' WHERE FechaAsignacion = "
            "'2026-03-01 08:00:00.000'");
    dm->ReturnKey(8);
    EXPECT_EQ(db->Rows("SELECT Devolucion FROM LLAVE ORDER BY FechaAsignacion"),
              QList<QStringList>({{""}, {"2026-12-09 14:05:00.000"}}));
}

TEST_P(Generated, FindKeyHolder) {
    Holder(7, "EMPLEADO", 123);
    QString tipo = "x";
    EXPECT_EQ(dm->FindKeyHolder(123, tipo), 7);
    EXPECT_EQ(tipo, "EMPLEADO");
    EXPECT_EQ(dm->FindKeyHolder(124, tipo), -1);
    EXPECT_EQ(tipo, "");
    // Several holders of one key: one of them, no failure.
    db->Exec("INSERT INTO INGRESAN (Id, Tipo, NroLlave) VALUES (9, 'VISITA', 123)");
    const qint32 id = dm->FindKeyHolder(123, tipo);
    EXPECT_TRUE(id == 7 || id == 9) << id;
    EXPECT_EQ(tipo, id == 7 ? "EMPLEADO" : "VISITA");
}

class CommandTable : public DbTest {
protected:
    void Cmd(const QVariant& station, const QString& reader, const QString& code,
             const QString& when) {
        db->Exec(
            "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) VALUES "
            "(?, ?, ?, 'T', ?)",
            {station, reader, code, when});
    }
    static QStringList Walk(TCommandTable& t) {
        QStringList out;
        for (t.First(); !t.Eof(); t.Next())
            out << QString("%1:%2").arg(t.IdEstacion()).arg(t.CodComando());
        return out;
    }
};
KELVOR_ON_BOTH_ENGINES(CommandTable);

TEST_P(CommandTable, OrderDeleteAndRestamp) {
    Cmd(100, "A1", "W", "2026-03-01 07:00:00.000");
    Cmd(2, "C1", "X", "2026-03-01 07:00:00.000");
    Cmd(1, "A1", "B", "2026-03-01 08:00:00.000");
    Cmd(1, "A1", "A", "2026-03-01 07:00:00.000");
    Cmd(1, "A1", "C", "2026-03-01 08:00:00.000");  // same time as B: the older row first
    auto t = dm->OpenCommands();
    EXPECT_EQ(t->RecordCount(), 5);
    EXPECT_EQ(Walk(*t), QStringList({"1:A", "1:B", "1:C", "2:X", "100:W"}));

    t->First();
    EXPECT_EQ(t->IdRegistrador(), "A1");
    EXPECT_EQ(t->Texto(), "T");
    t->Restamp(now);  // tried and failed: behind the others of its station
    EXPECT_EQ(db->Scalar("SELECT FechaHora FROM COMANDO WHERE CodComando = 'A'"),
              "2026-12-09 14:05:00.000");
    t->First();
    EXPECT_EQ(t->CodComando(), "B");
    t->Delete();  // the cursor stands on the following row
    EXPECT_EQ(t->CodComando(), "C");
    t->Next();
    EXPECT_EQ(t->CodComando(), "A");
    Cmd(1, "A1", "N", "2026-03-01 06:00:00.000");  // another program adds a row
    EXPECT_EQ(Walk(*t), QStringList({"1:N", "1:C", "1:A", "2:X", "100:W"}));
    EXPECT_EQ(t->RecordCount(), 5);  // counted at open
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM COMANDO WHERE CodComando = 'B'"), "0");

    // A row another agent deleted first is simply gone.
    t->First();
    db->Exec("DELETE FROM COMANDO WHERE CodComando = 'N'");
    EXPECT_NO_THROW(t->Delete());
    EXPECT_EQ(t->CodComando(), "C");
    for (; !t->Eof(); t->Next()) {
    }
    EXPECT_THROW(t->CodComando(), Exception);
}

TEST_P(CommandTable, NullFieldsReadAsZeroAndEmpty) {
    db->Exec("INSERT INTO COMANDO (IdEstacion) VALUES (NULL)");
    auto t = dm->OpenCommands();
    ASSERT_FALSE(t->Eof());
    EXPECT_EQ(t->IdEstacion(), 0);
    EXPECT_EQ(t->IdRegistrador(), "");
    EXPECT_EQ(t->CodComando(), "");
    EXPECT_FALSE(t->FechaHora().isValid());
}

// A pass's part of the table: with a backlog of 20 000 rows of other
// stations (a key roll-out), the rows read are what the pass may take plus the
// row that ends it, in the table's order, station 100 after the station's own.
TEST_P(CommandTable, APassReadsWhatItMayTakeOfABacklog) {
    const char* backlog =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) "
        "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) "
        "SELECT ?, 'Z1', 'ALTA', '0012311', '2026-03-01 06:00:00.000' FROM n";
    db->Exec(backlog, {3});  // a lower station's roll-out
    db->Exec(backlog, {7});  // a higher station's
    for (int i = 0; i < 4; ++i) Cmd(5, "A1", QString("O%1").arg(i), "2026-03-01 07:00:00.000");
    Cmd(100, "A1", "W", "2026-03-01 05:00:00.000");
    struct Case {
        qint32 estacion;
        qint64 rows;
        QStringList walk;
    };
    const Case cases[] = {
        // Own rows up to the bound.
        {5, 3, {"5:O0", "5:O1", "5:O2"}},
        // All own rows, then the higher station's rows (the first ends the
        // pass) up to the bound, and no more.
        {5, 10, {"5:O0", "5:O1", "5:O2", "5:O3", "7:ALTA", "7:ALTA", "7:ALTA", "7:ALTA", "7:ALTA",
                 "7:ALTA"}},
        // Above the backlogs: station 100's row, nothing else.
        {8, 10, {"100:W"}},
        // Above 100: station 100's rows stand before the station's own.
        {120, 10, {"100:W"}},
    };
    for (const Case& c : cases) {
        auto t = dm->OpenCommands(c.estacion, c.rows, 11);
        EXPECT_EQ(t->RecordCount(), 11) << c.estacion;  // counted up to the bound only
        EXPECT_LE(t->RowsRead(), c.rows) << c.estacion;
        QStringList walk;
        for (; !t->Eof(); t->Next())
            walk << QString("%1:%2").arg(t->IdEstacion()).arg(t->CodComando());
        EXPECT_EQ(walk, c.walk) << c.estacion;
    }
    // A re-read after a rewind takes its own bound; a re-stamped row moves
    // behind the other rows of its station.
    auto t = dm->OpenCommands(5, 2, 11);
    t->Restamp(QDateTime(QDate(2026, 3, 1), QTime(9, 0)));
    t->First(6);
    QStringList walk;
    for (; !t->Eof(); t->Next()) walk << t->CodComando();
    EXPECT_EQ(walk, QStringList({"O1", "O2", "O3", "O0", "ALTA", "ALTA"}));
    EXPECT_EQ(t->RowsRead(), 6);
    // Small tables are counted whole; an empty one reads no row.
    db->Exec("DELETE FROM COMANDO WHERE IdEstacion IN (3, 7)");
    EXPECT_EQ(dm->OpenCommands(5, 10, 11)->RecordCount(), 5);
    db->Exec("DELETE FROM COMANDO");
    auto empty = dm->OpenCommands(5, 10, 11);
    EXPECT_EQ(empty->RecordCount(), 0);
    EXPECT_TRUE(empty->Eof());
}

// SQLite keeps whatever text another program wrote.
class CommandTableLooseTypes : public CommandTable {};
KELVOR_ON_SQLITE(CommandTableLooseTypes);

TEST_P(CommandTableLooseTypes, AStationThatIsNoNumberNamesTheTableAndValue) {
    db->Exec("INSERT INTO COMANDO (IdEstacion, CodComando) VALUES ('uno', 'BAJA')");
    auto t = dm->OpenCommands();
    try {
        t->IdEstacion();
        FAIL() << "a station of \"uno\" was read";
    } catch (const EConvertError& e) {
        EXPECT_TRUE(e.Message().contains("COMANDO")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("uno"));
    }
}

// The key return against a front end that hands the visitor another key.
class KeyReturn : public DbTest {};
KELVOR_ON_BOTH_ENGINES(KeyReturn);

TEST_P(KeyReturn, AKeyAssignedSinceIsNeverCleared) {
    config.IV = true;
    Reader("A1", 1);
    Holder(8, "VISITA", 5);
    Enrol("A1", 8);
    // The front end gave the visitor key 7 before the agent stored the exit
    // with key 5: nothing of the new assignment is touched.
    db->Exec("UPDATE INGRESAN SET NroLlave = 7, UltimaAsignacion = '2026-03-02 09:00:00.000' "
             "WHERE Id = 8");
    db->Exec("INSERT INTO LLAVE (NroLlave, FechaAsignacion, IdIngresante) VALUES "
             "(7, '2026-03-02 09:00:00.000', 8)");
    dm->ReturnKey(8, 5);
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "7");
    EXPECT_EQ(db->Rows("SELECT Devolucion FROM LLAVE ORDER BY NroLlave"),
              QList<QStringList>({{""}, {""}}));
    EXPECT_TRUE(Commands().isEmpty());
    // The key it does hold is returned as before.
    dm->ReturnKey(8, 7);
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE WHERE NroLlave = 7"),
              "2026-12-09 14:05:00.000");
    EXPECT_EQ(Commands(), QList<QStringList>({{"1", "A1", "BAJA", "00007"}}));
}

// Another session holds the holder's row with key 7 assigned, uncommitted,
// while the agent returns key 5; then it commits. PostgreSQL only: SQLite's
// writers are serialised by the database lock.
class KeyReturnRace : public DbTest {};
KELVOR_ON_POSTGRESQL(KeyReturnRace);

TEST_P(KeyReturnRace, TheFrontEndsAssignmentInFlightSurvivesTheReturn) {
    Holder(8, "VISITA", 5);
    QSqlDatabase front = db->Check();
    QSqlQuery q(front);
    ASSERT_TRUE(q.exec("BEGIN"));
    ASSERT_TRUE(q.exec("UPDATE INGRESAN SET NroLlave = 7 WHERE Id = 8"));
    QString error;
    QThread* agent = QThread::create([&] {
        try {
            dm->ReturnKey(8, 5);
        } catch (const std::exception& e) {
            error = e.what();
        }
        dm->CloseThreadConnection();
    });
    agent->start();
    // Bounded: until the agent's session waits for the row (or 20 s).
    bool waiting = false;
    for (int i = 0; i < 400 && !waiting; ++i) {
        QSqlQuery w(front);
        waiting = w.exec("SELECT COUNT(*) FROM pg_locks WHERE NOT granted") && w.next() &&
                  w.value(0).toInt() > 0;
        if (!waiting)
            QThread::msleep(50);
    }
    EXPECT_TRUE(waiting) << "the return did not wait for the front end's row";
    ASSERT_TRUE(q.exec("COMMIT"));
    ASSERT_TRUE(agent->wait(30000));
    delete agent;
    EXPECT_EQ(error, "");
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "7");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE WHERE NroLlave = 5"), "");
}
