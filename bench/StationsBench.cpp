// Many stations on one PostgreSQL server: 8 agent programs at once, each with
// its own station number, settings file and simulated line (a simulador
// process of its own, one reader holding 2000 registrations, unthrottled),
// all storing into one shared database.
//
//   measured: the aggregate rate, all registrations over the time from the
//   first start to the last exit;
//   floor (reference): one agent alone, the same work on a fresh database of
//   its own, run twice before and once after the stations together (median);
//   checked with SQL: every registration stored once with a unique id
//   (count and count(distinct Id) in REGISTRA and RegExp, and per station).
//
// Needs the throwaway server of scripts/bench (KELVOR_TEST_PG_*); without
// one it says why and ends with 0.
//
// Options: --stations S (8), --registrations N (2000).

#include <QCoreApplication>
#include <algorithm>
#include <memory>

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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int stations = BenchReport::IntOption(args, "--stations", 8);
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

        // All stations at once on the shared database.
        BenchDatabase::RecreatePostgresDatabase(*server, QStringLiteral("kelvor_bench_shared"));
        const BenchDb shared = Database(*server, "kelvor_bench_shared");
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
        kReport.Note(
            QStringLiteral("%1 agents at once, %2 registrations each").arg(stations).arg(n));
        for (AgentProcess* a : all) a->Start();
        AgentProcess::WaitAll(all, kTimeoutMs);
        auto lastEnd = all.front()->EndedAt();
        std::vector<double> each;
        for (const AgentProcess* a : all) {
            lastEnd = std::max(lastEnd, a->EndedAt());
            each.push_back(a->Elapsed());
        }
        const double wall =
            std::chrono::duration<double>(lastEnd - all.front()->StartedAt()).count();
        lines.clear();
        QString check;
        {
            BenchDatabase db(settings[0]);
            check = Check(db, stations, n);
        }
        solos.push_back(Solo(site, *server, n));
        const double solo = BenchReport::Median(solos);

        const double total = double(stations) * n;
        kReport.Result(QStringLiteral("one agent alone, %1 registrations (median of 3)").arg(n),
                       BenchReport::Seconds(solo) + " = " + BenchReport::Rate(n / solo, "reg/s"));
        kReport.Result(
            QStringLiteral("%1 agents at once, %2 registrations: aggregate / one alone")
                .arg(stations)
                .arg(total, 0, 'f', 0),
            BenchReport::Seconds(wall) + " = " + BenchReport::Rate(total / wall, "reg/s"),
            BenchReport::Rate(n / solo, "reg/s"), BenchReport::Ratio((total / wall) / (n / solo)));
        kReport.Result(QStringLiteral("stored once with unique ids"), check, "-", "ok");
        std::sort(each.begin(), each.end());
        QStringList times;
        for (double t : each) times << QString::number(t, 'f', 2);
        kReport.Note(QStringLiteral("each agent's time from start to exit, sorted: %1 s")
                         .arg(times.join(", ")));
        kReport.Note(QStringLiteral("one agent alone: %1, %2 before, %3 after")
                         .arg(BenchReport::Seconds(solos[0]), BenchReport::Seconds(solos[1]),
                              BenchReport::Seconds(solos[2])));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
