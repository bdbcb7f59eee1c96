// Benchmark 6: storing on PostgreSQL against a PostgreSQL floor measured in
// the same run (PgStoreFloor: the same statements through libpq, prepared
// once, one statement per round trip), per pass of all N registrations and in
// passes of 100, with the server's CPU time per registration (the server
// processes' user and system time from /proc, before and after).
//
//   bench_pgstore [--registrations N]
//
// Needs the throwaway server of scripts/bench (KELVOR_TEST_PG_*).

#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "bench/PgStoreFloor.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "link/TListaFichadas.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"

namespace {

const BenchReport kReport(QStringLiteral("7 PostgreSQL storing"));

// The CPU seconds of the server: its postmaster's children (the backends and
// the background workers), from /proc/<pid>/stat.
double ServerCpuSeconds() {
    QFile pidFile(qEnvironmentVariable("KELVOR_TEST_PG_DATA") + "/postmaster.pid");
    if (!pidFile.open(QIODevice::ReadOnly))
        return -1;
    const qint64 postmaster = QString::fromLatin1(pidFile.readLine()).trimmed().toLongLong();
    double ticks = 0;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        entry.toLongLong(&number);
        if (!number)
            continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        // The fields after the command name in parentheses: state, ppid, ...
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (f.size() < 13)
            continue;
        const qint64 ppid = f[1].toLongLong();
        if (ppid != postmaster && entry.toLongLong() != postmaster)
            continue;
        ticks += f[11].toDouble() + f[12].toDouble();  // utime, stime
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

struct Measured {
    double seconds = 0, cpu = 0;
};

QString Micro(double s, int n) {
    return QStringLiteral("%1 µs").arg(1e6 * s / n, 0, 'f', 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const int n = BenchReport::IntOption(app.arguments(), "--registrations", 10000);
        QString why;
        const std::optional<BenchDb> server = BenchDatabase::PostgresFromEnvironment(&why);
        if (!server) {
            kReport.Note(QStringLiteral("skipped: %1").arg(why));
            return 0;
        }
        BenchSite site(QStringLiteral("pgstore"));
        const auto database = [&](const QString& name) {
            BenchDatabase::RecreatePostgresDatabase(*server, name);
            BenchDb db = *server;
            db.database = name;
            const QString settings =
                site.WriteSettings(name + ".reg", BenchSite::AgentConfig(1), db);
            BenchDatabase::Create(settings, site.File("ttyA"), n);
            return std::make_pair(db, settings);
        };
        const auto [agentDb, agentSettings] = database(QStringLiteral("kelvor_bench_pgagent"));
        const auto [floorDb, floorSettings] = database(QStringLiteral("kelvor_bench_pgfloor"));

        // The registrations: keys 1..n (each has a holder), entries.
        TListaFichadas list;
        QList<QByteArray> records;
        std::vector<FloorRegistration> rows;
        std::vector<std::string> raw;
        const QDateTime first(QDate(2026, 3, 1), QTime(8, 0));
        for (int i = 0; i < n; ++i) {
            const QDateTime at = first.addSecs(60 * i);
            list.Add(TFichada(1 + i, at, "11"), i);
            const QByteArray record = QByteArray("x11") + at.toString("MMddhhmm").toLatin1() +
                                      QByteArray::number(10000 + i % 90000).right(5) + "xZ";
            records << record;
            rows.push_back({1 + i, TSqlStatement::DateTimeText(at).toStdString(), "11"});
            raw.push_back(record.toStdString());
        }
        TTR reader;
        reader.Id = QStringLiteral("A1");

        const auto agent = [&](int size) {
            RegistryFile::SetProcessPath(agentSettings);
            TDM dm;
            dm.Open();
            Measured m;
            const double cpu0 = ServerCpuSeconds();
            for (int from = 0; from < n; from += size) {
                TListaFichadas pass;
                for (int i = from; i < std::min(n, from + size); ++i) pass.Add(list[i], i - from);
                const QList<QByteArray> part = records.mid(from, size);
                Stopwatch w;
                dm.StoreRegistrations(reader, pass, part);
                m.seconds += w.Seconds();
                dm.ClearPending(reader.Id);
            }
            m.cpu = ServerCpuSeconds() - cpu0;
            return m;
        };
        const auto floor = [&](int size) {
            PgStoreFloor f(QStringLiteral("host=%1 port=%2 user=%3 dbname=%4")
                               .arg(floorDb.host)
                               .arg(floorDb.port)
                               .arg(floorDb.user, floorDb.database)
                               .toStdString());
            Measured m;
            const double cpu0 = ServerCpuSeconds();
            for (int from = 0; from < n; from += size) {
                const int to = std::min(n, from + size);
                const std::vector<FloorRegistration> part(rows.begin() + from, rows.begin() + to);
                const std::vector<std::string> rec(raw.begin() + from, raw.begin() + to);
                m.seconds += f.Store("A1", part, rec);
            }
            m.cpu = ServerCpuSeconds() - cpu0;
            return m;
        };

        // Floor first, then the agent, then again the other way round: each
        // figure is the better of its two runs, so that neither side pays
        // alone for a cold server.
        const auto best = [](const Measured& a, const Measured& b) {
            return a.seconds <= b.seconds ? a : b;
        };
        Measured floorAll = floor(n);
        Measured agentAll = agent(n);
        agentAll = best(agentAll, agent(n));
        floorAll = best(floorAll, floor(n));
        Measured floor100 = floor(100);
        Measured agent100 = agent(100);
        agent100 = best(agent100, agent(100));
        floor100 = best(floor100, floor(100));
        for (const auto& [settings, what] :
             {std::make_pair(agentSettings, QStringLiteral("StoreRegistrations")),
              std::make_pair(floorSettings, QStringLiteral("el piso"))}) {
            BenchDatabase check(settings);
            const qint64 stored = check.Count(QStringLiteral("SELECT COUNT(*) FROM REGISTRA"));
            if (stored != 4 * qint64(n) ||
                check.Count(QStringLiteral("SELECT COUNT(*) FROM RegExp")) != stored)
                throw Exception(QStringLiteral("%1 guardó %2 filas; se esperaban %3")
                                    .arg(what)
                                    .arg(stored)
                                    .arg(4 * qint64(n)));
        }
        kReport.Result(QStringLiteral("PostgreSQL storing, one pass of %1: StoreRegistrations / "
                                      "libpq floor")
                           .arg(n),
                       BenchReport::Seconds(agentAll.seconds),
                       BenchReport::Seconds(floorAll.seconds),
                       BenchReport::Ratio(agentAll.seconds / floorAll.seconds));
        kReport.Result(QStringLiteral("PostgreSQL storing, %1 in passes of 100: StoreRegistrations "
                                      "/ libpq floor")
                           .arg(n),
                       BenchReport::Seconds(agent100.seconds),
                       BenchReport::Seconds(floor100.seconds),
                       BenchReport::Ratio(agent100.seconds / floor100.seconds));
        if (floorAll.cpu > 0 && floor100.cpu > 0) {
            kReport.Result(QStringLiteral("server CPU per registration, one pass of %1").arg(n),
                           Micro(agentAll.cpu, n), Micro(floorAll.cpu, n),
                           BenchReport::Ratio(agentAll.cpu / floorAll.cpu));
            kReport.Result(QStringLiteral("server CPU per registration, passes of 100"),
                           Micro(agent100.cpu, n), Micro(floor100.cpu, n),
                           BenchReport::Ratio(agent100.cpu / floor100.cpu));
        } else {
            kReport.Note(QStringLiteral("server CPU not measured (no postmaster.pid readable)"));
        }
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
