#pragma once
// The narrow seam between the reader protocol and the device that carries its
// bytes. Production uses TSerialPort (a terminal device); tests may use
// MemoryPort (bytes in memory, no waiting).
//
// Contract for every implementation:
// - Open: opens and configures the device from Params(); on any failure throws
//   Exception "No se puede abrir el puerto %s. SO reporta %s" and leaves the
//   port closed (Active() false).
// - Close: closes; always ends closed; never throws.
// - Purge: raises DTR and discards both queues. DiscardInput: discards only
//   what has arrived and was not read yet (bytes already written keep going).
// - Read(buffer, count): buffer is sized count + 10; returns exactly count
//   bytes, or fewer (>= 1) when the line went quiet; throws EReadTimeout
//   "No se recibieron datos dentro del tiempo estipulado" when nothing came,
//   EWin32Error when the line is lost or the device fails (also when closed).
// - Write(data, count): sends the first count bytes; throws EWriteTimeout
//   "Timeout de escritura" when not done in time, EWin32Error on device errors.
//
// Ownership and threads: a port owns its TParams; one thread at a time uses a
// port (the communication thread), one transfer at a time.

#include <QByteArray>

#include "link/TParams.h"

class BytePort {
public:
    BytePort() : m_params(*this) {}
    virtual ~BytePort() = default;
    BytePort(const BytePort&) = delete;
    BytePort& operator=(const BytePort&) = delete;

    virtual void Open() = 0;
    virtual int Close() = 0;
    virtual bool Active() const = 0;
    virtual void Purge() = 0;
    virtual void DiscardInput() = 0;
    virtual int Read(QByteArray& buffer, int count) = 0;
    virtual int Write(const QByteArray& data, int count) = 0;

    TParams& Params() { return m_params; }
    const TParams& Params() const { return m_params; }

    // A parameter change takes effect at once on an open port; a closed port
    // only keeps the new values for its next Open.
    void Reopen() {
        if (Active()) {
            Close();
            Open();
        }
    }

private:
    TParams m_params;
};
