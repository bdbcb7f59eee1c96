#pragma once
// A fresh database with the agent's schema for one test, on SQLite (a file in
// a scratch folder) or on the PostgreSQL server that scripts/test starts
// (KELVOR_TEST_PG_HOST/PORT/USER; a database of its own, dropped afterwards),
// and a settings file whose alias "Kelvor" names it.
//
// Check() is the test's own connection, separate from the data module's, for
// setting up rows and looking at the outcome.

#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "db/TAlias.h"
#include "tests/support/TestSupport.h"

enum class Backend { SQLite, PostgreSQL };

std::string BackendName(const testing::TestParamInfo<Backend>& info);

class TestDatabase {
public:
    // Empty when the backend can be used, else why not (the PostgreSQL tests
    // are skipped with that reason).
    static QString SkipReason(Backend backend);

    // `withDirectory`: PostgreSQL only, writes "Directorio" (the scratch
    // folder) so that marker files work there too. `withSchema`: create the
    // tables (without it: an empty database, or no SQLite file at all).
    explicit TestDatabase(Backend backend, bool withDirectory = true, bool withSchema = true);
    ~TestDatabase();

    Backend backend() const { return m_backend; }
    const ScratchDir& Scratch() const { return m_scratch; }
    QString RegistryPath() const { return m_scratch.File("registry.reg"); }
    QString SqliteFile() const { return m_scratch.File("kelvor.db"); }
    QString Directory() const { return m_scratch.Path(); }
    const TAlias& Alias() const { return m_alias; }

    QSqlDatabase Check() const;  // opened again after CloseCheck
    void CloseCheck() const;
    // Runs a statement with positional values; a failure fails the test.
    void Exec(const QString& sql, const QVariantList& values = {}) const;
    // The rows of a query as text per column ("" for NULL, "true"/"false" for
    // booleans, "yyyy-MM-dd hh:mm:ss.zzz" for date-times).
    QList<QStringList> Rows(const QString& sql, const QVariantList& values = {}) const;
    QString Scalar(const QString& sql, const QVariantList& values = {}) const;
    // Booleans as the engine stores them, for set-up statements.
    QString True() const { return m_backend == Backend::SQLite ? "1" : "TRUE"; }
    QString False() const { return m_backend == Backend::SQLite ? "0" : "FALSE"; }

    // A connection to the server's maintenance database (PostgreSQL).
    static QSqlDatabase Maintenance(const QString& name);

private:
    Backend m_backend;
    ScratchDir m_scratch;
    QString m_pgDatabase;
    QString m_checkName;
    TAlias m_alias;
};

// Text form of a value read by the test (see Rows).
QString Text(const QVariant& v);

// What a run of the database tool program (kelvordb) gave: its exit status
// (-1 when it did not end normally within a minute, then killed) and output.
struct KelvordbOutcome {
    int status = -1;
    QString out, err;
};
KelvordbOutcome RunKelvordb(const QStringList& args);
