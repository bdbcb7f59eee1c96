// Many stations on one PostgreSQL server: 1, 2, 4, 8 and 16 agent programs
// at once (one run for each number), each with
// its own station number, settings file and simulated line (a simulador
// process of its own, one reader holding 2000 registrations, unthrottled),
// all storing into one shared database.
//
//   measured: the aggregate rate, all registrations over the time from the
//   first start to the last exit;
//   floor (reference): one agent alone, the same work on a fresh database of
//   its own, run twice before and once after the stations together (median);
//   lock waits: the share of the agents' time inside a transaction spent
//   waiting for a lock, sampled from pg_stat_activity (LockSampler);
//   checked with SQL: every registration stored once with a unique id
//   (count and count(distinct Id) in REGISTRA and RegExp, and per station).
//
// Needs the throwaway server of scripts/bench (KELVOR_TEST_PG_*); without
// one it says why and ends with 0.
//
// Options: --stations LIST (1,2,4,8,16), --registrations N (2000).

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "bench/AgentProcess.h"
#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "bench/SimProcess.h"
#include "shell/Errors.h"
#include "shell/TConfig.h"

namespace {

const BenchReport kReport(QStringLiteral("4 stations"));
constexpr int kTimeoutMs = 900000;

BenchDb Database(const BenchDb& server, const QString& name) {
    BenchDb db = server;
    db.database = name;
    return db;
}

std::unique_ptr<SimProcess> Line(BenchSite& site, int station, int n) {
    auto sim =
        std::make_unique<SimProcess>(site.File(QStringLiteral("tty%1").arg(station)),
                                     QStringList{"--reader", "A", "--bulk", QString::number(n)},
                                     site.File(QStringLiteral("simulador%1.err").arg(station)));
    sim->Start();
    return sim;
}

// Every registration stored once with its own id, n per station. Returns the
// text of the check for the table; throws when it fails.
QString Check(BenchDatabase& db, int stations, int n) {
    const qint64 expected = qint64(stations) * n;
    QStringList parts;
    for (const QString& table : {QStringLiteral("REGISTRA"), QStringLiteral("RegExp")}) {
        const qint64 rows = db.Count(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
        const qint64 ids = db.Count(QStringLiteral("SELECT COUNT(DISTINCT Id) FROM %1").arg(table));
        parts << QStringLiteral("%1 %2 rows, %3 distinct ids").arg(table).arg(rows).arg(ids);
        if (rows != expected || ids != expected)
            throw Exception(parts.last() + QStringLiteral("; se esperaban %1").arg(expected));
        for (int s = 1; s <= stations; ++s) {
            const qint64 mine = db.Count(
                QStringLiteral("SELECT COUNT(*) FROM %1 WHERE IdRegistrador = ?").arg(table),
                {QStringLiteral("A%1").arg(s)});
            if (mine != n)
                throw Exception(QStringLiteral("%1: la estación %2 tiene %3 filas; se esperaban %4")
                                    .arg(table)
                                    .arg(s)
                                    .arg(mine)
                                    .arg(n));
        }
    }
    return parts.join(QStringLiteral("; "));
}

// One agent alone with its own line and database; the seconds from its start
// to its exit.
double Solo(BenchSite& site, const BenchDb& server, int n) {
    BenchDatabase::RecreatePostgresDatabase(server, QStringLiteral("kelvor_bench_solo"));
    const QString settings = site.WriteSettings("solo.reg", BenchSite::AgentConfig(1),
                                                Database(server, "kelvor_bench_solo"));
    BenchDatabase::Create(settings, site.File("tty1"), n);
    kReport.Note(QStringLiteral("one agent alone, %1 registrations").arg(n));
    const auto sim = Line(site, 1, n);
    AgentProcess agent(settings, site.File("solo-log"));
    agent.Start();
    const double s = agent.Wait(kTimeoutMs);
    BenchDatabase db(settings);
    Check(db, 1, n);
    return s;
}

// Samples pg_stat_activity every few milliseconds while the stations run:
// of the samples in which an agent's backend was inside a transaction, the
// share in which it was waiting for a lock. The counter step and the passes
// are the only transactions the agents run, so this is the share of their
// storing time spent waiting for another station.
class LockSampler {
public:
    LockSampler(const QString& settings, const QString& database)
        : m_thread([this, settings, database] { Run(settings, database); }) {}
    ~LockSampler() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    double Share() const { return m_inTransaction ? double(m_waiting) / m_inTransaction : 0; }
    qint64 Samples() const { return m_inTransaction; }

private:
    void Run(const QString& settings, const QString& database) {
        try {
            BenchDatabase db(settings);
            const QString sql = QStringLiteral(
                "SELECT 1000000 * count(*) FILTER (WHERE wait_event_type = 'Lock') + count(*) "
                "FROM pg_stat_activity WHERE datname = ? AND pid <> pg_backend_pid() AND "
                "xact_start IS NOT NULL AND application_name <> 'psql'");
            while (!m_stop) {
                const qint64 v = db.Count(sql, {database});
                m_waiting += v / 1000000;
                m_inTransaction += v % 1000000;
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        } catch (const std::exception& e) {
            kReport.Note(QStringLiteral("lock sampler: %1").arg(QString::fromLocal8Bit(e.what())));
        }
    }
    std::atomic<bool> m_stop{false};
    qint64 m_waiting = 0, m_inTransaction = 0;
    std::thread m_thread;
};

struct Together {
    double wall = 0;
    QString check;
    double lockShare = 0;
    qint64 samples = 0;
    std::vector<double> each;
};

// All stations at once on a fresh shared database.
Together RunTogether(BenchSite& site, const BenchDb& server, int stations, int n) {
    BenchDatabase::RecreatePostgresDatabase(server, QStringLiteral("kelvor_bench_shared"));
    const BenchDb shared = Database(server, "kelvor_bench_shared");
    QStringList settings;
    for (int s = 1; s <= stations; ++s) {
        settings << site.WriteSettings(QStringLiteral("station%1.reg").arg(s),
                                       BenchSite::AgentConfig(s), shared);
    }
    BenchDatabase::Create(settings[0], site.File("tty1"), n);
    {
        BenchDatabase db(settings[0]);
        for (int s = 2; s <= stations; ++s)
            db.AddStation(s, site.File(QStringLiteral("tty%1").arg(s)));
    }
    std::vector<std::unique_ptr<SimProcess>> lines;
    for (int s = 1; s <= stations; ++s) lines.push_back(Line(site, s, n));
    std::vector<std::unique_ptr<AgentProcess>> agents;
    QList<AgentProcess*> all;
    for (int s = 1; s <= stations; ++s) {
        agents.push_back(std::make_unique<AgentProcess>(
            settings[s - 1], site.File(QStringLiteral("station%1-log").arg(s))));
        all << agents.back().get();
    }
    kReport.Note(QStringLiteral("%1 agents at once, %2 registrations each").arg(stations).arg(n));
    Together out;
    {
        LockSampler sampler(settings[0], QStringLiteral("kelvor_bench_shared"));
        for (AgentProcess* a : all) a->Start();
        AgentProcess::WaitAll(all, kTimeoutMs);
        sampler.Stop();
        out.lockShare = sampler.Share();
        out.samples = sampler.Samples();
    }
    auto lastEnd = all.front()->EndedAt();
    for (const AgentProcess* a : all) {
        lastEnd = std::max(lastEnd, a->EndedAt());
        out.each.push_back(a->Elapsed());
    }
    out.wall = std::chrono::duration<double>(lastEnd - all.front()->StartedAt()).count();
    lines.clear();
    BenchDatabase db(settings[0]);
    out.check = Check(db, stations, n);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        QList<int> counts;
        {
            const qsizetype i = args.indexOf(QStringLiteral("--stations"));
            const QString list = i < 0 ? QStringLiteral("1,2,4,8,16") : args.value(i + 1);
            for (const QString& part : list.split(',')) {
                bool ok = false;
                const int c = part.toInt(&ok);
                if (!ok || c <= 0)
                    throw Exception(
                        QStringLiteral("--stations espera enteros positivos separados "
                                       "por comas"));
                counts << c;
            }
        }
        const int n = BenchReport::IntOption(args, "--registrations", 2000);
        QString why;
        const std::optional<BenchDb> server = BenchDatabase::PostgresFromEnvironment(&why);
        if (!server) {
            kReport.Result(QStringLiteral("skipped"), why);
            return 0;
        }
        BenchSite site(QStringLiteral("stations"));

        // One agent alone, on a fresh database of its own: twice before the
        // stations run together and once after, so that a change of load on
        // the machine weighs on both sides; the median is the reference.
        std::vector<double> solos;
        solos.push_back(Solo(site, *server, n));
        solos.push_back(Solo(site, *server, n));
        std::vector<Together> runs;
        for (int c : counts) runs.push_back(RunTogether(site, *server, c, n));
        solos.push_back(Solo(site, *server, n));
        const double solo = BenchReport::Median(solos);

        kReport.Result(QStringLiteral("one agent alone, %1 registrations (median of 3)").arg(n),
                       BenchReport::Seconds(solo) + " = " + BenchReport::Rate(n / solo, "reg/s"));
        for (size_t r = 0; r < runs.size(); ++r) {
            const Together& t = runs[r];
            const int stations = counts[qsizetype(r)];
            const double total = double(stations) * n;
            kReport.Result(
                QStringLiteral("%1 agents at once, %2 registrations: aggregate / one alone")
                    .arg(stations)
                    .arg(total, 0, 'f', 0),
                BenchReport::Seconds(t.wall) + " = " + BenchReport::Rate(total / t.wall, "reg/s"),
                BenchReport::Rate(n / solo, "reg/s"),
                BenchReport::Ratio((total / t.wall) / (n / solo)));
            kReport.Result(
                QStringLiteral("%1 agents: share of the time in a transaction spent waiting for a "
                               "lock (%2 samples)")
                    .arg(stations)
                    .arg(t.samples),
                QStringLiteral("%1 %").arg(100 * t.lockShare, 0, 'f', 1));
            kReport.Result(QStringLiteral("%1 agents: stored once with unique ids").arg(stations),
                           t.check, "-", "ok");
            std::vector<double> each = t.each;
            std::sort(each.begin(), each.end());
            QStringList times;
            for (double x : each) times << QString::number(x, 'f', 2);
            kReport.Note(
                QStringLiteral("%1 agents, each one's time from start to exit, sorted: %2 s")
                    .arg(stations)
                    .arg(times.join(", ")));
        }
        kReport.Note(QStringLiteral("one agent alone: %1, %2 before, %3 after")
                         .arg(BenchReport::Seconds(solos[0]), BenchReport::Seconds(solos[1]),
                              BenchReport::Seconds(solos[2])));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
