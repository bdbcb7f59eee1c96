// The database tool, run as a program on a new database of each engine.

#include "db/TDM.h"
#include "shell/RegistryFile.h"
#include "tests/db/TestDatabase.h"

class Tool : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        const QString reason = TestDatabase::SkipReason(GetParam());
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        db = std::make_unique<TestDatabase>(GetParam(), true, false);
        RegistryFile::SetProcessPath(db->RegistryPath());
    }
    void TearDown() override { db.reset(); }
    KelvordbOutcome Run(QStringList args) {
        return RunKelvordb(QStringList{"--registry", db->RegistryPath()} + args);
    }

    std::unique_ptr<TestDatabase> db;
};
INSTANTIATE_TEST_SUITE_P(Engines, Tool, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         BackendName);

TEST_P(Tool, InitThenSeedDemoGiveAWorkingStation) {
    KelvordbOutcome o = Run({"init"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    o = Run({"init"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.contains("ya tiene tablas")) << o.err.toStdString();
    EXPECT_EQ(o.err.count('\n'), 1) << o.err.toStdString();

    o = Run({"seed-demo", "--port", "/tmp/ttyKELVOR"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(Run({"seed-demo"}).status, 1);  // refuses to load twice

    // What the agent will find.
    TDM dm;
    dm.SetCommandPause(std::chrono::milliseconds(0));
    const QList<TDM::ReaderRow> readers = dm.QueryReaders(1);
    QStringList ids;
    for (const auto& r : readers) {
        ids << r.Id.value_or("?");
        EXPECT_EQ(r.Puerto, "/tmp/ttyKELVOR");
        EXPECT_EQ(r.Velocidad, 9600);
    }
    ids.sort();
    EXPECT_EQ(ids, QStringList({"A1", "B1"}));
    QString tipo;
    EXPECT_GT(dm.FindKeyHolder(123, tipo), 0);
    EXPECT_EQ(tipo, "EMPLEADO");
    EXPECT_GT(dm.FindKeyHolder(200, tipo), 0);
    EXPECT_EQ(tipo, "VISITA");
    EXPECT_TRUE(dm.IsAdministrator("admin"));
    EXPECT_EQ(dm.GetNewId("FICHADAS"), 1);
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM Zonas"), "2");
    EXPECT_EQ(db->Scalar("SELECT COUNT(DISTINCT Tipo) FROM Zonas"), "2");
}

TEST_P(Tool, ShowsRegistrationsAndCommandsAndQueuesOne) {
    ASSERT_EQ(Run({"init"}).status, 0);
    ASSERT_EQ(Run({"seed-demo"}).status, 0);
    {
        TDM dm(FixedClock(QDateTime(QDate(2026, 3, 1), QTime(8, 30))));
        dm.SetCommandPause(std::chrono::milliseconds(0));
        TTR a;
        a.Id = "A1";
        TListaFichadas list;
        list.Add(TFichada(123, QDateTime(QDate(2026, 3, 1), QTime(8, 0)), "11"));
        list.Add(TFichada(124, QDateTime(QDate(2026, 3, 1), QTime(8, 1)), "21"));
        dm.StoreRegistrations(a, list);
        dm.QueueClockSync(a);
    }
    KelvordbOutcome o = Run({"registraciones"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    QStringList lines = o.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << o.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("Id  FechaHora            IdRegistrador"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[2].startsWith("1   2026-03-01 08:00:00  A1             123"))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains("ENTHAB"));
    EXPECT_TRUE(lines[3].contains("SALHAB"));
    EXPECT_EQ(lines[4], "(2 filas)");
    // Columns line up: every cell starts where its header does.
    EXPECT_EQ(lines[2].indexOf("ENTHAB"), lines[0].indexOf("CodEstado"));

    o = Run({"registraciones", "--last", "1"});
    lines = o.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << o.out.toStdString();
    EXPECT_TRUE(lines[2].startsWith("2 ")) << lines[2].toStdString();

    o = Run({"encolar", "1", "B1", "ALTA", "0012310"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    o = Run({"comandos"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    lines = o.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5) << o.out.toStdString();
    EXPECT_TRUE(lines[2].contains("A1             SINCRO      126030110830"))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[3].contains("B1             ALTA        0012310")) << lines[3].toStdString();
    EXPECT_EQ(db->Scalar("SELECT Texto FROM COMANDO WHERE CodComando = 'ALTA'"), "0012310");
}

TEST_P(Tool, ClearErrors) {
    // No tables yet.
    if (GetParam() == Backend::SQLite) {
        KelvordbOutcome o = Run({"comandos"});
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(o.err.contains(db->SqliteFile())) << o.err.toStdString();
        ASSERT_EQ(Run({"init"}).status, 0);
    } else {
        ASSERT_EQ(Run({"init"}).status, 0);
    }
    db->Exec("DROP TABLE COMANDO");
    KelvordbOutcome o = Run({"comandos"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.contains("COMANDO")) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains("kelvordb upgrade"));  // init refuses beside other tables
    EXPECT_EQ(o.err.count('\n'), 1);

    o = Run({"encolar", "uno", "A1", "BAJA"});
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(o.err.contains("\"uno\"")) << o.err.toStdString();
    EXPECT_EQ(Run({"borrar-todo"}).status, 2);

    o = RunKelvordb({"--registry", db->Scratch().File("none.reg"), "comandos"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.contains("none.reg")) << o.err.toStdString();
    EXPECT_EQ(o.err.count('\n'), 1);
}

TEST(ToolServer, UnreachableServerIsOneLine) {
    ScratchDir dir;
    RegistryFile reg(dir.File("registry.reg"));
    ASSERT_TRUE(
        reg.Write(RegistryKeys::kAlias,
                  {RegistryValue::Str("Driver", "QPSQL"), RegistryValue::Str("Database", "kelvor"),
                   RegistryValue::Str("Host", "127.0.0.1"), RegistryValue::Str("Port", "1")}));
    const KelvordbOutcome o = RunKelvordb({"--registry", reg.Path(), "init"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.startsWith("kelvordb: No se pudo abrir la base de datos 127.0.0.1:1/kelvor"))
        << o.err.toStdString();
    EXPECT_EQ(o.err.count('\n'), 1);
}

// A database made before the agent kept its own tables: upgrade adds them,
// keeps every row, and says when there is nothing to do.
TEST_P(Tool, UpgradeAddsTheAgentsMissingTables) {
    ASSERT_EQ(Run({"init"}).status, 0);
    db->Exec("DROP TABLE AGPENDIENTE");
    db->Exec("DROP TABLE AGESTADO");
    db->Exec("INSERT INTO REGISTRA (Id, NroLlave) VALUES (1, 123)");
    // Without the state's tables estado says what to run.
    KelvordbOutcome o = Run({"estado"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.contains("La tabla AGESTADO no existe") && o.err.contains("kelvordb upgrade"))
        << o.err.toStdString();
    o = Run({"upgrade"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains("AGPENDIENTE, AGESTADO")) << o.out.toStdString();
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM AGPENDIENTE"), "0");
    // No station has written yet: nothing known is not a green check.
    o = Run({"estado"});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.out.contains("Ninguna estación escribió su estado")) << o.out.toStdString();
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM REGISTRA"), "123");
    o = Run({"upgrade"});
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.out.contains("al día")) << o.out.toStdString();
    EXPECT_EQ(Run({"upgrade", "x"}).status, 2);

    // A table of the installation missing beside the others (a front end's
    // database) is what upgrade adds too; the rows of the others stay.
    db->Exec("DROP TABLE REGSIM");
    db->Exec("DROP TABLE Zonas");
    o = Run({"upgrade"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains("REGSIM, Zonas")) << o.out.toStdString();
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM Zonas"), "0");
    EXPECT_EQ(db->Scalar("SELECT NroLlave FROM REGISTRA"), "123");
}

// A front end's COMANDO without the index of the command pass's order: upgrade
// adds it once; the agent itself adds none.
TEST_P(Tool, UpgradeAddsTheCommandOrderIndex) {
    ASSERT_EQ(Run({"init"}).status, 0);
    db->Exec("DROP INDEX COMANDO_Orden");
    KelvordbOutcome o = Run({"upgrade"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.out.contains("COMANDO_Orden")) << o.out.toStdString();
    const QString count =
        GetParam() == Backend::SQLite
            ? "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = 'COMANDO_Orden'"
            : "SELECT COUNT(*) FROM pg_indexes WHERE indexname = 'comando_orden'";
    EXPECT_EQ(db->Scalar(count), "1");
    o = Run({"upgrade"});
    EXPECT_TRUE(o.out.contains("al día")) << o.out.toStdString();
}
