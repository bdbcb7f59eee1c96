// The id counter: the values it hands out, its failures, and that two
// processes drawing at once never get the same id.

#include <QProcess>
#include <QSet>

#include "shell/Errors.h"
#include "tests/db/DbTest.h"

class Ids : public DbTest {
protected:
    QString CounterValue() const {
        return db->Scalar(
            "SELECT DESCRIPCION FROM CODIGO WHERE TIPO = 'ID' AND CODIGO = 'FICHADAS'");
    }
};
KELVOR_ON_BOTH_ENGINES(Ids);

TEST_P(Ids, HandsOutTheValueFoundAndAdvancesIt) {
    Counter("41");
    EXPECT_EQ(dm->GetNewId("FICHADAS"), 41);
    EXPECT_EQ(CounterValue(), "42");
    EXPECT_EQ(dm->GetNewId("FICHADAS"), 42);
    EXPECT_EQ(CounterValue(), "43");
}

TEST_P(Ids, ZeroIsHandedOutAsNoIdAndAdvancedAllTheSame) {
    Counter("0");
    EXPECT_EQ(dm->GetNewId("FICHADAS"), 0);
    EXPECT_EQ(CounterValue(), "1");
}

TEST_P(Ids, OnlyTheNamedIdCounterCounts) {
    db->Exec("INSERT INTO CODIGO (TIPO, CODIGO, DESCRIPCION) VALUES ('OTRO', 'FICHADAS', '500')");
    EXPECT_EQ(dm->GetNewId("FICHADAS"), 0);
    EXPECT_EQ(db->Scalar("SELECT DESCRIPCION FROM CODIGO WHERE TIPO = 'OTRO'"), "500");
}

TEST_P(Ids, WithoutACounterRowEveryStoringOperationFailsAndNothingChanges) {
    db->Exec("INSERT INTO CODIGO (TIPO, CODIGO, DESCRIPCION) VALUES ('ID', 'OTRA', '7')");
    db->Exec(
        "INSERT INTO REGSIM (FechaHora, IdRegistrador, NroLlave, IdIngresante, Responsable, "
        "CodEstado) VALUES ('2026-03-01 08:30:00.000', 'V1', 5, 1, 'Simulador', 'ENTHAB')");
    EXPECT_EQ(dm->GetNewId("FICHADAS"), 0);
    TListaFichadas list;
    list.Add(TFichada(123, now, "11"));
    const TTR a = Tr("A1");
    for (const auto& store : QList<std::function<void()>>{
             [&] { dm->StoreRegistrations(a, list); }, [&] { dm->StoreVirtualRegistrations(a); },
             [&] { dm->StoreOutOfHours(a); }, [&] { dm->StoreMemoryError(a); }}) {
        try {
            store();
            ADD_FAILURE() << "stored without an id";
        } catch (const EIdError& e) {
            EXPECT_EQ(e.Message(), "No pudo obtenerse el id");
        }
    }
    EXPECT_EQ(db->Rows("SELECT TIPO, CODIGO, DESCRIPCION FROM CODIGO"),
              QList<QStringList>({{"ID", "OTRA", "7"}}));
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "0");
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM RegExp"), "0");
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGSIM"), "1");
}

TEST_P(Ids, ACounterThatIsNoNumberIsAConversionErrorNamingTableAndValue) {
    Counter("4x1");
    try {
        dm->GetNewId("FICHADAS");
        FAIL() << "a counter of \"4x1\" gave an id";
    } catch (const EConvertError& e) {
        EXPECT_TRUE(e.Message().contains("CODIGO")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("4x1"));
        EXPECT_TRUE(e.Message().contains("FICHADAS"));
    }
    EXPECT_EQ(CounterValue(), "4x1");

    db->Exec("UPDATE CODIGO SET DESCRIPCION = NULL");
    EXPECT_THROW(dm->GetNewId("FICHADAS"), EConvertError);
    db->Exec("UPDATE CODIGO SET DESCRIPCION = '99999999999'");
    EXPECT_THROW(dm->GetNewId("FICHADAS"), EConvertError);
    db->Exec("UPDATE CODIGO SET DESCRIPCION = '2147483647'");
    EXPECT_THROW(dm->GetNewId("FICHADAS"), EDatabaseError);
    EXPECT_EQ(CounterValue(), "2147483647");
}

// A pass that fails on a counter of 0 still moves the counter on, as a single
// draw would: otherwise every later pass would draw the same 0.
TEST_P(Ids, AFailedPassOnAZeroCounterLetsTheNextPassStore) {
    Counter("0");
    TListaFichadas list;
    list.Add(TFichada(123, now, "11"));
    EXPECT_THROW(dm->StoreRegistrations(Tr("A1"), list), EIdError);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "0");
    EXPECT_EQ(CounterValue(), "1");
    dm->StoreRegistrations(Tr("A1"), list);
    EXPECT_EQ(db->Rows("SELECT Id FROM REGISTRA"), QList<QStringList>({{"1"}}));
    EXPECT_EQ(CounterValue(), "2");
}

// Two processes (stations) drawing from one counter at the same time.
TEST_P(Ids, TwoProcessesNeverDrawTheSameId) {
    Counter("1");
    const int perProcess = 150;
    QList<QProcess*> drawers;
    for (int i = 0; i < 2; ++i) {
        auto* p = new QProcess;
        p->setProgram(KELVOR_ID_DRAWER);
        p->setArguments({db->RegistryPath(), QString::number(perProcess)});
        drawers << p;
    }
    for (QProcess* p : drawers) p->start();
    QList<int> ids;
    for (QProcess* p : drawers) {
        ASSERT_TRUE(p->waitForFinished(60000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        for (const QByteArray& line : p->readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                ids << line.toInt();
        delete p;
    }
    ASSERT_EQ(ids.size(), 2 * perProcess);
    const QSet<int> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size()) << "an id was drawn twice";
    EXPECT_EQ(CounterValue(), QString::number(1 + 2 * perProcess));
}

// Two agents storing in passes and a third program drawing one id at a time
// by read-then-update, with nothing holding the row, all at once: the third
// program may move the counter back under the agents, whose passes then
// fail on a used id and heal; every registration is stored once, and no id
// serves two rows.
TEST_P(Ids, TwoAgentsAndAnUnlockedDrawerAtOnceNeverShareAnId) {
    Counter("1");
    const int perAgent = 120;
    QList<QProcess*> programs;
    for (const QStringList& mode : {QStringList{"--passes", "10"}, QStringList{"--passes", "10"},
                                    QStringList{"--unlocked"}}) {
        auto* p = new QProcess;
        p->setProgram(KELVOR_ID_DRAWER);
        p->setArguments(QStringList{db->RegistryPath(), QString::number(perAgent)} + mode);
        programs << p;
    }
    for (QProcess* p : programs) p->start();
    QList<QStringList> outputs;
    for (QProcess* p : programs) {
        ASSERT_TRUE(p->waitForFinished(90000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        outputs
            << QString::fromLocal8Bit(p->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        delete p;
    }
    for (int a = 0; a < 2; ++a) {
        ASSERT_EQ(outputs[a].size(), 1);
        for (const char* table : {"REGISTRA", "RegExp"})
            EXPECT_EQ(db->Scalar(QStringLiteral("SELECT COUNT(DISTINCT Id) FROM %1 WHERE "
                                                "IdRegistrador = ?")
                                     .arg(table),
                                 {outputs[a][0]}),
                      QString::number(perAgent))
                << table;
    }
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA WHERE IdRegistrador = 'OTRO'"),
              QString::number(outputs[2].size()));
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"),
              db->Scalar("SELECT COUNT(DISTINCT Id) FROM REGISTRA"));
    // The twins carry the ids of their REGISTRA rows, none another's.
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM RegExp x JOIN REGISTRA r ON r.Id = x.Id AND "
                         "r.IdRegistrador = x.IdRegistrador"),
              QString::number(2 * perAgent));
}

// A counter set back behind the ids in use: the pass that meets a used id
// fails and stores nothing, the next one draws past the used ids by itself.
TEST_P(Ids, ACounterSetBackHealsAndEveryRegistrationIsStoredOnce) {
    Counter("1");
    TListaFichadas first;
    for (int k = 1; k <= 5; ++k) first.Add(TFichada(k, now, "16"));
    dm->StoreRegistrations(Tr("A1"), first);
    db->Exec("UPDATE CODIGO SET DESCRIPCION = '2'");
    TListaFichadas second;
    second.Add(TFichada(6, now, "16"));
    second.Add(TFichada(7, now, "16"));
    EXPECT_THROW(dm->StoreRegistrations(Tr("A1"), second), EDatabaseError);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM REGISTRA"), "5");
    dm->StoreRegistrations(Tr("A1"), second);
    EXPECT_EQ(db->Rows("SELECT Id, NroLlave FROM REGISTRA WHERE NroLlave > 5 ORDER BY Id"),
              QList<QStringList>({{"6", "6"}, {"7", "7"}}));
    EXPECT_EQ(db->Scalar("SELECT COUNT(DISTINCT NroLlave) FROM RegExp"), "7");
    EXPECT_EQ(CounterValue(), "8");
}
