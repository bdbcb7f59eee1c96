#pragma once
// The bytes that must cross the serial line for an exchange, in each
// direction, and the time they take on the wire: 10 bits per byte (start bit,
// 8 data bits, stop bit) at the line's speed. This is the floor of the line
// figures: no program can move those bytes faster on a real line.
//
// The counts follow the reader protocol, not the agent's code:
//   request frame: STX 'R' address command-text ETX check (5 + text bytes)
//   answers: one byte (ACK) or an 18-byte record; the agent acknowledges each
//   status or registration record with one byte.
//
// A plain value; any thread.

#include <QByteArray>

class WireTime {
public:
    explicit WireTime(int baud) : m_baud(baud) {}

    void AgentFrame(const QByteArray& commandText) { m_agent += 5 + commandText.size(); }
    void AgentByte() { m_agent += 1; }
    void ReaderByte() { m_reader += 1; }
    void ReaderRecord() { m_reader += 18; }

    // ReadRegistrations of n registrations: frame "0", the reader's ACK, then
    // per registration its record and the agent's ACK.
    void ReadPass(int registrations);
    // One command: its frame and the reader's ACK.
    void Command(const QByteArray& commandText);

    qint64 AgentBytes() const { return m_agent; }
    qint64 ReaderBytes() const { return m_reader; }
    qint64 Bytes() const { return m_agent + m_reader; }
    double Seconds() const { return SecondsOf(Bytes()); }
    double AgentSeconds() const { return SecondsOf(m_agent); }
    double ReaderSeconds() const { return SecondsOf(m_reader); }

private:
    double SecondsOf(qint64 bytes) const { return double(bytes) * 10.0 / double(m_baud); }

    int m_baud;
    qint64 m_agent = 0;
    qint64 m_reader = 0;
};
