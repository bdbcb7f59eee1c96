#pragma once
// The agent's own bytes coming back on its line. Two-wire RS-485 converters
// often keep their receiver on while they transmit, so every byte the agent
// writes (a request frame, its ACK or NAK after a record) is read back ahead
// of the reader's answer. This layer sits between the protocol and its port:
// the protocol writes through Send and reads through Read, and the echo of
// each write is set aside, byte for byte and in order, before the answer is
// read. The exchanges, their retries and the framing know nothing of it.
//
// Modes (the setting "Eco"):
// - Off: nothing is read ahead; every byte read is the answer.
// - On: every write must come back whole and unchanged before its answer.
// - Auto: a request frame's echo is set aside only when the input begins with
//   exactly that frame; any other input is handed to the protocol untouched.
//   A reader's answer to a frame begins with ACK (or is already a failed
//   try), never with STX, so no good answer is ever taken for an echo. One
//   byte is different: the record a reader sends after the agent's ACK may
//   begin with any byte, ACK included, so the echo of ACK or NAK is set aside
//   only once a frame has come back echoed on this connection (Reset forgets
//   it). After that the line is known to echo and a frame whose input differs
//   from it is an echo fault, as in On.
//
// Echo faults: Send returns false when an expected echo is missing, short or
// differs (a collision or noise on the bus); the protocol counts that as a
// failed try of the exchange, as it does a garbled answer. After a complete
// but different echo the answer is still read (and ignored by the caller), so
// a late answer never meets the next try; after a missing or short echo the
// line has already been quiet for a whole read time-out, so the next Read
// reports the time-out at once instead of waiting it again.
//
// Time-outs: the echo is read with the port's own read time-out for the
// bytes written (it comes back with the adapter's latency); the answer's
// time-out starts only when the echo is in.
//
// Ownership and threads: refers to a port it does not own, which must outlive
// it; used by the one thread that uses the port. Throws what the port throws
// (EWriteTimeout, EWin32Error); read time-outs inside the echo check are
// absorbed into Send's result.

#include <QByteArray>

class BytePort;

enum class EchoMode : qint32 { Off = 0, On = 1, Auto = 2 };

class LineEcho {
public:
    explicit LineEcho(BytePort& port) : m_port(port) {}

    // The mode of a setting's value: 0 off, 1 on, anything else automatic
    // (the default, and the safe choice for a value nobody meant).
    static EchoMode ModeOf(qint32 setting);

    void SetMode(EchoMode mode) { m_mode = mode; }
    EchoMode Mode() const { return m_mode; }
    // A new connection: what the line did before says nothing about it now.
    void Reset();

    // Discards unread input, writes data, then sets its echo aside as the
    // mode asks. False on an echo fault (see above).
    bool Send(const QByteArray& data);
    // BytePort::Read, served first from input the echo check read ahead.
    int Read(QByteArray& buffer, int count);

    // A frame has come back echoed since the last Reset (in On or Auto).
    bool LineEchoes() const { return m_lineEchoes; }
    // Writes whose echo was set aside, and echo faults, since construction.
    quint64 EchoesSetAside() const { return m_setAside; }
    quint64 EchoFaults() const { return m_faults; }

private:
    // Reads up to count bytes; fewer when the line went quiet (none on a
    // time-out). Never throws a read time-out.
    QByteArray ReadUpTo(int count);
    bool Expect(const QByteArray& sent);
    bool Detect(const QByteArray& sent);
    bool Fault(bool quiet);

    BytePort& m_port;
    EchoMode m_mode = EchoMode::Auto;
    bool m_lineEchoes = false;
    QByteArray m_ahead;    // input read while looking for an echo that was not one
    bool m_quiet = false;  // the line fell silent during the echo check
    quint64 m_setAside = 0;
    quint64 m_faults = 0;
};
