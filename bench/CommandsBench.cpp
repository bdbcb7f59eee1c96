// Commands: 50 commands queued for one reader (kelvordb encolar, ALTA of 50
// keys), sent in one cycle of the real communication thread ("Comandos" 50)
// over a simulated line that paces its answers at 9600 bit/s.
//
//   measured: the command part of the cycle, from the thread's row
//   "Comienza procesamiento de comandos" to "Finaliza procesamiento de
//   comandos", as a visible window receives them (TimingView);
//   floor: the wire time of the frames and the reader's ACKs (WireTime).
//
// The rows also split the time: sending (each command's progress row to its
// OK), deleting the delivered row (its progress row to its OK), and the rest
// (the reader look-up per command, the connection, the rows themselves). As
// in the line benchmark, the pseudo-terminal does not pace the agent's own
// bytes; the projected ratio adds their wire time.
//
// With --echo the line's converter hands back every byte the agent sends
// (the simulator's echo, paced at the line's byte time, no latency timer) and
// the thread runs with "Eco" 2, as installed. The echo paces the agent's own
// bytes as the wire would, so the elapsed time is the projected one; the
// floor stays the wire time of frames and ACKs (the echo's bytes are the
// agent's bytes on the wire). The plain client, which knows no echo, is not
// run then.
//
// Options: --commands N (50), --baud B (9600), --echo.

#include <QCoreApplication>

#include "bench/BenchDatabase.h"
#include "bench/BenchReport.h"
#include "bench/BenchSite.h"
#include "bench/PlainLineClient.h"
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

const BenchReport kReport(QStringLiteral("3 commands"));

// The seconds from a new row to the state change that follows it.
double StepSeconds(const TimingView& view, int row) {
    const auto& rows = view.Rows();
    if (row + 1 >= int(rows.size()) || !rows[size_t(row) + 1].update)
        throw Exception(
            QStringLiteral("La fila \"%1\" no tiene resultado").arg(rows[size_t(row)].mensaje));
    if (rows[size_t(row) + 1].estado != QLatin1String("OK"))
        throw Exception(QStringLiteral("\"%1\" terminó con \"%2\"")
                            .arg(rows[size_t(row)].mensaje, rows[size_t(row) + 1].estado));
    return view.SecondsBetween(row, row + 1);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int n = BenchReport::IntOption(args, "--commands", 50);
        const int baud = BenchReport::IntOption(args, "--baud", 9600);
        const bool echo = args.contains(QStringLiteral("--echo"));
        BenchSite site(QStringLiteral("commands"));

        TConfig config = BenchSite::AgentConfig(1);
        config.Comandos = n;
        config.Eco = 2;
        BenchDb db;
        db.database = site.File("kelvor.db");
        const QString settings = site.WriteSettings("registry.reg", config, db);
        const QString linePath = site.File("ttyA");
        BenchDatabase::Create(settings, linePath, 0);

        WireTime wire(baud);
        QList<QByteArray> frames;  // the command texts that go out, for the plain client
        kReport.Note(QStringLiteral("queueing %1 commands with kelvordb encolar").arg(n));
        for (int key = 1; key <= n; ++key) {
            const QString texto = QString::asprintf("%05d11", key);
            BenchSite::Kelvordb(settings, {"encolar", "1", "A1", "ALTA", texto});
            frames << "5" + texto.toLatin1();
            wire.Command(frames.back());
        }

        SimulatedLine line;
        line.SetLinkPath(linePath);
        SimScript::Apply(
            SimScript::Tokenize(QStringLiteral("--reader A --baud %1 --fault speed").arg(baud)),
            line);
        line.SetEcho(echo, 0);
        line.Start();

        RegistryFile::SetProcessPath(settings);
        TDM dm;
        dm.SetConfig(&config);
        TimingView view;
        AgentServices services;
        services.view = &view;
        services.config = &config;
        services.dm = &dm;
        {
            TComunicationThread thread(true, services);
            thread.SetCycleLimit(1);
            thread.Resume();
            thread.WaitForEnd();
        }

        const int first = view.Find(QStringLiteral("Comienza procesamiento de comandos"));
        const int last = view.Find(QStringLiteral("Finaliza procesamiento de comandos"), first);
        if (first < 0 || last < 0)
            throw Exception(QStringLiteral("El ciclo no procesó los comandos"));
        const double measured = view.SecondsBetween(first, last);

        double sending = 0, deleting = 0;
        int sent = 0;
        for (int row = view.Find(QStringLiteral("Enviando alta("), first); row >= 0 && row < last;
             row = view.Find(QStringLiteral("Enviando alta("), row + 1)) {
            sending += StepSeconds(view, row);
            const int del = view.Find(QStringLiteral("Borrando comando de la base de datos"), row);
            if (del < 0 || del > last)
                throw Exception(QStringLiteral("Un comando enviado no se borró"));
            deleting += StepSeconds(view, del);
            ++sent;
        }
        const qint64 left =
            BenchDatabase(settings).Count(QStringLiteral("SELECT COUNT(*) FROM COMANDO"));
        const qsizetype keys = line.Reader('A')->Keys().size();
        if (sent != n || left != 0 || keys != n)
            throw Exception(QStringLiteral("%1 comandos enviados, %2 quedan en COMANDO, el "
                                           "registrador tiene %3 llaves; se esperaban %4, 0, %4")
                                .arg(sent)
                                .arg(left)
                                .arg(keys)
                                .arg(n));

        const QString what = QStringLiteral("%1 commands at %2 bit/s").arg(n).arg(baud);
        if (echo) {
            if (line.EchoedBytes() < wire.AgentBytes())
                throw Exception(QStringLiteral("La línea devolvió %1 bytes de eco de %2")
                                    .arg(line.EchoedBytes())
                                    .arg(wire.AgentBytes()));
            kReport.Result(what + QStringLiteral(": with echo, projected (elapsed) / wire time"),
                           BenchReport::Seconds(measured), BenchReport::Seconds(wire.Seconds()),
                           BenchReport::Ratio(measured / wire.Seconds()));
            kReport.Result(what + QStringLiteral(": with echo, split send / delete / rest"),
                           QStringLiteral("%1 / %2 / %3")
                               .arg(BenchReport::Seconds(sending), BenchReport::Seconds(deleting),
                                    BenchReport::Seconds(measured - sending - deleting)));
            return 0;
        }

        // The same exchanges by the simplest client: what the simulated line
        // itself takes to answer them.
        double plain = 0;
        {
            PlainLineClient client(line.DevicePath(), baud);
            for (const QByteArray& text : frames) plain += client.Command('A', text);
        }

        kReport.Result(what + QStringLiteral(": elapsed / wire time"),
                       BenchReport::Seconds(measured), BenchReport::Seconds(wire.Seconds()),
                       BenchReport::Ratio(measured / wire.Seconds()));
        kReport.Result(what + QStringLiteral(": projected with the agent's bytes paced"),
                       BenchReport::Seconds(measured + wire.AgentSeconds()),
                       BenchReport::Seconds(wire.Seconds()),
                       BenchReport::Ratio((measured + wire.AgentSeconds()) / wire.Seconds()));
        kReport.Result(what + QStringLiteral(": sending / plain client's exchanges"),
                       BenchReport::Seconds(sending), BenchReport::Seconds(plain),
                       BenchReport::Ratio(sending / plain));
        kReport.Result(what + QStringLiteral(": split send / delete / rest"),
                       QStringLiteral("%1 / %2 / %3")
                           .arg(BenchReport::Seconds(sending), BenchReport::Seconds(deleting),
                                BenchReport::Seconds(measured - sending - deleting)));
        kReport.Note(QStringLiteral("per command: %1 ms (send %2, delete %3; plain client's "
                                    "exchange %6); wire %4 ms, of which the reader's ACK %5 ms")
                         .arg(1e3 * measured / n, 0, 'f', 2)
                         .arg(1e3 * sending / n, 0, 'f', 2)
                         .arg(1e3 * deleting / n, 0, 'f', 2)
                         .arg(1e3 * wire.Seconds() / n, 0, 'f', 2)
                         .arg(1e3 * wire.ReaderSeconds() / n, 0, 'f', 2)
                         .arg(1e3 * plain / n, 0, 'f', 2));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
