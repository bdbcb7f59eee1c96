#pragma once
// The fixture of the data module tests: a fresh database (SQLite or
// PostgreSQL, see TestDatabase), the settings file naming it, a TConfig and a
// TDM with a fixed clock and no pause after queued commands.

#include <gtest/gtest.h>

#include <QDateTime>
#include <memory>

#include "db/TDM.h"
#include "shell/TConfig.h"
#include "tests/db/TestDatabase.h"

class DbTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override;
    void TearDown() override;

    // A TDM on the settings file of `db` (made by SetUp as well).
    std::unique_ptr<TDM> MakeDm();

    // Set-up rows.
    void Counter(const QString& value);
    void Station(int id, const QString& puerto = "COM2");
    void Reader(const QString& id, int station, bool ctrlActivo = false, bool isVirtual = false,
                bool hta = false);
    void Holder(int id, const QString& tipo, int key,
                const QString& assigned = "2026-03-01 08:00:00.000");
    void Enrol(const QString& reader, int holder, const QString& h1 = "", const QString& h2 = "");
    void Zone(const QString& zone, const QString& reader, const QString& tipo);
    void Marker();
    TTR Tr(const QString& id, bool ctrlActivo = false, bool hta = false) const;

    // Outcome.
    QList<QStringList> Commands() const;  // IdEstacion, IdRegistrador, CodComando, Texto by Id
    // "T", "F" or "null" for a boolean column, in either engine.
    static QString B(const QString& column);

    QDateTime now{QDate(2026, 12, 9), QTime(14, 5, 0)};
    TConfig config;
    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<TDM> dm;
};

#define KELVOR_ON_BOTH_ENGINES(Suite)        \
    INSTANTIATE_TEST_SUITE_P(Engines, Suite, \
                             ::testing::Values(Backend::SQLite, Backend::PostgreSQL), BackendName)

// Cases about one engine's own behaviour (loose typing in SQLite, sessions
// that write concurrently in PostgreSQL).
#define KELVOR_ON_SQLITE(Suite) \
    INSTANTIATE_TEST_SUITE_P(Engine, Suite, ::testing::Values(Backend::SQLite), BackendName)
#define KELVOR_ON_POSTGRESQL(Suite) \
    INSTANTIATE_TEST_SUITE_P(Engine, Suite, ::testing::Values(Backend::PostgreSQL), BackendName)
