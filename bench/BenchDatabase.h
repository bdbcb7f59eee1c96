#pragma once
// The benchmark's own connection to the database that a settings file's alias
// names (through the data module's TAlias, so it reaches the same database the
// agent does), with the set-up every benchmark station shares:
//
//   kelvordb init, kelvordb seed-demo --port PORT, then: only reader A1 on
//   station 1, without visitor control (so storing does what the floor
//   does: the two registration rows, the id counter, the holder look-up),
//   and a holder for every key 1..N, so that every look-up finds one.
//
// Failures throw EDatabaseError (engine) or Exception (tools). Use from the
// thread that made the object.

#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <optional>

#include "bench/BenchSite.h"

class BenchDatabase {
public:
    explicit BenchDatabase(const QString& settings);
    ~BenchDatabase();
    BenchDatabase(const BenchDatabase&) = delete;
    BenchDatabase& operator=(const BenchDatabase&) = delete;

    TSqlDriver Driver() const { return m_driver; }
    void Exec(const QString& sql, const QVariantList& values = {});
    QVariant Value(const QString& sql, const QVariantList& values = {});
    qint64 Count(const QString& sql, const QVariantList& values = {});

    // The shared set-up above, on the database of `settings` (which must be
    // empty; for PostgreSQL the database must exist).
    static void Create(const QString& settings, const QString& port, int holders);
    // One more station with its own line and one reader, A<station>.
    void AddStation(int station, const QString& port);

    // The throwaway PostgreSQL server of scripts/bench (KELVOR_TEST_PG_HOST,
    // _PORT, _USER); nullopt with the reason when there is none.
    static std::optional<BenchDb> PostgresFromEnvironment(QString* why);
    // Drops (when present) and creates the database `name` on that server.
    static void RecreatePostgresDatabase(const BenchDb& server, const QString& name);

private:
    void ShapeStation(int holders);

    QString m_name;
    QSqlDatabase m_db;
    TSqlDriver m_driver = TSqlDriver::SQLite;
};
