// The agent on a database that an installation's front end made
// (tests/db/frontend/*.sql: the front end's case, types and columns, no table
// of the agent's), on SQLite, on PostgreSQL and on PostgreSQL with the tables
// in a schema "kelvor" named by the alias value "Schema"; held locks; a
// SQLite file held open by another program.

#include <unistd.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

#include "db/TCommandTable.h"
#include "db/TDM.h"
#include "db/TSchema.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "tests/db/TestDatabase.h"

namespace {

struct Site {
    Backend backend;
    bool kelvorSchema;
};

std::string SiteName(const testing::TestParamInfo<Site>& info) {
    if (info.param.backend == Backend::SQLite)
        return "SQLite";
    return info.param.kelvorSchema ? "PostgreSQLSchemaKelvor" : "PostgreSQL";
}

QStringList Kelvordb(const QString& registry, const QStringList& args) {
    QProcess p;
    p.start(KELVOR_DB_TOOL, QStringList{"--registry", registry} + args);
    if (!p.waitForFinished(60000))
        return {"timeout"};
    return {QString::number(p.exitCode()), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QByteArray Raw(int n) {
    return QByteArray("x110301083") + QByteArray::number(10000 + n) + "xZ!";
}

}  // namespace

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class FrontEnd : public ::testing::TestWithParam<Site> {
protected:
    void SetUp() override {
        const QString reason = TestDatabase::SkipReason(GetParam().backend);
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        db = std::make_unique<TestDatabase>(GetParam().backend, true, false);
        RegistryFile::SetProcessPath(db->RegistryPath());
        if (GetParam().kelvorSchema) {
            Exec("CREATE SCHEMA kelvor");
            Alias({RegistryValue::Str("Schema", "kelvor")});
        }
        QFile script(QStringLiteral(KELVOR_FRONTEND_DIR "/frontend-%1.sql")
                         .arg(GetParam().backend == Backend::SQLite ? "sqlite" : "pg"));
        ASSERT_TRUE(script.open(QIODevice::ReadOnly));
        QString text;
        for (const QString& line : QString::fromUtf8(script.readAll()).split('\n')) {
            if (!line.startsWith("--"))
                text += line + '\n';
        }
        for (const QString& s : text.split(';')) {
            if (!s.trimmed().isEmpty())
                Exec(s);
        }
        Exec("INSERT INTO codigo (tipo, codigo, descripcion) VALUES ('ID', 'FICHADAS', '100')");
    }
    void TearDown() override {
        dm.reset();
        if (!db)
            return;  // skipped before the database was made
        Own().close();
        QSqlDatabase::removeDatabase("frontend-setup");
        db.reset();
        if (!role.isEmpty()) {
            {
                QSqlQuery q(TestDatabase::Maintenance("frontend-maintenance"));
                EXPECT_TRUE(q.exec("DROP ROLE " + role)) << q.lastError().text().toStdString();
            }
            QSqlDatabase::removeDatabase("frontend-maintenance");
        }
    }

    // Adds values to the alias; the next TDM (and Setup) read them.
    void Alias(const QList<RegistryValue>& values) {
        Own().close();
        QSqlDatabase::removeDatabase("frontend-setup");
        ASSERT_TRUE(RegistryFile(db->RegistryPath()).Write(RegistryKeys::kAlias, values));
    }
    // The front end's own session, as the alias says.
    QSqlDatabase Own() {
        if (QSqlDatabase::contains("frontend-setup"))
            return QSqlDatabase::database("frontend-setup", false);
        return TAlias::Load(RegistryFile(db->RegistryPath())).Connect("frontend-setup", 5000, true);
    }
    void Exec(const QString& sql) {
        QSqlQuery q(Own());
        EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    }
    QString Scalar(const QString& sql) {
        QSqlQuery q(Own());
        EXPECT_TRUE(q.exec(sql) && q.next())
            << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return q.value(0).toString();
    }
    void MakeDm() {
        dm = std::make_unique<TDM>([] { return QDateTime(QDate(2026, 12, 9), QTime(14, 5)); });
        dm->SetCommandPause(std::chrono::milliseconds(0));
    }
    // A pass of `n` records, one entry each (keys 500, 501, ...).
    qsizetype Store(int n) {
        TListaFichadas list;
        QList<QByteArray> records;
        for (int i = 0; i < n; ++i) {
            list.Add(TFichada(500 + i, QDateTime(QDate(2026, 3, 1), QTime(8, i)), "11"), i);
            records << Raw(i);
        }
        TTR reader;
        reader.Id = "A1";
        return dm->StoreRegistrations(reader, list, records);
    }

    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<TDM> dm;
    QString role;
};

const Site kSqlite{Backend::SQLite, false}, kPg{Backend::PostgreSQL, false},
    kPgKelvor{Backend::PostgreSQL, true};
INSTANTIATE_TEST_SUITE_P(Sites, FrontEnd, ::testing::Values(kSqlite, kPg, kPgKelvor), SiteName);

// The first pass stores, the erase clears the note, the agent's table is made
// where the engine looks first; kelvordb finds the same tables.
TEST_P(FrontEnd, TheFirstPassStoresAndTheAgentMakesItsTable) {
    MakeDm();
    EXPECT_EQ(Store(3), 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra WHERE idregistrador = 'A1'"), "3");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM AgPendiente"), "1");
    dm->ClearPending("A1");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM AgPendiente"), "0");
    EXPECT_TRUE(dm->TakeNotices().isEmpty());
    if (GetParam().kelvorSchema) {
        EXPECT_EQ(Scalar("SELECT to_regclass('kelvor.agpendiente') IS NOT NULL"), "true");
    }

    // The front end's COMANDO lacks the index of the command pass's order:
    // upgrade adds it (and nothing else), then has nothing to do.
    QStringList o = Kelvordb(db->RegistryPath(), {"upgrade"});
    EXPECT_EQ(o.value(0), "0") << o.join('|').toStdString();
    EXPECT_TRUE(o.value(1).contains("COMANDO_Orden")) << o.join('|').toStdString();
    EXPECT_FALSE(o.value(1).contains("Tablas")) << o.join('|').toStdString();
    o = Kelvordb(db->RegistryPath(), {"upgrade"});
    EXPECT_TRUE(o.value(1).contains("ya está al día")) << o.join('|').toStdString();
    o = Kelvordb(db->RegistryPath(), {"registraciones"});
    EXPECT_EQ(o.value(0), "0") << o.join('|').toStdString();
    EXPECT_TRUE(o.value(1).contains("502")) << o.join('|').toStdString();
    dm.reset();
    Exec("DROP TABLE agpendiente");
    o = Kelvordb(db->RegistryPath(), {"upgrade"});
    EXPECT_TRUE(o.value(1).contains("AGPENDIENTE")) << o.join('|').toStdString();
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM AgPendiente"), "0");
}

// The station's state on the front end's database: the agent makes its two
// tables, each write replaces the rows before it (a reader gone from the
// station loses its row), and kelvordb estado reads them as the engine
// folds them, in text and as metrics.
TEST_P(FrontEnd, TheStationsStateIsWrittenOverAndShown) {
    MakeDm();
    const TDM::AgentState none{};
    EXPECT_FALSE(dm->WriteStationState(none, {}));  // opens no connection for itself
    dm->Open();
    const QDateTime now = QDateTime::currentDateTime();
    TDM::AgentState agent{3, "pc-porton", "07.30.0400", 4242, 7, now, 1, 2};
    const TDM::ReaderState a1{"A1", false, true, now, now, "OK", -2, 5, 1, 0};
    TDM::ReaderState b1{"B1", false, false, {}, now, "Se supero la cantidad maxima", {}, 0, 0, 0};
    ASSERT_TRUE(dm->WriteStationState(agent, {a1, b1}));
    EXPECT_TRUE(dm->TakeNotices().isEmpty());

    struct Case {
        QStringList args;
        int code;
        QString shows;
    };
    auto check = [&](const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            const QStringList o = Kelvordb(db->RegistryPath(), QStringList{"estado"} + c.args);
            EXPECT_EQ(o.value(0), QString::number(c.code)) << c.args.join(' ').toStdString() << "|"
                                                           << o.join('|').toStdString();
            EXPECT_TRUE(o.value(1).contains(c.shows) || o.value(2).contains(c.shows))
                << c.args.join(' ').toStdString() << ": " << o.join('|').toStdString();
        }
    };
    check({{{}, 1, "Estación 3: agente en pc-porton (proceso 4242, versión 07.30.0400)"},
           {{}, 1, "3         B1           no responde"},
           {{}, 1, "3         A1           responde     hace "},
           {{"--estacion", "4"}, 1, "La estación 4 no escribió su estado"},
           {{"--sin-noticias", "0"}, 2, "--sin-noticias debe ser un número"},
           {{"--estacion"}, 2, "--estacion necesita un valor"},
           {{"--prometheus"}, 0, "kelvor_up{station=\"3\",reader=\"B1\"} 0\n"},
           {{"--prometheus"}, 0, "kelvor_clock_offset_seconds{station=\"3\",reader=\"A1\"} -120\n"},
           {{"--prometheus"}, 0, "kelvor_stored_total{station=\"3\",reader=\"A1\"} 5\n"}});

    // Every reader answers: written over, not added to.
    b1.answered = true;
    b1.lastContact = now;
    agent.ciclo = 8;
    ASSERT_TRUE(dm->WriteStationState(agent, {a1, b1}));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM agestado"), "2");
    EXPECT_EQ(Scalar("SELECT ciclo FROM agestacion WHERE idestacion = 3"), "8");
    check({{{}, 0, "Todos los registradores respondieron"},
           {{"--prometheus"}, 0, "kelvor_up{station=\"3\",reader=\"B1\"} 1\n"}});

    // B1 left the station; the agent's last word is ten minutes old.
    agent.finCiclo = now.addSecs(-600);
    ASSERT_TRUE(dm->WriteStationState(agent, {a1}));
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM agestado"), "1");
    check({{{}, 1, "3         A1           sin noticias  hace 10 min"},
           {{"--sin-noticias", "3600"}, 0, "última noticia hace 10 min"},
           {{"--prometheus"}, 0, "kelvor_agent_news{station=\"3\"} 0\n"}});

    // The text format: each family's HELP and TYPE once, before its samples,
    // and every sample a metric, its labels and a number.
    const QStringList o = Kelvordb(db->RegistryPath(), {"estado", "--prometheus"});
    const QRegularExpression sample(
        R"(^(kelvor_[a-z_]+)\{station="\d+"(,reader="[^"]*")?\} -?[0-9][0-9.e+]*$)");
    QStringList families;
    for (const QString& line : o.value(1).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# HELP ")) {
            families << line.section(' ', 2, 2);
            continue;
        }
        if (line.startsWith("# TYPE ")) {
            EXPECT_EQ(line.section(' ', 2, 2), families.last());
            EXPECT_TRUE(line.endsWith(" gauge") || line.endsWith(" counter")) << line.toStdString();
            continue;
        }
        const QRegularExpressionMatch m = sample.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        EXPECT_EQ(m.captured(1), families.last()) << line.toStdString();
    }
    EXPECT_EQ(families.size(), 8);
    EXPECT_EQ(families.removeDuplicates(), 0);
}

// The front end changes its tables while the agent runs (a new version adds a
// column with a default, or rebuilds an index): the agent's statements, kept
// prepared from the pass before, store the next pass into the changed table.
// The command pass's part of the front end's Comando (no index of the
// pass's order, an extra column, a timestamp without fractions).
TEST_P(FrontEnd, TheCommandPassReadsItsPartOfTheFrontEndsQueue) {
    for (const char* row : {"(0, 'Z1', 'BAJA', '1', '2026-03-01 07:00:00', 'ana')",
                            "(1, 'A1', 'ALTA', '0012311', '2026-03-01 08:00:00', 'ana')",
                            "(1, 'A1', 'BAJA', '123', '2026-03-01 07:30:00', 'ana')",
                            "(2, 'C1', 'RESET', '', '2026-03-01 06:00:00', 'ana')",
                            "(100, 'A1', 'SINCRO', '', '2026-03-01 05:00:00', 'ana')"})
        Exec(QString("INSERT INTO comando (idestacion, idregistrador, codcomando, texto, fechahora, "
                     "usuario) VALUES ") +
             row);
    MakeDm();
    std::unique_ptr<TCommandTable> t = dm->OpenCommands(1, 3, 3);
    EXPECT_EQ(t->RecordCount(), 3);
    QStringList walk;
    for (; !t->Eof(); t->Next()) walk << QString("%1:%2").arg(t->IdEstacion()).arg(t->CodComando());
    EXPECT_EQ(walk, QStringList({"1:BAJA", "1:ALTA", "2:RESET"}));
}

TEST_P(FrontEnd, ATableChangedBetweenPassesTakesTheNextPass) {
    MakeDm();
    EXPECT_EQ(Store(2), 0);
    dm->ClearPending("A1");
    Exec("ALTER TABLE registra ADD COLUMN origen VARCHAR(10) DEFAULT 'lector'");
    Exec("CREATE INDEX registra_llave ON registra (nrollave)");
    EXPECT_EQ(Store(3), 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra WHERE origen = 'lector'"), "5");
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT id) FROM registra"), "5");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM regexp"), "5");
}

// A row the front end wrote holds an id the pass draws: the pass fails as a
// whole (on PostgreSQL its inserts travel together and the server fails the
// transaction at the duplicate), with the table and the engine's words, and
// nothing of it is stored; the next pass starts past the used ids and stores
// every registration once.
TEST_P(FrontEnd, APassFailingPartWayOnTheFrontEndsRowStoresNothing) {
    Exec("INSERT INTO registra (id, idregistrador, nrollave, codestado) VALUES (102, 'Z9', 1, "
         "'X')");
    MakeDm();
    try {
        Store(5);
        FAIL() << "a duplicate id went unnoticed";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains("(REGISTRA)")) << e.Message().toStdString();
        if (GetParam().backend == Backend::PostgreSQL) {
            EXPECT_TRUE(e.Message().contains("(23505)")) << e.Message().toStdString();
        }
    }
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra"), "1");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM regexp"), "0");
    EXPECT_EQ(Store(5), 0);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra WHERE idregistrador = 'A1' AND id > 102"),
              "5");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM regexp"), "5");
}

// "First" holder means the lowest Id on both engines; a return is stamped
// when the front end keeps microseconds in both dates.
TEST_P(FrontEnd, KeyHolderAndReturnAsTheFrontEndWritesThem) {
    const QString at = "2026-03-01 08:00:00.123456";
    for (int id : {7, 3}) {
        Exec(QString("INSERT INTO ingresan (id, tipo, nrollave, ultimaasignacion) VALUES (%1, "
                     "'EMPLEADO', 55, '%2')")
                 .arg(id)
                 .arg(at));
    }
    Exec("INSERT INTO llave (nrollave, fechaasignacion, idingresante) VALUES (55, '" + at +
         "', 3)");
    MakeDm();
    QString tipo;
    EXPECT_EQ(dm->FindKeyHolder(55, tipo), 3);
    dm->ReturnKey(3);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM llave WHERE devolucion IS NOT NULL"), "1");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM ingresan WHERE nrollave IS NULL"), "1");

    if (GetParam().backend == Backend::SQLite) {
        // A date the agent cannot read is an error naming where it is.
        Exec("UPDATE ingresan SET ultimaasignacion = 'mañana' WHERE id = 7");
        try {
            dm->ReturnKey(7);
            ADD_FAILURE() << "returned with an unreadable date";
        } catch (const Exception& e) {
            EXPECT_TRUE(e.Message().contains("INGRESAN.UltimaAsignacion"))
                << e.Message().toStdString();
            EXPECT_TRUE(e.Message().contains("mañana")) << e.Message().toStdString();
        }
        EXPECT_EQ(Scalar("SELECT nrollave FROM ingresan WHERE id = 7"), "55");
    }
}

class FrontEndPg : public FrontEnd {};
INSTANTIATE_TEST_SUITE_P(Sites, FrontEndPg, ::testing::Values(kPg, kPgKelvor), SiteName);

// A role that may write the front end's tables but not make tables: every
// registration is stored, without the note, and that is said once a run.
TEST_P(FrontEndPg, WhereTheTableMayNotBeMadeItStoresAndSaysSoOnce) {
    role = QString("kelvor_agent_%1").arg(::getpid());
    const QString schema = GetParam().kelvorSchema ? "kelvor" : "public";
    Exec("CREATE ROLE " + role + " LOGIN");
    Exec("REVOKE CREATE ON SCHEMA " + schema + " FROM PUBLIC");
    Exec("GRANT USAGE ON SCHEMA " + schema + " TO " + role);
    Exec("GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA " + schema + " TO " + role);
    Exec("GRANT USAGE ON ALL SEQUENCES IN SCHEMA " + schema + " TO " + role);
    Alias({RegistryValue::Str("User", role)});
    MakeDm();
    EXPECT_EQ(Store(2), 0);
    EXPECT_FALSE(dm->PendingNoteOn());
    EXPECT_FALSE(dm->StateTablesOn());
    // One notice for the note, one for the station's state.
    QStringList notices = dm->TakeNotices();
    ASSERT_EQ(notices.size(), 2) << notices.join('|').toStdString();
    EXPECT_EQ(notices.filter("AGPENDIENTE").size(), 1) << notices.join('|').toStdString();
    EXPECT_EQ(notices.filter("AGESTACION y AGESTADO").size(), 1) << notices.join('|').toStdString();
    for (const QString& n : notices)
        EXPECT_TRUE(n.contains("kelvordb upgrade")) << n.toStdString();
    // The state is not written, and that is no error for the caller.
    TDM::AgentState agent;
    agent.estacion = 1;
    EXPECT_FALSE(dm->WriteStationState(agent, {}));
    dm->ClearPending("A1");
    dm->CloseThreadConnection();  // checked again at the reconnection, said once
    EXPECT_EQ(Store(2), 0);
    EXPECT_TRUE(dm->TakeNotices().isEmpty());
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra"), "4");
    EXPECT_EQ(Scalar("SELECT to_regclass('agpendiente') IS NULL"), "true");
    EXPECT_EQ(Scalar("SELECT to_regclass('agestado') IS NULL"), "true");
}

// Another session holds the id counter row, then a COMANDO row, past the
// lock time-out: the step ends with a database error and nothing is half
// stored; after the release the pass stores each registration once.
TEST_P(FrontEndPg, ALockHeldPastTheTimeOutEndsTheStepWithAnError) {
    Exec(
        "INSERT INTO comando (idestacion, idregistrador, codcomando, texto) VALUES (1, 'A1', "
        "'ALTA', '00123')");
    Alias({RegistryValue::Str("LockTimeout", "1")});
    MakeDm();
    dm->Open();
    Exec("BEGIN");
    Exec("SELECT * FROM codigo FOR UPDATE");
    EXPECT_THROW(Store(3), EDatabaseError);
    Exec("ROLLBACK");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra"), "0");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM agpendiente"), "0");

    Exec("BEGIN");
    Exec("UPDATE comando SET texto = texto");
    {
        std::unique_ptr<TCommandTable> commands = dm->OpenCommands();
        ASSERT_FALSE(commands->Eof());
        EXPECT_THROW(commands->Delete(), EDatabaseError);
    }
    Exec("ROLLBACK");
    std::unique_ptr<TCommandTable> commands = dm->OpenCommands();
    commands->Delete();
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM comando"), "0");

    EXPECT_EQ(Store(3), 0);
    EXPECT_EQ(Scalar("SELECT COUNT(DISTINCT nrollave) FROM registra"), "3");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra"), "3");
}

class FrontEndSqlite : public FrontEnd {};
INSTANTIATE_TEST_SUITE_P(Sites, FrontEndSqlite, ::testing::Values(kSqlite), SiteName);

// Another program reading the file in a transaction: the agent connects in
// the file's own journal mode and switches to WAL at a later connection.
TEST_P(FrontEndSqlite, AReadTransactionOfAnotherProgramDoesNotRefuseTheConnection) {
    Exec("PRAGMA journal_mode=DELETE");  // the set-up connection is the agent's kind
    Exec("BEGIN");
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM registra"), "0");
    MakeDm();
    dm->SetBusyTimeout(100);
    EXPECT_NO_THROW(dm->Open());
    Exec("COMMIT");
    // The file's header says the mode (byte 18: 1 rollback journal, 2 WAL).
    auto mode = [&] {
        QFile f(db->SqliteFile());
        return f.open(QIODevice::ReadOnly) ? int(f.read(20).at(18)) : 0;
    };
    EXPECT_EQ(mode(), 1);
    dm->CloseThreadConnection();
    EXPECT_EQ(Store(2), 0);
    EXPECT_EQ(mode(), 2);
    EXPECT_EQ(Scalar("SELECT COUNT(*) FROM agpendiente"), "1");
}
