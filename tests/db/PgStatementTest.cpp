// PostgreSQL statements through libpq on Qt's connection (TPgStatement,
// TPgSession) on the throwaway server: kept statements prepared once and
// bound byte for byte, prepared anew on a reopened connection or a changed
// table, values read as Qt's driver reads them, and a transaction whose
// queued statements fail as a whole.

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "db/TStatementCache.h"
#include "db/TTransaction.h"
#include "shell/Errors.h"
#include "tests/db/DbTest.h"

namespace {

// A query on `db` through Qt's own driver; a failure fails the test.
QList<QStringList> QtRows(const QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    QList<QStringList> rows;
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < q.record().count(); ++i)
            row << (q.isNull(i) ? QStringLiteral("NULL") : q.value(i).toString());
        rows << row;
    }
    return rows;
}

}  // namespace

class PgStatements : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        if (IsSkipped())
            return;
        db->Exec(
            "CREATE TABLE Prueba (K INTEGER PRIMARY KEY, N BIGINT, T TEXT, B BOOLEAN, "
            "D TIMESTAMP, X BYTEA)");
        cache = std::make_unique<TStatementCache>(db->Check().connectionName());
    }
    void TearDown() override {
        cache.reset();
        DbTest::TearDown();
    }
    QSqlDatabase Conn() const { return db->Check(); }
    // Statements prepared on the server for `table`, with their texts.
    QList<QStringList> Prepared(const QString& like) const {
        return QtRows(Conn(),
                      "SELECT statement FROM pg_prepared_statements WHERE statement LIKE '" + like +
                          "' ORDER BY name");
    }
    void Insert(const QString& subject, int k, const QVariant& n = 1) {
        TStatementCache::Handle insert =
            cache->Get(QStringLiteral("INSERT INTO Prueba (K, N) VALUES (:K, :N)"), subject);
        insert->Bind("K", k);
        insert->Bind("N", n);
        insert->Exec();
    }

    std::unique_ptr<TStatementCache> cache;
    int depth = 0;
};
KELVOR_ON_POSTGRESQL(PgStatements);

// One kept statement run with each run's values: texts of any character
// (quotes, placeholders, non-ASCII, 200 000 characters), NULL after values,
// 64-bit extremes, bytes of every value in a bytea. It is prepared once, its
// text holds placeholders and never a value.
TEST_P(PgStatements, AKeptStatementBindsEachRunsValuesByteForByte) {
    const QString sql = "INSERT INTO Prueba (K, N, T, B, D, X) VALUES (:K, :N, :T, :B, :D, :X)";
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b) everyByte.append(char(b));
    const QString longText = QString("it's $1 :T ? \\x00 ").repeated(10000);
    const QDateTime at(QDate(2026, 3, 1), QTime(8, 30, 5, 250));
    struct Run {
        QVariant n, t, b, d, x;
        QStringList stored;  // N, T (or its length), B, D, X as hex
    };
    const QList<Run> runs = {
        {qlonglong(9223372036854775807LL),
         "ñandú € \"x\" '; DROP TABLE Prueba; --",
         true,
         at,
         everyByte,
         {"9223372036854775807", "ñandú € \"x\" '; DROP TABLE Prueba; --", "true",
          "2026-03-01T08:30:05.250", QString::fromLatin1(everyByte.toHex())}},
        {QVariant(),
         QVariant(),
         QVariant(),
         QVariant(),
         QVariant(),
         {"NULL", "NULL", "NULL", "NULL", "NULL"}},
        {qlonglong(-9223372036854775807LL - 1),
         longText,
         false,
         at.addDays(-1),
         QByteArray(""),
         {"-9223372036854775808", QString::number(longText.size()), "false",
          "2026-02-28T08:30:05.250", ""}},
        {0, "", true, at, QByteArray("\0", 1), {"0", "", "true", "2026-03-01T08:30:05.250", "00"}},
    };
    for (int k = 0; k < runs.size(); ++k) {
        TStatementCache::Handle insert = cache->Get(sql, "Prueba");
        insert->Bind("K", k);
        insert->Bind("N", runs[k].n);
        insert->Bind("T", runs[k].t);
        insert->Bind("B", runs[k].b);
        insert->Bind("D", runs[k].d);
        insert->Bind("X", runs[k].x);
        insert->Exec();
        EXPECT_EQ(insert->RowsAffected(), 1);
    }
    const QList<QStringList> rows = QtRows(
        Conn(),
        "SELECT N, CASE WHEN length(T) > 1000 THEN length(T)::text ELSE T END, B, "
        "to_char(D, 'YYYY-MM-DD\"T\"HH24:MI:SS.MS'), encode(X, 'hex') FROM Prueba ORDER BY K");
    ASSERT_EQ(rows.size(), runs.size());
    for (int k = 0; k < runs.size(); ++k) EXPECT_EQ(rows[k], runs[k].stored) << "run " << k;
    EXPECT_EQ(Prepared("INSERT INTO Prueba%"),
              QList<QStringList>({{"INSERT INTO Prueba (K, N, T, B, D, X) VALUES ($1, $2, $3, $4, "
                                   "$5, $6)"}}));
    // The values read back through the same kind of statement are the same.
    TStatementCache::Handle select = cache->Get("SELECT T, X FROM Prueba WHERE K = :K", "Prueba");
    select->Bind("K", 0);
    select->Exec();
    ASSERT_TRUE(select->Next());
    EXPECT_EQ(select->Str("t"), runs[0].t.toString());
    EXPECT_EQ(select->Value("X").toByteArray(), everyByte);
}

// A NUL cannot be stored in a PostgreSQL text; libpq would cut the value
// there. It is refused before anything is sent, naming the parameter.
TEST_P(PgStatements, ATextWithANulIsRefusedNamingItsParameter) {
    TStatementCache::Handle insert =
        cache->Get("INSERT INTO Prueba (K, T) VALUES (:K, :Texto)", "Prueba");
    insert->Bind("K", 1);
    try {
        insert->Bind("Texto", QString::fromLatin1("ab\0cd", 5));
        insert->Exec();
        FAIL() << "a NUL in a text went through";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.Message().contains("(Prueba)")) << e.Message().toStdString();
        EXPECT_TRUE(e.Message().contains("\"Texto\"")) << e.Message().toStdString();
    }
    EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM Prueba"), "0");
}

// Qt closes and opens the connection again (a recovery): the kept statement
// is prepared anew on the new server process and goes on storing.
TEST_P(PgStatements, AConnectionReopenedMidRunPreparesAgain) {
    Insert("Prueba", 1);
    const QString before = QtRows(Conn(), "SELECT pg_backend_pid()").value(0).value(0);
    {
        QSqlDatabase c = Conn();
        c.close();
        ASSERT_TRUE(c.open()) << c.lastError().text().toStdString();
    }
    EXPECT_NE(QtRows(Conn(), "SELECT pg_backend_pid()").value(0).value(0), before);
    EXPECT_TRUE(Prepared("INSERT INTO Prueba%").isEmpty());
    Insert("Prueba", 2);
    {
        TTransaction t(Conn(), TSqlDriver::PostgreSQL, depth, "Prueba", true);
        Insert("Prueba", 3);
        t.Commit();
    }
    EXPECT_EQ(Prepared("INSERT INTO Prueba%").size(), 1);
    EXPECT_EQ(db->Rows("SELECT K FROM Prueba ORDER BY K"),
              QList<QStringList>({{"1"}, {"2"}, {"3"}}));
}

// A front end adds a column to a table a kept SELECT * reads: the server
// refuses the old prepared form; it is prepared again and reads the column.
TEST_P(PgStatements, AKeptSelectFollowsATableTheFrontEndChanged) {
    Insert("Prueba", 1, 7);
    const QString sql = "SELECT * FROM Prueba WHERE K = :K";
    for (const bool changed : {false, true}) {
        if (changed)
            db->Exec("ALTER TABLE Prueba ADD COLUMN Origen TEXT DEFAULT 'lector'");
        TStatementCache::Handle select = cache->Get(sql, "Prueba");
        select->Bind("K", 1);
        select->Exec();
        ASSERT_TRUE(select->Next());
        EXPECT_EQ(select->IntOr0("N"), 7);
        if (changed) {
            EXPECT_EQ(select->Str("origen"), "lector");
        }
    }
}

// Inside a transaction the statements that return no rows are queued; one
// that fails fails the transaction as a whole, reported with its own subject
// and the server's SQLSTATE where the next result is waited for (the commit,
// or a statement whose rows are read). Nothing of it is stored, and the
// connection serves Qt's queries and the next transaction afterwards.
TEST_P(PgStatements, AnErrorInsideThePipelineFailsTheTransactionAsAWhole) {
    for (const bool atSelect : {false, true}) {
        SCOPED_TRACE(atSelect ? "reported by a read" : "reported by the commit");
        try {
            TTransaction t(Conn(), TSqlDriver::PostgreSQL, depth, "Pasada", true);
            Insert("Uno", 1);
            Insert("Dos", 1);  // the same key
            Insert("Tres", 3);
            if (atSelect) {
                TStatementCache::Handle count =
                    cache->Get("SELECT COUNT(*) AS N FROM Prueba", "Cuenta");
                count->Exec();
                ADD_FAILURE() << "the read went on after the failed insert";
            }
            t.Commit();
            FAIL() << "the transaction committed";
        } catch (const EDatabaseError& e) {
            EXPECT_TRUE(e.Message().startsWith("Error de base de datos (Dos): "))
                << e.Message().toStdString();
            EXPECT_TRUE(e.Message().contains("(23505)")) << e.Message().toStdString();
        }
        EXPECT_EQ(db->Scalar("SELECT COUNT(*) FROM Prueba"), "0");
        EXPECT_EQ(QtRows(Conn(), "SELECT 1"), QList<QStringList>({{"1"}}));
    }
    {
        TTransaction t(Conn(), TSqlDriver::PostgreSQL, depth, "Pasada", true);
        Insert("Uno", 1);
        Insert("Dos", 2);
        t.Commit();
    }
    EXPECT_EQ(db->Rows("SELECT K FROM Prueba ORDER BY K"), QList<QStringList>({{"1"}, {"2"}}));
}

// Callers see no difference: every column type the agent's tables and a
// front end's use reads as the same kind and value as through Qt's driver.
TEST_P(PgStatements, ValuesReadAsQtsDriverReadsThem) {
    db->Exec(
        "CREATE TABLE Tipos (I INTEGER, S SMALLINT, L BIGINT, B BOOLEAN, T TEXT, "
        "V VARCHAR(10), F DOUBLE PRECISION, M NUMERIC(10,2), D DATE, TS TIMESTAMP, "
        "X BYTEA, Z INTEGER)");
    db->Exec(
        "INSERT INTO Tipos VALUES (-5, 3, -5000000000, TRUE, 'ñandú', 'abc', 2.5, 12.34, "
        "'2026-03-01', '2026-03-01 08:30:05.25', '\\x00ff', NULL)");
    db->Exec("INSERT INTO Tipos (I, L) VALUES (NULL, 5000000000)");
    const QStringList columns = {"I", "S", "L", "B", "T", "V", "F", "M", "D", "TS", "X", "Z"};
    QSqlQuery qt(Conn());
    ASSERT_TRUE(qt.exec("SELECT * FROM Tipos ORDER BY L"));
    TStatementCache::Handle ours = cache->Get("SELECT * FROM Tipos ORDER BY L", "Tipos");
    ours->Exec();
    for (int row = 0; row < 2; ++row) {
        ASSERT_TRUE(qt.next());
        ASSERT_TRUE(ours->Next());
        for (int i = 0; i < columns.size(); ++i) {
            const QVariant theirs = qt.value(i), mine = ours->Value(columns[i]);
            const std::string what = columns[i].toStdString() + " of row " + std::to_string(row);
            EXPECT_EQ(mine.typeId(), theirs.typeId()) << what;
            EXPECT_EQ(mine.isNull(), theirs.isNull()) << what;
            if (!theirs.isNull()) {
                EXPECT_EQ(mine, theirs) << what << ": " << mine.toString().toStdString() << " / "
                                        << theirs.toString().toStdString();
            }
        }
    }
    EXPECT_FALSE(ours->Next());
    EXPECT_EQ(qt.record().fieldName(9), "ts");
}
