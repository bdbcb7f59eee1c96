#pragma once
// Helpers of the link tests: byte texts, a scripted far end for the in-memory
// port, and a link on a pseudo-terminal served by the simulator.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <functional>
#include <memory>

#include "link/MemoryPort.h"
#include "link/TRedKelvorII.h"
#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "tools/simulador/SimulatedLine.h"

// "02 52 41 30 03 22" -> bytes.
QByteArray Hex(const char* spaced);
// An 18-byte record: text17 plus the exclusive-or of its bytes (computed here,
// independently of the code under test).
QByteArray Sealed(const QByteArray& text17);
// 10 March 2026 12:00 and other fixed moments for the year rule.
QDateTime At(int y, int m, int d, int h = 12, int min = 0);

// A far end for MemoryPort that answers like a reader with the given stored
// records: ACK to every frame, status records after "A" and "B", the records
// after "0", the next after each ACK, the same after a NAK. Answers pass
// through `mangle` (when set) before they are queued, one burst per answer.
class ScriptedReader {
public:
    explicit ScriptedReader(QList<QByteArray> records = {}) : records(std::move(records)) {}
    MemoryPort::Responder Responder();

    QList<QByteArray> records;  // 18 bytes each
    QByteArray statusA = Sealed("A0012091405V1.000");
    QByteArray statusB;  // empty: built from records.size()
    std::function<QByteArray(const QByteArray& answer)> mangle;
    QList<QByteArray> commands;  // command texts of the frames received
    int acks = 0, naks = 0;
    bool erased = false;

private:
    int cursor = -1;
};

// A second-generation link on an in-memory port; port() reaches the port.
struct MemoryLink {
    explicit MemoryLink(ScriptedReader* reader, bool compat = false,
                        ClockFn clock = FixedClock(At(2026, 12, 9, 14, 5)));
    MemoryPort& port() { return *m_port; }
    TRedKelvorII link;

private:
    MemoryPort* m_port;
};

// A link on a pseudo-terminal served by a simulated line (started).
struct PtyLink {
    explicit PtyLink(QString readers = "A", qint32 readTimeoutMs = 1000,
                     ClockFn clock = FixedClock(At(2026, 12, 9, 14, 5)), bool compat = false);
    SimulatedReader& reader(QChar a) { return *line.Reader(a); }
    // Connects to the line at its path and selects the address.
    void Connect(QChar address = 'A');

    SimulatedLine line;
    TRedKelvorII link;
};
