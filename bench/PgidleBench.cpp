// Benchmark 7: what an idle agent costs the PostgreSQL server. A station with
// two readers that hold nothing, 20 000 queued commands of other stations in
// COMANDO (a key roll-out elsewhere), and `agente --headless --cycles N` run
// for a short and a long N: the difference between the two runs, per cycle,
// of the database's committed transactions (pg_stat_database.xact_commit)
// and of the COMANDO rows read (pg_stat_user_tables seq_tup_read +
// idx_tup_fetch). The difference takes out the start-up and the close; the
// benchmark's own look-ups are the same in both runs.
//
//   bench_pgidle [--short 2] [--long 12] [--backlog 20000]
//
// Needs the throwaway server of scripts/bench (KELVOR_TEST_PG_*).

#include <QCoreApplication>
#include <QThread>

#include "bench/AgentProcess.h"
#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "bench/SimProcess.h"
#include "shell/Errors.h"
#include "shell/TConfig.h"

namespace {

const BenchReport kReport(QStringLiteral("8 PostgreSQL idle cycle"));

struct Counters {
    qint64 commits = 0, comandoRows = 0;
};

Counters Read(BenchDatabase& db) {
    db.Exec(QStringLiteral("SELECT pg_stat_clear_snapshot()"));
    Counters c;
    c.commits = db.Count(QStringLiteral(
        "SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()"));
    c.comandoRows = db.Count(QStringLiteral(
        "SELECT COALESCE(seq_tup_read, 0) + COALESCE(idx_tup_fetch, 0) FROM pg_stat_user_tables "
        "WHERE relname = 'comando'"));
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int shortRun = BenchReport::IntOption(args, "--short", 2);
        const int longRun = BenchReport::IntOption(args, "--long", 12);
        const int backlog = BenchReport::IntOption(args, "--backlog", 20000);
        QString why;
        const std::optional<BenchDb> server = BenchDatabase::PostgresFromEnvironment(&why);
        if (!server) {
            kReport.Note(QStringLiteral("skipped: %1").arg(why));
            return 0;
        }
        BenchSite site(QStringLiteral("pgidle"));
        BenchDatabase::RecreatePostgresDatabase(*server, QStringLiteral("kelvor_bench_pgidle"));
        BenchDb pg = *server;
        pg.database = QStringLiteral("kelvor_bench_pgidle");
        const QString settings = site.WriteSettings("idle.reg", BenchSite::AgentConfig(1), pg);
        BenchDatabase::Create(settings, site.File("ttyA"), 10);
        BenchDatabase db(settings);
        db.Exec(
            QStringLiteral("INSERT INTO Reg (Id, IdEstacion, Velocidad, CTRLACTIVO, VIRTUAL, "
                           "HTA) VALUES ('B1', 1, 9600, FALSE, FALSE, FALSE)"));
        db.Exec(QStringLiteral("INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, "
                               "FechaHora) SELECT 2 + g % 50, 'A' || (2 + g % 50), 'ALTA', "
                               "lpad(g::text, 5, '0'), now() FROM generate_series(1, %1) g")
                    .arg(backlog));
        const int readers = 2;

        const auto run = [&](int cycles) {
            SimProcess sim(site.File("ttyA"), {"--reader", "A", "--reader", "B"},
                           site.File(QStringLiteral("simulador-%1.err").arg(cycles)));
            sim.Start();
            const Counters before = Read(db);
            AgentProcess agent(settings, site.File(QStringLiteral("log-%1").arg(cycles)), cycles);
            agent.Start();
            agent.Wait(300000);
            sim.Stop();
            // The agent's server process reports its counters as it ends.
            QThread::msleep(1500);
            const Counters after = Read(db);
            return Counters{after.commits - before.commits, after.comandoRows - before.comandoRows};
        };
        const Counters s = run(shortRun), l = run(longRun);
        const double cycles = longRun - shortRun;
        const double perCycle = double(l.commits - s.commits) / cycles;
        const double rows = double(l.comandoRows - s.comandoRows) / cycles;
        kReport.Result(
            QStringLiteral("transactions per idle cycle, %1 readers (per reader)").arg(readers),
            QStringLiteral("%1 (%2 a reader)")
                .arg(perCycle, 0, 'f', 2)
                .arg(perCycle / readers, 0, 'f', 2));
        kReport.Result(QStringLiteral("COMANDO rows read per cycle, %1 queued for other stations")
                           .arg(backlog),
                       QStringLiteral("%1").arg(rows, 0, 'f', 1));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
