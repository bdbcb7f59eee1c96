// What an idle cycle costs the database server: two readers with nothing
// stored and an empty command queue, on the throwaway PostgreSQL server,
// counted as the server counts transactions (pg_stat_database.xact_commit).
#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUuid>
#include <iostream>

#include "tests/core/AgentBench.h"

namespace {

// A connection of the test's own to the maintenance database: its own
// transactions are counted there, not in the agent's database.
class ServerCounts {
public:
    ServerCounts(const PgServer& pg, const QString& database)
        : m_name("idle-counts-" + QUuid::createUuid().toString(QUuid::Id128).left(8)),
          m_database(database) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", m_name);
        db.setHostName(pg.host);
        db.setPort(pg.port);
        db.setUserName(pg.user);
        db.setDatabaseName("postgres");
        m_ok = db.open();
        if (!m_ok)
            ADD_FAILURE() << db.lastError().text().toStdString();
    }
    ~ServerCounts() { QSqlDatabase::removeDatabase(m_name); }

    // Committed transactions of the agent's database once no session is
    // left on it: a session's counts reach the server's statistics when it
    // ends. -1 when the sessions did not end within 20 s.
    qint64 Commits() {
        QSqlDatabase db = QSqlDatabase::database(m_name);
        for (int i = 0; i < 400; ++i) {
            QSqlQuery q(db);
            q.prepare("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = ?");
            q.addBindValue(m_database);
            if (q.exec() && q.next() && q.value(0).toInt() == 0) {
                QSqlQuery c(db);
                c.prepare("SELECT xact_commit FROM pg_stat_database WHERE datname = ?");
                c.addBindValue(m_database);
                if (c.exec() && c.next())
                    return c.value(0).toLongLong();
                return -1;
            }
            QThread::msleep(50);
        }
        return -1;
    }
    bool Ok() const { return m_ok; }

private:
    QString m_name, m_database;
    bool m_ok = false;
};

}  // namespace

TEST(IdleCycle, AtMostOneServerTransactionPerReader) {
    constexpr int kExtraCycles = 8, kReaders = 2;
    AgentBench b(BenchDb::PostgreSQL);
    if (!b.Ready())
        GTEST_SKIP() << b.SkipReason().toStdString();
    b.AddStation(1, b.LinePath());
    b.AddReader("A1", 1);
    b.AddReader("B1", 1);
    b.Reader(u'A');
    b.Reader(u'B');
    b.CloseSetup();
    ServerCounts counts(PgServer::FromEnvironment(), b.database);
    ASSERT_TRUE(counts.Ok());

    // Two runs that differ only by their idle cycles: what both pay once
    // (connecting, the first look at each reader's note) cancels out.
    auto run = [&](int cycles) {
        const qint64 before = counts.Commits();
        b.RunCycles(cycles);
        const qint64 after = counts.Commits();
        EXPECT_GE(before, 0);
        EXPECT_GE(after, 0);
        return after - before;
    };
    const qint64 shortRun = run(2);
    const qint64 longRun = run(2 + kExtraCycles);
    const double perCycle = double(longRun - shortRun) / kExtraCycles;
    std::cout << "idle cycle: " << perCycle << " transactions for " << kReaders
              << " readers (runs of 2 and " << 2 + kExtraCycles << " cycles: " << shortRun
              << " and " << longRun << ")" << std::endl;
    EXPECT_GT(perCycle, 0.0);  // the cycle does reach the server
    EXPECT_LE(perCycle, double(kReaders));
}
