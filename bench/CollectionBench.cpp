// Collection throughput: one simulated reader holding many registrations on an
// unthrottled pseudo-terminal, collected into SQLite.
//
//   1. End to end: the simulador program and one cycle of the agent program
//      (agente --headless --cycles 1), timed from start to exit.
//   2. In process, the same road split in two: the link's ReadRegistrations
//      (the line) and the data module's StoreRegistrations as the thread
//      calls it, with the pass's raw records for its exactly-once note
//      (storing), each repeated and the median taken.
//   3. The same storing in passes of 100 records (the everyday size), and the
//      time of one everyday pass of 10 and of 100 registrations (from the
//      reader's last record, when storing begins, to the end of storing) on
//      SQLite and, with the throwaway server of scripts/bench, PostgreSQL.
//   4. The storing floor (StoreFloor: the same rows through SQLite's C API),
//      run three times after each storing repetition on a fresh copy of the
//      same database, so the ratio of the medians holds on a busy machine.
//
// Options: --registrations N (10000), --repeat R (3).

#include <QCoreApplication>
#include <QFile>
#include <algorithm>

#include "bench/AgentProcess.h"
#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "bench/SimProcess.h"
#include "bench/StoreFloor.h"
#include "db/TDM.h"
#include "db/TSqlStatement.h"
#include "link/TListaFichadas.h"
#include "link/TRedKelvorII.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "tools/simulador/SimScript.h"
#include "tools/simulador/SimulatedLine.h"

namespace {

const BenchReport kReport(QStringLiteral("1 collection"));

// A fresh copy of the template database at path (and no journal of an
// earlier copy).
void FreshCopy(const QString& templateFile, const QString& path) {
    for (const QString& f : {path, path + "-wal", path + "-shm"}) QFile::remove(f);
    if (!QFile::copy(templateFile, path))
        throw Exception(QStringLiteral("No se pudo copiar %1 a %2").arg(templateFile, path));
}

BenchDb SqliteAt(const QString& file) {
    BenchDb db;
    db.database = file;
    return db;
}

// Every registration stored once, in both tables.
void CheckStored(const QString& settings, int expected, const QString& what) {
    BenchDatabase db(settings);
    for (const QString& table : {QStringLiteral("REGISTRA"), QStringLiteral("RegExp")}) {
        const qint64 rows = db.Count(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
        const qint64 ids = db.Count(QStringLiteral("SELECT COUNT(DISTINCT Id) FROM %1").arg(table));
        if (rows != expected || ids != expected)
            throw Exception(
                QStringLiteral("%1: %2 tiene %3 filas con %4 ids distintos; se esperaban %5")
                    .arg(what, table)
                    .arg(rows)
                    .arg(ids)
                    .arg(expected));
    }
}

// The entries of records [from, from + count) of the read pass, as a pass of
// their own (source records counted from `from`).
TListaFichadas Slice(const TListaFichadas& list, qsizetype from, qsizetype count) {
    TListaFichadas out;
    for (qsizetype i = 0; i < list.Count(); ++i) {
        const qsizetype source = list.SourceRecord(i);
        if (source >= from && source < from + count)
            out.Add(list[i], source - from);
    }
    return out;
}

// The agent's storing of the read pass cut into passes of `size` records, on
// a fresh copy of the template; the seconds of each StoreRegistrations.
std::vector<double> StoreInPasses(const TTR& reader, const TListaFichadas& list,
                                  const QList<QByteArray>& records, int size) {
    std::vector<double> times;
    TDM dm;
    dm.Open();
    for (qsizetype from = 0; from < records.size(); from += size) {
        const TListaFichadas pass = Slice(list, from, size);
        const QList<QByteArray> raw = records.mid(from, size);
        Stopwatch w;
        dm.StoreRegistrations(reader, pass, raw);
        times.push_back(w.Seconds());
        dm.ClearPending(reader.Id);  // as after the reader's erase
    }
    return times;
}

// The floor of the same passes.
std::vector<double> FloorInPasses(const QString& file, const std::vector<FloorRegistration>& rows,
                                  const std::vector<std::string>& raw, int size) {
    std::vector<double> times;
    StoreFloor floor(file.toStdString());
    for (size_t from = 0; from < raw.size(); from += size_t(size)) {
        const size_t to = std::min(raw.size(), from + size_t(size));
        const std::vector<FloorRegistration> part(rows.begin() + long(from),
                                                  rows.begin() + long(to));
        const std::vector<std::string> records(raw.begin() + long(from), raw.begin() + long(to));
        times.push_back(floor.Store("A1", part, records));
    }
    return times;
}

double Sum(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

double EndToEnd(BenchSite& site, const QString& templateFile, int n) {
    const QString dbFile = site.File("e2e.db");
    FreshCopy(templateFile, dbFile);
    const QString settings =
        site.WriteSettings("e2e.reg", BenchSite::AgentConfig(1), SqliteAt(dbFile));
    SimProcess sim(site.File("ttyA"), {"--reader", "A", "--bulk", QString::number(n)},
                   site.File("e2e-simulador.err"));
    sim.Start();
    AgentProcess agent(settings, site.File("e2e-log"));
    agent.Start();
    const double s = agent.Wait(600000);
    sim.Stop();
    CheckStored(settings, n, QStringLiteral("agente"));
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int n = BenchReport::IntOption(args, "--registrations", 10000);
        const int repeat = BenchReport::IntOption(args, "--repeat", 3);
        BenchSite site(QStringLiteral("collection"));

        // The station: reader A1 on the line at ttyA, a holder for every key.
        const QString templateFile = site.File("template.db");
        const QString templateSettings =
            site.WriteSettings("template.reg", BenchSite::AgentConfig(1), SqliteAt(templateFile));
        BenchDatabase::Create(templateSettings, site.File("ttyA"), n);

        kReport.Note(
            QStringLiteral("end to end: agente and simulador with %1 registrations").arg(n));
        const double e2e = EndToEnd(site, templateFile, n);

        // In process: a simulated line of our own and the link on it.
        SimulatedLine line;
        SimScript::Apply(SimScript::Tokenize(QStringLiteral("--reader A --bulk %1").arg(n)), line);
        line.Start();
        TRedKelvorII link(false);
        link.Params().SetPort(line.DevicePath());
        link.Params().SetBaudRate(9600);
        link.Params().SetReadTimeout(1000);
        link.Params().SetWriteTimeout(1000);
        link.SetMaxRetries(3);
        if (!link.Connect())
            throw Exception(link.ConnectError());
        link.SetAddress('A');
        link.Initialize();
        if (link.Data().Cantidad != n)
            throw Exception(
                QStringLiteral("El registrador dice tener %1 registraciones; se esperaban %2")
                    .arg(link.Data().Cantidad)
                    .arg(n));

        TListaFichadas list;
        std::vector<double> reads;
        for (int r = 0; r < repeat; ++r) {
            Stopwatch w;
            link.ReadRegistrations(list);
            reads.push_back(w.Seconds());
            if (list.Count() != n || link.Data().Rechazadas != 0)
                throw Exception(QStringLiteral("Se leyeron %1 registraciones (%2 rechazadas) de %3")
                                    .arg(list.Count())
                                    .arg(link.Data().Rechazadas)
                                    .arg(n));
        }

        // The same rows and records for the floor, prepared before any timing.
        const QList<QByteArray> records = link.LastRecords();
        std::vector<FloorRegistration> rows;
        rows.reserve(size_t(n));
        for (const TFichada& f : list) {
            rows.push_back({f.NroLlave(), TSqlStatement::DateTimeText(f.FechaHora()).toStdString(),
                            f.GetEstado().toStdString()});
        }
        std::vector<std::string> raw;
        for (const QByteArray& r : records) raw.push_back(r.toStdString());

        TTR reader;
        reader.Id = QStringLiteral("A1");
        reader.Puerto = line.DevicePath();
        const QString storeFile = site.File("store.db");
        const QString storeSettings =
            site.WriteSettings("store.reg", BenchSite::AgentConfig(1), SqliteAt(storeFile));
        RegistryFile::SetProcessPath(storeSettings);
        const QString floorFile = site.File("floor.db");
        std::vector<double> stores, floors;
        for (int r = 0; r < repeat; ++r) {
            FreshCopy(templateFile, storeFile);
            {
                TDM dm;
                dm.Open();
                Stopwatch w;
                const qsizetype skipped = dm.StoreRegistrations(reader, list, records);
                stores.push_back(w.Seconds());
                if (skipped != 0)
                    throw Exception(
                        QStringLiteral("Un almacenamiento nuevo omitió %1").arg(skipped));
            }
            CheckStored(storeSettings, n, QStringLiteral("StoreRegistrations"));
            // The floor is short, so a stray fsync or a neighbour's burst
            // weighs more on it: three runs for each of the agent's.
            for (int f = 0; f < 3; ++f) {
                FreshCopy(templateFile, floorFile);
                floors.push_back(StoreFloor(floorFile.toStdString()).Store("A1", rows, raw));
            }
        }
        // The same registrations stored as passes of 100 (the everyday
        // size), and the floor of the same passes, each on a fresh copy.
        std::vector<double> stores100, floors100, pass100, pass10;
        for (int r = 0; r < repeat; ++r) {
            FreshCopy(templateFile, storeFile);
            const std::vector<double> t = StoreInPasses(reader, list, records, 100);
            stores100.push_back(Sum(t));
            pass100.insert(pass100.end(), t.begin(), t.end());
            CheckStored(storeSettings, n, QStringLiteral("StoreRegistrations de a 100"));
            for (int f = 0; f < 3; ++f) {
                FreshCopy(templateFile, floorFile);
                floors100.push_back(Sum(FloorInPasses(floorFile, rows, raw, 100)));
            }
        }
        // A reader's everyday pass of 10: the first 1000 records as 100 passes.
        {
            FreshCopy(templateFile, storeFile);
            const qsizetype first = std::min<qsizetype>(records.size(), 1000);
            pass10 = StoreInPasses(reader, Slice(list, 0, first), records.mid(0, first), 10);
        }
        // The same everyday passes on PostgreSQL, when the throwaway server is there.
        std::vector<double> pgPass100, pgPass10;
        QString noPg;
        if (const std::optional<BenchDb> server = BenchDatabase::PostgresFromEnvironment(&noPg)) {
            BenchDatabase::RecreatePostgresDatabase(*server, QStringLiteral("kelvor_bench_pass"));
            BenchDb pg = *server;
            pg.database = QStringLiteral("kelvor_bench_pass");
            const QString pgSettings =
                site.WriteSettings("pass-pg.reg", BenchSite::AgentConfig(1), pg);
            BenchDatabase::Create(pgSettings, site.File("ttyA"), n);
            RegistryFile::SetProcessPath(pgSettings);
            // 100 passes of 10 after up to 20 passes of 100.
            const qsizetype first = std::min<qsizetype>(records.size() / 2, 2000);
            pgPass100 = StoreInPasses(reader, Slice(list, 0, first), records.mid(0, first), 100);
            pgPass10 =
                StoreInPasses(reader, Slice(list, first, 1000), records.mid(first, 1000), 10);
            RegistryFile::SetProcessPath(storeSettings);
        }
        link.ClearMemory();

        const double read = BenchReport::Median(reads);
        const double store = BenchReport::Median(stores);
        const double floor = BenchReport::Median(floors);
        kReport.Result(
            QStringLiteral("end to end, %1 registrations (agente --headless --cycles 1)").arg(n),
            BenchReport::Seconds(e2e) + " = " + BenchReport::Rate(n / e2e, "reg/s"));
        kReport.Result(
            QStringLiteral("line: ReadRegistrations, unthrottled pty (median of %1)").arg(repeat),
            BenchReport::Seconds(read) + " = " + BenchReport::Rate(n / read, "reg/s"));
        kReport.Result(
            QStringLiteral("storing: StoreRegistrations / C API floor (median of %1)").arg(repeat),
            BenchReport::Seconds(store), BenchReport::Seconds(floor),
            BenchReport::Ratio(store / floor));
        const double store100 = BenchReport::Median(stores100);
        const double floor100 = BenchReport::Median(floors100);
        kReport.Result(
            QStringLiteral("storing in passes of 100: StoreRegistrations / C API floor (median of "
                           "%1)")
                .arg(repeat),
            BenchReport::Seconds(store100), BenchReport::Seconds(floor100),
            BenchReport::Ratio(store100 / floor100));
        const auto everyday = [&](const QString& engine, int size, const std::vector<double>& t) {
            if (t.empty())
                return;
            kReport.Result(QStringLiteral("everyday pass, %1 registrations, %2: last record to end "
                                          "of storing (median of %3 passes)")
                               .arg(size)
                               .arg(engine)
                               .arg(t.size()),
                           QStringLiteral("%1 ms").arg(1e3 * BenchReport::Median(t), 0, 'f', 2));
        };
        everyday(QStringLiteral("SQLite"), 10, pass10);
        everyday(QStringLiteral("SQLite"), 100, pass100);
        everyday(QStringLiteral("PostgreSQL"), 10, pgPass10);
        everyday(QStringLiteral("PostgreSQL"), 100, pgPass100);
        if (pgPass10.empty())
            kReport.Note(QStringLiteral("everyday pass on PostgreSQL skipped: %1").arg(noPg));
        kReport.Note(QStringLiteral("end to end %1 = line %2 + storing %3 + the rest (start-up, "
                                    "status records, erase, close) %4")
                         .arg(BenchReport::Seconds(e2e), BenchReport::Seconds(read),
                              BenchReport::Seconds(store),
                              BenchReport::Seconds(e2e - read - store)));
        kReport.Note(QStringLiteral("per registration: line %1 µs, storing %2 µs, floor %3 µs")
                         .arg(1e6 * read / n, 0, 'f', 1)
                         .arg(1e6 * store / n, 0, 'f', 1)
                         .arg(1e6 * floor / n, 0, 'f', 1));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
