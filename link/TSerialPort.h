#pragma once
// The serial line on a terminal device (termios). The production BytePort.
//
// Open, in this order (any failing step ends it, closes the device again and
// throws Exception "No se puede abrir el puerto <Port as configured>. SO
// reporta <system text>"):
//   1. map the port name to a device path (DevicePath) and open it read/write,
//      without becoming its controlling terminal, non-blocking;
//   2. take it exclusively with an flock (held by this process only: it
//      ends with the process however it ends); a second opener, another
//      agent or `agente --check`, gets "Device or resource busy". The
//      terminal's TIOCEXCL flag is not set: it would outlive a killed holder
//      on a pseudo-terminal whose other end a bridge keeps open;
//   3. raw line settings: speed, data bits (low byte of ByteSize, 5..8),
//      parity (none, odd, even, mark, space), stop bits (one; 1.5 is taken as
//      two), receiver on, modem lines ignored, no flow control, no processing
//      (a pseudo-terminal carries 8 data bits without parity only, and
//      refuses other framing as an invalid argument);
//   4. compute the line time-outs into Params (TParams::ComputeLineTimeouts);
//   5. Purge: raise DTR (a pseudo-terminal refuses modem control with ENOTTY,
//      which is ignored) and discard both queues.
// The queue sizes are kept in Params only: the terminal driver sizes its own.
//
// Read works in passes, each waiting with poll(): for its first byte until
// its total deadline (ReadTotalTimeoutConstant + count * ReadTotalTimeoutMultiplier
// ms from the pass's start, the full count every pass), after it at most
// ReadIntervalTimeout ms for each further byte (0 = no interval limit). A
// pass that ends short is followed by another for the missing bytes; Read
// returns fewer than count only when a pass brought nothing, and throws
// EReadTimeout when nothing came at all. A hang-up (the far end of a pseudo-terminal closed,
// an adapter unplugged) is EWin32Error(EIO), never "no data yet".
// Write waits for room until WriteTotalTimeoutConstant + count *
// WriteTotalTimeoutMultiplier ms, then throws EWriteTimeout.
// Other failures: EWin32Error(errno, "Error <errno>, <system text>"); Read and
// Write on a closed port: EWin32Error(EBADF).
//
// Destruction drops DTR and closes. One thread at a time; not copyable.

#include <QList>
#include <QString>

#include "link/BytePort.h"

class TSerialPort : public BytePort {
public:
    TSerialPort() = default;
    ~TSerialPort() override;

    void Open() override;
    int Close() override;
    bool Active() const override { return m_fd >= 0; }
    void Purge() override;
    void DiscardInput() override;
    int Read(QByteArray& buffer, int count) override;
    int Write(const QByteArray& data, int count) override;

    // The device path of a configured port name: a name starting with "/" is
    // a path; otherwise the value of that name in the settings key of ports
    // (RegistryKeys::kPorts of RegistryFile::Process(), names without case);
    // otherwise "COMn" (any case, n >= 1) is /dev/ttyS<n-1>; any other name is
    // taken below /dev.
    static QString DevicePath(const QString& portName);
    // The line speeds (bit/s) that Open can set, lowest first; any other
    // BaudRate makes Open fail with an invalid argument.
    static QList<qint32> Speeds();

private:
    void OpenSteps(const QString& path);
    void ApplyLineSettings();
    void SetDtr(bool raised);
    int ReadPass(QByteArray& buffer, int received, int count);  // bytes this pass brought

    int m_fd = -1;
};
