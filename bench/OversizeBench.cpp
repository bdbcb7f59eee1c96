// Oversize command texts: the peak memory of the real agent program
// (headless, three cycles) whose queue holds a command text of 20 MiB among
// ordinary commands, against the same run without it.
//
//   measured: the agent's peak resident set (VmHWM of /proc/<pid>/status,
//   read every 10 ms while it runs) with the 20 MiB row queued;
//   floor: the same figure for the same queue without that row, in the same
//   run.
//
// The agent must deliver and delete the ordinary commands and keep the big
// row in the table; otherwise the benchmark fails. The big text is written
// straight into the SQLite file (kelvordb would hold it in memory itself).
//
// Options: --mib N (20), --commands N (10).

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include "bench/AgentProcess.h"
#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "shell/Errors.h"
#include "shell/TConfig.h"
#include "tools/simulador/SimScript.h"
#include "tools/simulador/SimulatedLine.h"

namespace {

const BenchReport kReport(QStringLiteral("6 oversize"));

qint64 PeakKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// One agent run on a fresh site; returns its peak in KiB.
qint64 Run(int commands, int mib) {
    BenchSite site(QStringLiteral("oversize"));
    TConfig config = BenchSite::AgentConfig(1);
    config.Comandos = commands + 1;
    BenchDb db;
    db.database = site.File("kelvor.db");
    const QString settings = site.WriteSettings("registry.reg", config, db);
    const QString linePath = site.File("ttyA");
    BenchDatabase::Create(settings, linePath, 0);
    {
        BenchDatabase database(settings);
        const QString insert = QStringLiteral(
            "INSERT INTO COMANDO (IdEstacion, IdRegistrador, CodComando, Texto, FechaHora) "
            "VALUES (1, 'A1', ?, ?, '2026-01-01 00:00:00.000')");
        for (int key = 1; key <= commands; ++key) {
            database.Exec(insert, {QStringLiteral("BAJA"), QString::asprintf("%05d", key)});
            if (key == commands / 2 && mib > 0)
                database.Exec(
                    insert, {QStringLiteral("BAJA"), QString(qsizetype(mib) * 1024 * 1024, u'0')});
        }
    }

    SimulatedLine line;
    line.SetLinkPath(linePath);
    SimScript::Apply(SimScript::Tokenize(QStringLiteral("--reader A")), line);
    line.Start();

    AgentProcess agent(settings, site.File("log"), 3);
    agent.Start();
    const qint64 pid = agent.ProcessId();
    qint64 peak = 0;
    Stopwatch watch;
    while (agent.ProcessId() != 0 && watch.Seconds() < 120) {
        peak = qMax(peak, PeakKb(pid));
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    agent.Wait(120000);

    BenchDatabase database(settings);
    const qint64 left = database.Count(QStringLiteral("SELECT COUNT(*) FROM COMANDO"));
    const qint64 big =
        database.Count(QStringLiteral("SELECT COUNT(*) FROM COMANDO WHERE length(Texto) > 5000"));
    if (left != (mib > 0 ? 1 : 0) || big != left)
        throw Exception(
            QStringLiteral("Quedan %1 comandos en COMANDO (%2 grandes)").arg(left).arg(big));
    if (peak <= 0)
        throw Exception(QStringLiteral("No se pudo leer la memoria del agente"));
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int mib = BenchReport::IntOption(args, "--mib", 20);
        const int commands = BenchReport::IntOption(args, "--commands", 10);
        const qint64 floor = Run(commands, 0);
        const qint64 measured = Run(commands, mib);
        auto mb = [](qint64 kb) { return QStringLiteral("%1 MB").arg(kb / 1024.0, 0, 'f', 1); };
        kReport.Result(QStringLiteral("peak memory with a %1 MiB command among %2 / without it")
                           .arg(mib)
                           .arg(commands),
                       mb(measured), mb(floor),
                       BenchReport::Ratio(double(measured) / double(floor)));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
