// Line utilisation: the read pass of a reader holding 500 registrations on a
// simulated line that gives every answer byte the time it takes at 9600 bit/s
// (the simulator's "speed" fault; the reader understands only 9600 bit/s).
//
//   floor: the wire time of the pass, both directions, 10 bits per byte
//   (WireTime); and the same pass done by the simplest client
//   (PlainLineClient) on the same line, which shows what the simulated line
//   itself costs;
//   measured: the link's ReadRegistrations.
//
// A pseudo-terminal carries the agent's own bytes (its frame and one ACK per
// record) at once, whatever the speed: only the reader's answers are paced.
// The "projected" ratio adds the wire time of the agent's bytes to the
// measured time, which is what a real line would add.
//
// With echo: the same pass again on the line with the converter's echo on
// (the simulator hands back every byte the agent writes, paced at the line's
// byte time, with no latency timer), the link in its automatic mode. The
// echo paces the agent's own bytes as the wire would, so the elapsed time is
// already the projected one; the floor is the same wire time, the echo's
// bytes being the agent's bytes on the wire.
//
// Options: --registrations N (500), --baud B (9600).

#include <QCoreApplication>
#include <QThread>

#include "bench/BenchReport.h"
#include "bench/PlainLineClient.h"
#include "bench/WireTime.h"
#include "link/TListaFichadas.h"
#include "link/TRedKelvorII.h"
#include "shell/Errors.h"
#include "tools/simulador/SimScript.h"
#include "tools/simulador/SimulatedLine.h"
#include "tools/simulador/SimulatedReader.h"

namespace {
const BenchReport kReport(QStringLiteral("2 line"));
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        const QStringList args = app.arguments();
        const int n = BenchReport::IntOption(args, "--registrations", 500);
        const int baud = BenchReport::IntOption(args, "--baud", 9600);

        SimulatedLine line;
        SimScript::Apply(SimScript::Tokenize(QStringLiteral("--reader A --bulk %1 --baud %2 "
                                                            "--fault speed")
                                                 .arg(n)
                                                 .arg(baud)),
                         line);
        line.Start();
        SimulatedReader& reader = *line.Reader('A');

        WireTime wire(baud);
        wire.ReadPass(n);

        kReport.Note(QStringLiteral("plain client: %1 records at %2 bit/s").arg(n).arg(baud));
        double plain = 0;
        {
            PlainLineClient client(line.DevicePath(), baud);
            plain = client.ReadPass('A', n);
        }

        TRedKelvorII link(false);
        link.Params().SetPort(line.DevicePath());
        link.Params().SetBaudRate(baud);
        link.Params().SetReadTimeout(1000);
        link.Params().SetWriteTimeout(1000);
        link.SetMaxRetries(3);
        if (!link.Connect())
            throw Exception(link.ConnectError());
        link.SetAddress('A');
        link.Initialize();
        const int naks = reader.NaksReceived();
        kReport.Note(QStringLiteral("agent's link: %1 records at %2 bit/s").arg(n).arg(baud));
        TListaFichadas list;
        Stopwatch w;
        link.ReadRegistrations(list);
        const double measured = w.Seconds();
        if (list.Count() != n || link.Data().Rechazadas != 0 || reader.NaksReceived() != naks)
            throw Exception(QStringLiteral("Se leyeron %1 de %2 registraciones (%3 rechazadas, %4 "
                                           "NAK): la cuenta de bytes no vale")
                                .arg(list.Count())
                                .arg(n)
                                .arg(link.Data().Rechazadas)
                                .arg(reader.NaksReceived() - naks));

        const QString what = QStringLiteral("read pass, %1 records at %2 bit/s").arg(n).arg(baud);
        kReport.Result(what + QStringLiteral(": elapsed / wire time"),
                       BenchReport::Seconds(measured), BenchReport::Seconds(wire.Seconds()),
                       BenchReport::Ratio(measured / wire.Seconds()));
        kReport.Result(what + QStringLiteral(": projected with the agent's bytes paced"),
                       BenchReport::Seconds(measured + wire.AgentSeconds()),
                       BenchReport::Seconds(wire.Seconds()),
                       BenchReport::Ratio((measured + wire.AgentSeconds()) / wire.Seconds()));
        kReport.Result(what + QStringLiteral(": plain client / wire time"),
                       BenchReport::Seconds(plain), BenchReport::Seconds(wire.Seconds()),
                       BenchReport::Ratio(plain / wire.Seconds()));
        kReport.Result(what + QStringLiteral(": agent's link / plain client"),
                       BenchReport::Seconds(measured), BenchReport::Seconds(plain),
                       BenchReport::Ratio(measured / plain));
        kReport.Note(QStringLiteral("wire: %1 bytes from the agent (%2), %3 from the reader (%4)")
                         .arg(wire.AgentBytes())
                         .arg(BenchReport::Seconds(wire.AgentSeconds()))
                         .arg(wire.ReaderBytes())
                         .arg(BenchReport::Seconds(wire.ReaderSeconds())));
        kReport.Note(QStringLiteral("per record: agent %1 ms, plain %2 ms, reader's bytes on the "
                                    "wire %3 ms")
                         .arg(1e3 * measured / n, 0, 'f', 3)
                         .arg(1e3 * plain / n, 0, 'f', 3)
                         .arg(1e3 * wire.ReaderSeconds() / n, 0, 'f', 3));

        // The echo pass: the reader still holds its registrations (nothing
        // was erased). The link's last ACK may still be on its way through
        // the line when the echo is switched on, and would come back after
        // the next write's discard: let the line settle, then connect anew
        // (the open purges both queues) as the thread does for every reader.
        line.SetEcho(true, 0);
        QThread::msleep(100);
        link.Disconnect();
        if (!link.Connect())
            throw Exception(link.ConnectError());
        link.SetAddress('A');
        link.Initialize();
        if (!link.Echo().LineEchoes())
            throw Exception(QStringLiteral("El enlace no vio el eco de la línea"));
        const int naksBefore = reader.NaksReceived();
        const quint64 faultsBefore = link.Echo().EchoFaults();
        const qint64 echoedBefore = line.EchoedBytes();
        kReport.Note(QStringLiteral("agent's link, line with echo: %1 records at %2 bit/s")
                         .arg(n)
                         .arg(baud));
        Stopwatch we;
        link.ReadRegistrations(list);
        const double echoed = we.Seconds();
        if (list.Count() != n || reader.NaksReceived() != naksBefore ||
            link.Echo().EchoFaults() != faultsBefore)
            throw Exception(QStringLiteral("Con eco se leyeron %1 de %2 registraciones (%3 NAK, "
                                           "%4 ecos distintos)")
                                .arg(list.Count())
                                .arg(n)
                                .arg(reader.NaksReceived() - naksBefore)
                                .arg(link.Echo().EchoFaults() - faultsBefore));
        if (line.EchoedBytes() - echoedBefore != wire.AgentBytes())
            throw Exception(QStringLiteral("La línea devolvió %1 bytes de eco; el agente envió %2")
                                .arg(line.EchoedBytes() - echoedBefore)
                                .arg(wire.AgentBytes()));
        kReport.Result(what + QStringLiteral(": with echo, projected (elapsed) / wire time"),
                       BenchReport::Seconds(echoed), BenchReport::Seconds(wire.Seconds()),
                       BenchReport::Ratio(echoed / wire.Seconds()));
        kReport.Result(what + QStringLiteral(": with echo / projected without"),
                       BenchReport::Seconds(echoed),
                       BenchReport::Seconds(measured + wire.AgentSeconds()),
                       BenchReport::Ratio(echoed / (measured + wire.AgentSeconds())));
        return 0;
    } catch (const std::exception& e) {
        kReport.Result(QStringLiteral("FAILED"), QString::fromLocal8Bit(e.what()));
        return 1;
    }
}
