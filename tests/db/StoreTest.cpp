// Storing registrations: the state table, the twin rows, the visit
// bookkeeping, the synthetic rows and the all-or-none passes.

#include <QSqlQuery>

#include "shell/Errors.h"
#include "tests/db/DbTest.h"

namespace {
const QString kReg =
    "SELECT Id, FechaHora, IdRegistrador, NroLlave, IdIngresante, Modificado, Responsable, %1, "
    "CodEstado FROM %2 ORDER BY Id";
}

class Store : public DbTest {
protected:
    QList<QStringList> Registra() const { return db->Rows(kReg.arg(B("ACK"), "REGISTRA")); }
    QList<QStringList> RegExp() const { return db->Rows(kReg.arg(B("ACK"), "RegExp")); }
    QStringList States(const QString& table = "REGISTRA") const {
        QStringList out;
        for (const QStringList& r : db->Rows("SELECT CodEstado FROM " + table + " ORDER BY Id"))
            out << r[0];
        return out;
    }
    QList<QStringList> Visits() const {
        return db->Rows("SELECT FechaHora, IdRegistrador, NroLlave, IdIngresante, " + B("ACK") +
                        ", CodEstado, " + B("Presente") +
                        ", FHSalida, RegSal FROM VISACT ORDER BY Id");
    }
    static TListaFichadas List(const QList<std::pair<int, QString>>& items, const QDateTime& at) {
        TListaFichadas l;
        int minute = 0;
        for (const auto& [key, estado] : items)
            l.Add(TFichada(key, at.addSecs(60 * minute++), estado));
        return l;
    }
    QDateTime at{QDate(2026, 3, 1), QTime(8, 30)};
};
KELVOR_ON_BOTH_ENGINES(Store);

TEST_P(Store, StateTableAndTwinRows) {
    Counter("100");
    Holder(7, "EMPLEADO", 123);
    const QStringList estados = {"11", "12", "13", "14", "15", "20",
                                 "21", "22", "16", "05", "AB", ""};
    QList<std::pair<int, QString>> items;
    for (const QString& e : estados) items << std::pair{123, e};
    dm->StoreRegistrations(Tr("A1"), List(items, at));

    EXPECT_EQ(States(), QStringList({"ENTHAB", "ENTINHAB", "PABIERTA", "PFORZADA", "PSINUSO", "20",
                                     "SALHAB", "SALINHAB", "16", "05", "AB", ""}));
    EXPECT_EQ(States("RegExp"), States());
    const QList<QStringList> rows = Registra();
    ASSERT_EQ(rows.size(), estados.size());
    EXPECT_EQ(rows[0], QStringList({"100", "2026-03-01 08:30:00.000", "A1", "123", "7",
                                    "2026-12-09 14:05:00.000", "Agente", "F", "ENTHAB"}));
    EXPECT_EQ(rows.last()[0], "111");
    EXPECT_EQ(rows.last()[1], "2026-03-01 08:41:00.000");
    EXPECT_EQ(RegExp(), rows);
    EXPECT_EQ(db->Scalar("SELECT DESCRIPCION FROM CODIGO"), "112");
}

TEST_P(Store, State20IsAnEnabledEntryOnlyOnAnHtaReader) {
    Counter("1");
    Holder(7, "EMPLEADO", 123);
    dm->StoreRegistrations(Tr("H1", true, true), List({{123, "20"}}, at));
    dm->StoreRegistrations(Tr("A1", true, false), List({{123, "20"}}, at));
    EXPECT_EQ(States(), QStringList({"ENTHAB", "20"}));
    // Only the first counted as an entry: one visit row.
    EXPECT_EQ(db->Rows("SELECT IdRegistrador FROM VISACT"), QList<QStringList>({{"H1"}}));
}

TEST_P(Store, KeyWithoutNumberIsStoredAsMinusOneWithRequestState) {
    Counter("1");
    dm->StoreRegistrations(Tr("A1"), List({{99999, "11"}, {99999, "13"}, {99999, "AB"}}, at));
    EXPECT_EQ(
        db->Rows("SELECT NroLlave, IdIngresante, CodEstado FROM REGISTRA ORDER BY Id"),
        QList<QStringList>({{"-1", "-1", "REQEX"}, {"-1", "-1", "REQEX"}, {"-1", "-1", "AB"}}));
    EXPECT_EQ(db->Rows("SELECT NroLlave, CodEstado FROM RegExp ORDER BY Id"),
              QList<QStringList>({{"-1", "REQEX"}, {"-1", "REQEX"}, {"-1", "AB"}}));
}

TEST_P(Store, EmptyListIssuesNoStatement) {
    db->Exec("DROP TABLE REGISTRA");
    EXPECT_NO_THROW(dm->StoreRegistrations(Tr("A1"), TListaFichadas()));
}

TEST_P(Store, SyntheticRowsCarryTheirAckPerTable) {
    Counter("5");
    dm->StoreOutOfHours(Tr("A1"));
    dm->StoreMemoryError(Tr("B1"));
    const QString stamp = "2026-12-09 14:05:00.000";
    EXPECT_EQ(Registra(),
              QList<QStringList>({{"5", stamp, "A1", "0", "-1", stamp, "Agente", "T", "FUEHOR"},
                                  {"6", stamp, "B1", "0", "-1", stamp, "Agente", "F", "MEMERR"}}));
    EXPECT_EQ(RegExp(),
              QList<QStringList>({{"5", stamp, "A1", "0", "-1", stamp, "Agente", "T", "FUEHOR"},
                                  {"6", stamp, "B1", "0", "-1", stamp, "Agente", "T", "MEMERR"}}));
}

TEST_P(Store, VisitsOnACtrlActivoReader) {
    Counter("1");
    Holder(7, "EMPLEADO", 123);
    const TTR door = Tr("A1", true);
    dm->StoreRegistrations(door, List({{123, "11"}}, at));
    dm->StoreRegistrations(door, List({{123, "11"}}, at.addSecs(600)));
    QList<QStringList> v = Visits();
    ASSERT_EQ(v.size(), 2);
    EXPECT_EQ(v[0], QStringList(
                        {"2026-03-01 08:30:00.000", "A1", "123", "7", "F", "ENTHAB", "F", "", ""}));
    EXPECT_EQ(v[1], QStringList(
                        {"2026-03-01 08:40:00.000", "A1", "123", "7", "F", "ENTHAB", "T", "", ""}));

    dm->StoreRegistrations(Tr("S1", true), List({{123, "21"}}, at.addSecs(3600)));
    v = Visits();
    EXPECT_EQ(v[0][6], "F");
    EXPECT_EQ(v[0][7], "");  // an earlier visit is not closed again
    EXPECT_EQ(v[1], QStringList({"2026-03-01 08:40:00.000", "A1", "123", "7", "F", "ENTHAB", "F",
                                 "2026-03-01 09:30:00.000", "S1"}));
    // An exit with no visit present changes nothing.
    dm->StoreRegistrations(Tr("S1", true), List({{123, "21"}}, at.addSecs(7200)));
    EXPECT_EQ(Visits(), v);
}

TEST_P(Store, ReadersWithoutCtrlActivoKeepNoVisitsAndReturnNoKey) {
    Counter("1");
    Holder(8, "VISITA", 200);
    Enrol("A1", 8);
    dm->StoreRegistrations(Tr("A1"), List({{200, "11"}, {200, "21"}}, at));
    EXPECT_TRUE(Visits().isEmpty());
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "200");
    EXPECT_TRUE(Commands().isEmpty());
}

TEST_P(Store, KeyZeroAndMasterKeysStillKeepVisits) {
    Counter("1");
    Marker();
    config.MASTER2 = 555;
    Holder(7, "EMPLEADO", 555);
    Enrol("A1", 7);
    Reader("A1", 1);
    Zone("1", "A1", "E");
    dm->StoreRegistrations(Tr("A1", true), List({{0, "11"}, {555, "11"}}, at));
    EXPECT_EQ(db->Rows("SELECT NroLlave FROM VISACT ORDER BY Id"),
              QList<QStringList>({{"0"}, {"555"}}));
    EXPECT_TRUE(Commands().isEmpty());  // no anti-passback for them
}

TEST_P(Store, VisitorLeavingThroughCtrlActivoReturnsTheKey) {
    Counter("1");
    Holder(8, "VISITA", 200, "2026-03-01 08:00:00.000");
    Enrol("A1", 8);
    Enrol("X9", 8);  // a reader of another station: the command goes to this station's agent
    config.Estacion = 3;
    dm->StoreRegistrations(Tr("S1", true), List({{200, "21"}}, at));
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE WHERE NroLlave = 200"),
              "2026-12-09 14:05:00.000");
    EXPECT_EQ(Commands(),
              QList<QStringList>({{"3", "A1", "BAJA", "00200"}, {"3", "X9", "BAJA", "00200"}}));
}

TEST_P(Store, VisitorKeyReturnWithIvOffQueuesNothing) {
    Counter("1");
    config.IV = false;
    Holder(8, "VISITA", 200);
    Enrol("A1", 8);
    dm->StoreRegistrations(Tr("S1", true), List({{200, "21"}}, at));
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE WHERE NroLlave = 200"),
              "2026-12-09 14:05:00.000");
    EXPECT_TRUE(Commands().isEmpty());
}

// All or none: the second registration cannot be written (its RegExp id is
// taken), so the first is not kept either; the block drawn for the pass stays
// drawn (a gap), and the repeat draws past the ids in use.
TEST_P(Store, AFailurePartWayStoresNothingAndTheRepeatStoresEachOnce) {
    Counter("10");
    db->Exec("INSERT INTO RegExp (Id, CodEstado) VALUES (11, 'ajeno')");
    const TListaFichadas list = List({{123, "11"}, {124, "11"}, {125, "21"}}, at);
    EXPECT_THROW(dm->StoreRegistrations(Tr("A1", true), list), EDatabaseError);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "0");
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM VISACT"), "0");
    EXPECT_EQ(db->Scalar("SELECT DESCRIPCION FROM CODIGO"), "13");

    db->Exec("DELETE FROM RegExp");
    dm->StoreRegistrations(Tr("A1", true), list);
    EXPECT_EQ(db->Rows("SELECT Id, NroLlave FROM REGISTRA ORDER BY Id"),
              QList<QStringList>({{"13", "123"}, {"14", "124"}, {"15", "125"}}));
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM RegExp"), "3");
}

class Virtual : public Store {
protected:
    void Sim(const QString& fecha, const QString& reader, const QVariant& key,
             const QVariant& holder, const QString& cod) {
        db->Exec(
            "INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, IdIngresante, Responsable, "
            "CodEstado) VALUES (?, ?, ?, ?, 'Simulador', ?)",
            {fecha, reader, key, holder, cod});
    }
};
KELVOR_ON_BOTH_ENGINES(Virtual);

TEST_P(Virtual, RowsAreCopiedAsFoundAndRemoved) {
    Counter("1");
    Marker();
    Reader("V1", 1, false, true);
    Zone("1", "V1", "E");
    Holder(7, "EMPLEADO", 123);
    Enrol("V1", 7);
    Sim("2026-03-01 08:30:00.000", "V1", 123, 7, "11");
    Sim("2026-03-01 08:31:00.000", "V2", 124, -1, "ENTHAB");
    dm->StoreVirtualRegistrations(Tr("V1"));
    const QString stamp = "2026-12-09 14:05:00.000";
    EXPECT_EQ(
        Registra(),
        QList<QStringList>({
            {"1", "2026-03-01 08:30:00.000", "V1", "123", "7", stamp, "Simulador", "F", "11"},
            {"2", "2026-03-01 08:31:00.000", "V2", "124", "-1", stamp, "Simulador", "F", "ENTHAB"},
        }));
    EXPECT_EQ(RegExp(), Registra());
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGSIM"), "0");
    EXPECT_TRUE(Commands().isEmpty());  // no anti-passback for virtual rows
    EXPECT_TRUE(Visits().isEmpty());    // the reader served has no CtrlActivo
}

TEST_P(Virtual, OtherDateFormatsAndNullsAreAccepted) {
    Counter("1");
    Sim("2026-03-01T08:30:00", "V1", QVariant(), QVariant(), "ENTHAB");
    Sim("2026-03-01 08:31", "V1", 5, 1, "ENTHAB");
    dm->StoreVirtualRegistrations(Tr("V1"));
    EXPECT_EQ(db->Rows("SELECT FechaHora, NroLlave, IdIngresante FROM REGISTRA ORDER BY Id"),
              QList<QStringList>(
                  {{"2026-03-01 08:30:00.000", "", ""}, {"2026-03-01 08:31:00.000", "5", "1"}}));
}

// SQLite keeps whatever text another program wrote.
class VirtualLooseTypes : public Virtual {};
KELVOR_ON_SQLITE(VirtualLooseTypes);

// The unreadable row stays in REGSIM and is reported by table and value; the
// good one is stored all the same.
TEST_P(VirtualLooseTypes, ABadDateIsSetAsideAndReportedByTableAndValue) {
    Counter("1");
    Sim("2026-03-01 08:30:00.000", "V1", 5, 1, "ENTHAB");
    Sim("ayer", "V1", 6, 1, "ENTHAB");
    try {
        dm->StoreVirtualRegistrations(Tr("V1"));
        FAIL() << "a date \"ayer\" went unreported";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains("REGSIM")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("ayer"));
    }
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGSIM"), "1");
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM REGSIM"), "6");
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "1");
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM REGISTRA"), "5");
}

TEST_P(Virtual, VisitsAndKeyReturnOnACtrlActivoReader) {
    Counter("1");
    Holder(8, "VISITA", 200);
    Enrol("A1", 8);
    Sim("2026-03-01 08:30:00.000", "V1", 200, 8, "ENTHAB");
    Sim("2026-03-01 09:30:00.000", "V2", 200, 8, "SALHAB");
    dm->StoreVirtualRegistrations(Tr("V1", true));
    EXPECT_EQ(Visits(), QList<QStringList>({{"2026-03-01 08:30:00.000", "V1", "200", "8", "F",
                                             "ENTHAB", "F", "2026-03-01 09:30:00.000", "V2"}}));
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM INGRESAN WHERE Id = 8"), "");
    EXPECT_EQ(db->Scalar("SELECT Devolucion FROM LLAVE WHERE NroLlave = 200"),
              "2026-12-09 14:05:00.000");
    EXPECT_EQ(Commands(), QList<QStringList>({{"1", "A1", "BAJA", "00200"}}));
}

// Rows that appear while the pass runs are not deleted with the copied ones.
TEST_P(Virtual, RowsAddedMeanwhileSurvive) {
    Counter("1");
    Sim("2026-03-01 08:30:00.000", "V1", 5, 1, "ENTHAB");
    dm->SetAfterVirtualCopyHook([this] {
        QSqlQuery q(QSqlDatabase::database("LocalAgKelvor", false));
        EXPECT_TRUE(
            q.exec("INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, CodEstado) "
                   "VALUES ('2026-03-01 08:45:00.000', 'V1', 6, 'ENTHAB')"));
    });
    dm->StoreVirtualRegistrations(Tr("V1"));
    EXPECT_EQ(db->Rows("SELECT NroLlave FROM REGSIM"), QList<QStringList>({{"6"}}));
    EXPECT_EQ(db->Rows("SELECT NroLlave FROM REGISTRA"), QList<QStringList>({{"5"}}));

    dm->SetAfterVirtualCopyHook({});
    dm->StoreVirtualRegistrations(Tr("V1"));
    EXPECT_EQ(db->Rows("SELECT NroLlave FROM REGISTRA ORDER BY Id"),
              QList<QStringList>({{"5"}, {"6"}}));
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGSIM"), "0");
}

// The same through another session, where writers do not wait for the pass
// (on SQLite another program's insert waits until the pass has committed).
class VirtualConcurrent : public Virtual {};
KELVOR_ON_POSTGRESQL(VirtualConcurrent);

TEST_P(VirtualConcurrent, RowsAnotherProgramAddsMeanwhileSurvive) {
    Counter("1");
    Sim("2026-03-01 08:30:00.000", "V1", 5, 1, "ENTHAB");
    dm->SetAfterVirtualCopyHook([this] { Sim("2026-03-01 08:45:00.000", "V1", 6, 1, "ENTHAB"); });
    dm->StoreVirtualRegistrations(Tr("V1"));
    EXPECT_EQ(db->Rows("SELECT NroLlave FROM REGSIM"), QList<QStringList>({{"6"}}));
}

TEST_P(Virtual, AFailurePartWayLeavesEveryRow) {
    Counter("1");
    db->Exec("INSERT INTO REGISTRA (Id) VALUES (2)");
    Sim("2026-03-01 08:30:00.000", "V1", 5, 1, "ENTHAB");
    Sim("2026-03-01 08:31:00.000", "V1", 6, 1, "ENTHAB");
    EXPECT_THROW(dm->StoreVirtualRegistrations(Tr("V1", true)), EDatabaseError);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGSIM"), "2");
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "1");
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM VISACT"), "0");
}
