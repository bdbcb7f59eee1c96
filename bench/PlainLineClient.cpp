#include "bench/PlainLineClient.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "shell/Errors.h"

namespace {

speed_t SpeedOf(int baud) {
    switch (baud) {
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        default:
            throw Exception(QStringLiteral("Velocidad no admitida: %1").arg(baud));
    }
}

QString SystemText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

PlainLineClient::PlainLineClient(const QString& device, int baud) {
    m_fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        throw Exception(QStringLiteral("No se puede abrir %1: %2").arg(device, SystemText()));
    termios tio{};
    ::tcgetattr(m_fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    ::cfsetispeed(&tio, SpeedOf(baud));
    ::cfsetospeed(&tio, SpeedOf(baud));
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
        throw Exception(QStringLiteral("No se puede configurar %1: %2").arg(device, SystemText()));
    ::tcflush(m_fd, TCIOFLUSH);
}

PlainLineClient::~PlainLineClient() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void PlainLineClient::WriteAll(const char* data, int n) {
    while (n > 0) {
        const ssize_t w = ::write(m_fd, data, size_t(n));
        if (w > 0) {
            data += w;
            n -= int(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            throw Exception(QStringLiteral("Error de escritura: %1").arg(SystemText()));
        } else {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

void PlainLineClient::ReadExactly(char* data, int n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (n > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            throw Exception(QStringLiteral("El registrador no respondió a tiempo"));
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        const ssize_t r = ::read(m_fd, data, size_t(n));
        if (r > 0) {
            data += r;
            n -= int(r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            throw Exception(QStringLiteral("Se perdió la línea"));
        }
    }
}

void PlainLineClient::WriteFrame(char address, const QByteArray& text) {
    QByteArray frame;
    frame.append(char(0x02)).append('R').append(address).append(text).append(char(0x03));
    char check = 0;
    for (char b : frame) check = char(check ^ b);
    frame.append(check);
    WriteAll(frame.constData(), int(frame.size()));
}

void PlainLineClient::ExpectAck(const QString& what) {
    char answer = 0;
    ReadExactly(&answer, 1, 3000);
    if (answer != 0x06)
        throw Exception(QStringLiteral("El registrador no aceptó %1").arg(what));
}

double PlainLineClient::Command(char address, const QByteArray& text) {
    const auto start = std::chrono::steady_clock::now();
    WriteFrame(address, text);
    ExpectAck(QString::fromLatin1(text));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double PlainLineClient::ReadPass(char address, int registrations) {
    const char ack = 0x06;
    const auto start = std::chrono::steady_clock::now();
    WriteFrame(address, "0");
    ExpectAck(QStringLiteral("la lectura"));
    for (int i = 0; i < registrations; ++i) {
        char record[18];
        ReadExactly(record, 18, 3000);
        char check = 0;
        for (int k = 0; k < 17; ++k) check = char(check ^ record[k]);
        if (check != record[17])
            throw Exception(QStringLiteral("Registro %1 con verificación errónea").arg(i + 1));
        WriteAll(&ack, 1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
