#include "tests/link/LinkTestSupport.h"

namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;

}  // namespace

QByteArray Hex(const char* spaced) {
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

QByteArray Sealed(const QByteArray& text17) {
    quint8 x = 0;
    for (char c : text17) x ^= quint8(c);
    return text17 + char(x);
}

QDateTime At(int y, int m, int d, int h, int min) {
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

MemoryPort::Responder ScriptedReader::Responder() {
    return [this](MemoryPort& port, const QByteArray& written) {
        auto send = [&](QByteArray answer) {
            if (mangle)
                answer = mangle(answer);
            port.Feed(answer);
        };
        if (written.size() == 1 && written[0] == kAck) {
            ++acks;
            if (cursor >= 0 && ++cursor < records.size()) {
                send(records[cursor]);
            } else {
                cursor = -1;
            }
            return;
        }
        if (written.size() == 1 && written[0] == kNak) {
            ++naks;
            if (cursor >= 0)
                send(records[cursor]);
            return;
        }
        // A request frame: STX 'R' address text ETX check.
        if (written.size() < 5 || written[0] != 0x02)
            return;
        const QByteArray text = written.mid(3, written.size() - 5);
        commands.append(text);
        QByteArray answer(1, kAck);
        if (text == "A") {
            answer += statusA;
        } else if (text == "B") {
            answer += statusB.isEmpty()
                          ? Sealed("B0112091405" +
                                   QByteArray::number(records.size()).rightJustified(5, '0') + "0")
                          : statusB;
        } else if (text == "0") {
            cursor = records.isEmpty() ? -1 : 0;
            if (cursor == 0)
                answer += records[0];
        } else if (text == "2") {
            erased = true;
        }
        send(answer);
    };
}

MemoryLink::MemoryLink(ScriptedReader* reader, bool compat, ClockFn clock)
    : link(compat,
           std::make_unique<MemoryPort>(reader ? reader->Responder() : MemoryPort::Responder{}),
           std::move(clock)),
      m_port(static_cast<MemoryPort*>(&link.Port())) {
    link.Params().SetPort("memoria");
    link.Connect();
    link.SetAddress('A');
}

PtyLink::PtyLink(QString readers, qint32 readTimeoutMs, ClockFn clock, bool compat)
    : line(clock, 7), link(compat, std::make_unique<TSerialPort>(), clock) {
    for (QChar a : readers) line.AddReader(a).SetFixedClock(clock());
    line.Start();
    link.Params().SetReadTimeout(readTimeoutMs);
    link.Params().SetWriteTimeout(1000);
}

void PtyLink::Connect(QChar address) {
    link.Disconnect();
    link.Params().SetPort(line.DevicePath());
    if (!link.Connect())
        throw Exception(link.ConnectError());
    link.SetAddress(address);
}
