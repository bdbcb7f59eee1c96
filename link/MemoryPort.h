#pragma once
// A line in memory, for tests of the protocol without a device: what the
// protocol writes is recorded and handed to a responder, which queues what the
// far end sends back. Nothing ever waits, so thousands of exchanges run in
// moments and every case is reproducible.
//
// The far end's bytes arrive in bursts: Feed(burst) queues bytes that follow
// each other without a gap. A Read takes bytes from the first burst only and
// returns early at its end (the line went quiet), as a device read with an
// interval time-out does; with nothing queued it throws EReadTimeout at once
// (the time-out has, in effect, passed).
//
// Faults: SetLost(true) makes Read and Write fail with EWin32Error(EIO) (an
// unplugged line); SetOpenError(errno) makes Open fail; SetWriteStalled(true)
// makes Write throw EWriteTimeout.
//
// Thread: one thread only (the test's), like every port.

#include <QByteArray>
#include <QList>
#include <functional>

#include "link/BytePort.h"

class MemoryPort : public BytePort {
public:
    // Called after every Write with the bytes just written; it may Feed answers.
    using Responder = std::function<void(MemoryPort& port, const QByteArray& written)>;

    explicit MemoryPort(Responder responder = {}) : m_responder(std::move(responder)) {}

    void Open() override;
    int Close() override;
    bool Active() const override { return m_active; }
    void Purge() override { m_bursts.clear(); }
    void DiscardInput() override { m_bursts.clear(); }
    int Read(QByteArray& buffer, int count) override;
    int Write(const QByteArray& data, int count) override;

    // Far end.
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    void Feed(const QByteArray& burst);
    void SetLost(bool lost) { m_lost = lost; }
    void SetOpenError(int err) { m_openError = err; }
    void SetWriteStalled(bool stalled) { m_writeStalled = stalled; }

    // What the protocol did.
    const QList<QByteArray>& Writes() const { return m_writes; }
    void ClearWrites() { m_writes.clear(); }
    int OpenCount() const { return m_openCount; }
    qsizetype Pending() const;  // bytes queued and not read yet

private:
    Responder m_responder;
    QList<QByteArray> m_bursts;
    QList<QByteArray> m_writes;
    bool m_active = false;
    bool m_lost = false;
    bool m_writeStalled = false;
    int m_openError = 0;
    int m_openCount = 0;
};
