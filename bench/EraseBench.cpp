// Erase under steady traffic: a reader holding N registrations (100, 1000)
// that keeps receiving keys while it is read (the simulator's "traffic"
// fault: 0.2, 0.5 and 1 key per second), collected cycle after cycle by the
// real communication thread over a line paced at 9600 bit/s.
//
// The reader is erased only when the count it gives after storing equals the
// count it gave before reading (a key that came meanwhile would be erased
// unread), and every cycle reads its whole memory again. So each case
// reports:
//   - the cycles until the erase (or none within the cycles allowed);
//   - the line time per cycle (the collection part of the cycle, from
//     "Comienza proceso de lectura de registraciones" to "Finaliza proceso de
//     lectura de registraciones"), first and last, against the wire time of
//     reading the memory the reader held in that cycle (WireTime);
//   - the erase window: from the reader's last count ("B" frame) to the
//     erase frame, as the simulated reader saw them; a key presented in it is
//     erased unread;
//   - keys lost or stored twice (both must be 0 outside that window).
//
// Each case runs cycles until the erase, at most --cycles C (30) cycles and
// no new cycle after --seconds S (60) seconds.
//
// Options: --cycles C, --seconds S, --sizes N[,N] (100,1000), --rates R[,R]
// in keys per second (0.2,0.5,1), --baud B (9600).

#include <QCoreApplication>
#include <QSet>

#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "bench/TimingView.h"
#include "bench/WireTime.h"
#include "core/AgentServices.h"
#include "core/TComunicationThread.h"
#include "db/TDM.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "shell/TConfig.h"
#include "tools/simulador/SimScript.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {

const BenchReport kReport(QStringLiteral("5 erase"));
const QString kStart = QStringLiteral("Comienza proceso de lectura de registraciones");
const QString kEnd = QStringLiteral("Finaliza proceso de lectura de registraciones");

QList<double> Numbers(const QStringList& args, const QString& name, const QString& def) {
    const int at = int(args.indexOf(name));
    const QString text = at >= 0 && at + 1 < args.size() ? args[at + 1] : def;
    QList<double> out;
    for (const QString& part : text.split(',')) {
        bool ok = false;
        const double v = part.toDouble(&ok);
        if (!ok || v <= 0)
            throw Exception(
                QStringLiteral("%1: \"%2\" no es una lista de números positivos").arg(name, text));
        out << v;
    }
    return out;
}

struct Outcome {
    int cycles = 0;        // cycles run
    int erasedAt = 0;      // the cycle that erased (0: none)
    double firstLine = 0;  // line time of the first and the last cycle
    double lastLine = 0;
    double firstWire = 0;  // wire time of reading what the reader held then
    double lastWire = 0;
    double windowMs = -1;
    int added = 0, stored = 0, doubled = 0, left = 0, lost = 0;
};

Outcome RunCase(int stored, double rate, int maxCycles, int maxSeconds, int baud) {
    BenchSite site(QStringLiteral("erase"));
    TConfig config = BenchSite::AgentConfig(1);
    BenchDb db;
    db.database = site.File("kelvor.db");
    const QString settings = site.WriteSettings("registry.reg", config, db);
    const QString linePath = site.File("ttyA");
    BenchDatabase::Create(settings, linePath, stored);
    // The reader at the benchmark's speed.
    BenchDatabase(settings).Exec(QStringLiteral("UPDATE Reg SET Velocidad = ?"), {baud});

    SimulatedLine line;
    line.SetLinkPath(linePath);
    SimScript::Apply(SimScript::Tokenize(QStringLiteral("--reader A --bulk %1 --baud %2 "
                                                        "--fault speed")
                                             .arg(stored)
                                             .arg(baud)),
                     line);
    line.Start();
    SimulatedReader& reader = *line.Reader('A');

    RegistryFile::SetProcessPath(settings);
    TDM dm;
    dm.SetConfig(&config);
    TimingView view;
    AgentServices services;
    services.view = &view;
    services.config = &config;
    services.dm = &dm;

    SimFaults traffic = reader.Faults();
    traffic.trafficMs = int(1000.0 / rate + 0.5);
    reader.SetFaults(traffic);
    Outcome o;
    const Stopwatch budget;
    for (int cycle = 1; cycle <= maxCycles && o.erasedAt == 0 && budget.Seconds() < maxSeconds;
         ++cycle) {
        const int from = int(view.Rows().size());
        const int erasedBefore = reader.Erased();
        const qsizetype held = reader.Registrations().size();
        {
            TComunicationThread thread(true, services);
            thread.SetCycleLimit(1);
            thread.Resume();
            thread.WaitForEnd();
        }
        const int first = view.Find(kStart, from);
        const int last = view.Find(kEnd, first < 0 ? from : first);
        if (first < 0 || last < 0)
            throw Exception(QStringLiteral("El ciclo %1 no leyó el registrador").arg(cycle));
        WireTime wire(baud);
        wire.ReadPass(int(held));
        o.lastLine = view.SecondsBetween(first, last);
        o.lastWire = wire.Seconds();
        if (cycle == 1) {
            o.firstLine = o.lastLine;
            o.firstWire = o.lastWire;
        }
        o.cycles = cycle;
        if (reader.Erased() > erasedBefore)
            o.erasedAt = cycle;
        kReport.Note(QStringLiteral("%1 stored, %2 key/s: cycle %3, %4 held, line %5%6")
                         .arg(stored)
                         .arg(rate)
                         .arg(cycle)
                         .arg(held)
                         .arg(BenchReport::Seconds(o.lastLine))
                         .arg(o.erasedAt ? QStringLiteral(", erased") : QString()));
    }
    reader.SetFaults(SimFaults{});  // counts the keys due until now
    o.windowMs = reader.EraseWindowMs();
    o.added = reader.TrafficAdded();
    // Keys are presented in order and an erase takes all of them, so the
    // reader holds the newest ones; the older ones must all be in the table.
    int oldestLeft = 50001 + o.added;
    for (const QByteArray& r : reader.Registrations()) {
        const int key = r.mid(11, 5).toInt();
        if (key > 50000) {
            ++o.left;
            oldestLeft = qMin(oldestLeft, key);
        }
    }
    BenchDatabase check(settings);
    const qint64 rows =
        check.Count(QStringLiteral("SELECT COUNT(*) FROM REGISTRA WHERE NroLlave > 50000"));
    o.stored = int(check.Count(
        QStringLiteral("SELECT COUNT(DISTINCT NroLlave) FROM REGISTRA WHERE NroLlave > 50000")));
    o.doubled = int(rows - o.stored);
    const qint64 storedBefore = check.Count(
        QStringLiteral("SELECT COUNT(DISTINCT NroLlave) FROM REGISTRA WHERE NroLlave > 50000 "
                       "AND NroLlave < ?"),
        {oldestLeft});
    o.lost = int(o.added - o.left - storedBefore);
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int maxCycles = BenchReport::IntOption(args, "--cycles", 30);
        const int maxSeconds = BenchReport::IntOption(args, "--seconds", 60);
        const int baud = BenchReport::IntOption(args, "--baud", 9600);
        const QList<double> sizes = Numbers(args, "--sizes", "100,1000");
        const QList<double> rates = Numbers(args, "--rates", "0.2,0.5,1");
        bool wrong = false;
        for (double size : sizes) {
            for (double rate : rates) {
                const int n = int(size);
                const Outcome o = RunCase(n, rate, maxCycles, maxSeconds, baud);
                const QString what =
                    QStringLiteral("%1 stored, %2 key/s at %3 bit/s").arg(n).arg(rate).arg(baud);
                kReport.Result(what + QStringLiteral(": cycles until the erase"),
                               o.erasedAt ? QString::number(o.erasedAt)
                                          : QStringLiteral("none in %1").arg(o.cycles));
                kReport.Result(what + QStringLiteral(": line time, first cycle / wire time"),
                               BenchReport::Seconds(o.firstLine), BenchReport::Seconds(o.firstWire),
                               BenchReport::Ratio(o.firstLine / o.firstWire));
                kReport.Result(
                    what + QStringLiteral(": line time, cycle %1 / wire time").arg(o.cycles),
                    BenchReport::Seconds(o.lastLine), BenchReport::Seconds(o.lastWire),
                    BenchReport::Ratio(o.lastLine / o.lastWire));
                kReport.Result(
                    what + QStringLiteral(": keys presented / stored / in the reader / lost / "
                                          "stored twice"),
                    QStringLiteral("%1 / %2 / %3 / %4 / %5")
                        .arg(o.added)
                        .arg(o.stored)
                        .arg(o.left)
                        .arg(o.lost)
                        .arg(o.doubled));
                if (o.erasedAt)
                    kReport.Result(what + QStringLiteral(": erase window (last count to erase)"),
                                   QStringLiteral("%1 ms").arg(o.windowMs, 0, 'f', 1));
                // A key lost outside the erase window, or any key stored
                // twice, is a wrong result.
                if (o.doubled > 0 || o.lost > (o.erasedAt ? 1 : 0))
                    wrong = true;
            }
        }
        if (wrong) {
            kReport.Result(QStringLiteral("FAILED"),
                           QStringLiteral("registraciones perdidas o almacenadas dos veces"));
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
