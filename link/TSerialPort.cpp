#include "link/TSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QRegularExpression>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "shell/Errors.h"
#include "shell/RegistryFile.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

QString SystemText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

[[noreturn]] void ThrowIoError(int err) {
    throw EWin32Error(err, QStringLiteral("Error %1, %2").arg(err).arg(SystemText(err)));
}

// The wait itself failed (not the transfer).
[[noreturn]] void ThrowWaitError(int err) {
    throw EOSError(QStringLiteral("Error %1, %2").arg(err).arg(SystemText(err)));
}

// A failed step of Open; Open turns it into its own message with the
// system's text, so the errno is kept rather than a formatted message.
struct OpenFailure {
    int err;
};

[[noreturn]] void FailOpen(int err) {
    throw OpenFailure{err};
}

int RemainingMs(SteadyClock::time_point deadline) {
    // Rounded up: a wait never ends before its deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(qMin<qint64>(left.count(), 1 << 30));
}

SteadyClock::time_point Deadline(quint32 constant, quint32 multiplier, int count) {
    const qint64 ms = qint64(constant) + qint64(count) * qint64(multiplier);
    return SteadyClock::now() + std::chrono::milliseconds(ms);
}

struct SpeedCode {
    qint32 baud;
    speed_t code;
};

const SpeedCode kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

bool SpeedConstant(qint32 baud, speed_t* out) {
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            *out = s.code;
            return true;
        }
    }
    return false;
}

}  // namespace

TSerialPort::~TSerialPort() {
    if (Active()) {
        try {
            SetDtr(false);
        } catch (const Exception&) {
            // The line is being released anyway; a device that refuses to drop
            // DTR at this point has nothing left to report to.
        }
        Close();
    }
}

QString TSerialPort::DevicePath(const QString& portName) {
    if (portName.startsWith('/'))
        return portName;
    if (const auto key = RegistryFile::Process().OpenKeyRead(RegistryKeys::kPorts)) {
        if (const auto mapped = key->ReadString(portName); mapped && !mapped->isEmpty()) {
            return *mapped;
        }
    }
    static const QRegularExpression com(QStringLiteral("^COM([0-9]{1,6})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (const auto m = com.match(portName); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        if (n >= 1)
            return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    }
    return QStringLiteral("/dev/") + portName;
}

QList<qint32> TSerialPort::Speeds() {
    QList<qint32> out;
    for (const auto& s : kSpeeds) out << s.baud;
    return out;
}

void TSerialPort::Open() {
    if (Active())
        Close();
    const QString name = Params().Port();
    QString reason;
    try {
        OpenSteps(DevicePath(name));
        return;
    } catch (const OpenFailure& f) {
        reason = SystemText(f.err);
    } catch (const Exception& e) {
        reason = e.Message();
    }
    // A half-configured device never stays open: the caller sees a closed port.
    Close();
    throw Exception(
        QStringLiteral("No se puede abrir el puerto %1. SO reporta %2").arg(name, reason));
}

void TSerialPort::OpenSteps(const QString& path) {
    const int fd =
        ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        FailOpen(errno);
    m_fd = fd;
    // Agents are kept apart by the flock alone. The kernel drops it with the
    // last descriptor of its holder, however the holder ends (SIGKILL, a
    // crash, the watchdog). The terminal's own exclusive flag (TIOCEXCL) is
    // not used: on a pseudo-terminal whose other end stays open (a bridge
    // such as socat or ser2net) it outlives a killed holder, and only a
    // process with CAP_SYS_ADMIN passes it, so an unprivileged successor
    // would be refused the line for ever.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
        FailOpen(errno == EWOULDBLOCK ? EBUSY : errno);
    ApplyLineSettings();
    Params().UpdateLineTimeouts();
    int dtr = TIOCM_DTR;
    if (::ioctl(m_fd, TIOCMBIS, &dtr) != 0 && errno != ENOTTY)
        FailOpen(errno);
    if (::tcflush(m_fd, TCIOFLUSH) != 0)
        FailOpen(errno);
}

void TSerialPort::ApplyLineSettings() {
    const TParams& p = Params();
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0)
        FailOpen(errno);
    // Raw bytes both ways: the frames carry control characters (STX, ETX, ACK,
    // NAK) and check bytes of any value, which no line processing may touch.
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CREAD | CLOCAL;
    switch (p.ByteSize() & 0xFF) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            FailOpen(EINVAL);
    }
    switch (p.Parity()) {
        case 0:
            break;
        case 1:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            tio.c_cflag |= PARENB;
            break;
        case 3:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            FailOpen(EINVAL);
    }
    switch (p.StopBits()) {
        case 0:
            break;
        case 1:  // one and a half does not exist here; two is the safe side
        case 2:
            tio.c_cflag |= CSTOPB;
            break;
        default:
            FailOpen(EINVAL);
    }
    speed_t speed;
    if (!SpeedConstant(p.BaudRate(), &speed))
        FailOpen(EINVAL);
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
        FailOpen(errno);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
        FailOpen(errno);
}

int TSerialPort::Close() {
    if (m_fd < 0)
        return 0;
    const int result = ::close(m_fd);
    m_fd = -1;
    return result;
}

void TSerialPort::SetDtr(bool raised) {
    if (!Active())
        ThrowIoError(EBADF);
    int dtr = TIOCM_DTR;
    if (::ioctl(m_fd, raised ? TIOCMBIS : TIOCMBIC, &dtr) != 0 && errno != ENOTTY) {
        ThrowIoError(errno);
    }
}

void TSerialPort::Purge() {
    SetDtr(true);
    if (::tcflush(m_fd, TCIOFLUSH) != 0)
        ThrowIoError(errno);
}

void TSerialPort::DiscardInput() {
    if (!Active())
        ThrowIoError(EBADF);
    if (::tcflush(m_fd, TCIFLUSH) != 0)
        ThrowIoError(errno);
}

int TSerialPort::Read(QByteArray& buffer, int count) {
    count = qMax(count, 0);
    buffer.fill('\0', count + 10);
    if (!Active())
        ThrowIoError(EBADF);
    if (count == 0)
        return 0;
    // Passes: one pass waits for its first byte up to the whole time-out and
    // ends when the line pauses longer than the interval time-out; the next
    // pass collects what is still missing. Adapters and converters deliver an
    // answer in pieces with such pauses (a USB latency timer of 16 ms is
    // longer than the 10 ms interval at 19200 bit/s), so only a pass that
    // brings nothing ends the read short.
    int received = 0;
    while (received < count) {
        const int pass = ReadPass(buffer, received, count);
        if (pass == 0)
            break;
        received += pass;
    }
    if (received == 0)
        throw EReadTimeout(QStringLiteral("No se recibieron datos dentro del tiempo estipulado"));
    return received;
}

int TSerialPort::ReadPass(QByteArray& buffer, int received, int count) {
    const LineTimeouts& lt = Params().Timeouts();
    // Every pass gets the time-out of the full count, as the first does.
    const auto deadline = Deadline(lt.readTotalConstant, lt.readTotalMultiplier, count);
    int got = 0;
    while (received + got < count) {
        int wait = RemainingMs(deadline);
        if (got > 0 && lt.readInterval > 0)
            wait = qMin<int>(wait, lt.readInterval);
        pollfd pfd{m_fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            ThrowWaitError(errno);
        }
        if (ready == 0)
            break;  // the line paused (interval) or the pass's time is up
        if (pfd.revents & POLLNVAL)
            ThrowIoError(EBADF);
        const int at = received + got;
        const ssize_t n = ::read(m_fd, buffer.data() + at, size_t(count - at));
        if (n > 0) {
            got += int(n);
            continue;
        }
        // End of file on a terminal is a hang-up: the far end is gone, and
        // polling again would only report it again at once.
        if (n == 0)
            ThrowIoError(EIO);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            if (pfd.revents & (POLLHUP | POLLERR))
                ThrowIoError(EIO);
            continue;
        }
        ThrowIoError(errno);
    }
    return got;
}

int TSerialPort::Write(const QByteArray& data, int count) {
    if (!Active())
        ThrowIoError(EBADF);
    count = qBound(0, count, int(data.size()));
    const LineTimeouts& lt = Params().Timeouts();
    const auto deadline = Deadline(lt.writeTotalConstant, lt.writeTotalMultiplier, count);
    int written = 0;
    while (written < count) {
        const ssize_t n = ::write(m_fd, data.constData() + written, size_t(count - written));
        if (n > 0) {
            written += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            ThrowIoError(errno);
        const int wait = RemainingMs(deadline);
        if (wait == 0)
            throw EWriteTimeout(QStringLiteral("Timeout de escritura"));
        pollfd pfd{m_fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            ThrowWaitError(errno);
        }
        if (ready == 0)
            throw EWriteTimeout(QStringLiteral("Timeout de escritura"));
        if (pfd.revents & POLLNVAL)
            ThrowIoError(EBADF);
        if ((pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLOUT))
            ThrowIoError(EIO);
    }
    return written;
}
