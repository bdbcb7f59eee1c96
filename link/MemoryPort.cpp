#include "link/MemoryPort.h"

#include <cerrno>
#include <cstring>

#include "shell/Errors.h"

namespace {

[[noreturn]] void ThrowIoError(int err) {
    throw EWin32Error(
        err,
        QStringLiteral("Error %1, %2").arg(err).arg(QString::fromLocal8Bit(std::strerror(err))));
}

}  // namespace

void MemoryPort::Open() {
    m_active = false;
    QString reason;
    if (m_openError != 0) {
        reason = QString::fromLocal8Bit(std::strerror(m_openError));
    } else {
        try {
            Params().UpdateLineTimeouts();
            m_active = true;
            ++m_openCount;
            m_bursts.clear();
            return;
        } catch (const Exception& e) {
            reason = e.Message();
        }
    }
    throw Exception(QStringLiteral("No se puede abrir el puerto %1. SO reporta %2")
                        .arg(Params().Port(), reason));
}

int MemoryPort::Close() {
    m_active = false;
    return 0;
}

void MemoryPort::Feed(const QByteArray& burst) {
    if (!burst.isEmpty())
        m_bursts.append(burst);
}

qsizetype MemoryPort::Pending() const {
    qsizetype n = 0;
    for (const auto& b : m_bursts) n += b.size();
    return n;
}

int MemoryPort::Read(QByteArray& buffer, int count) {
    count = qMax(count, 0);
    buffer.fill('\0', count + 10);
    if (!m_active)
        ThrowIoError(EBADF);
    if (m_lost)
        ThrowIoError(EIO);
    if (count == 0)
        return 0;
    if (m_bursts.isEmpty()) {
        throw EReadTimeout(QStringLiteral("No se recibieron datos dentro del tiempo estipulado"));
    }
    QByteArray& first = m_bursts.first();
    const int n = int(qMin<qsizetype>(count, first.size()));
    std::memcpy(buffer.data(), first.constData(), size_t(n));
    first.remove(0, n);
    if (first.isEmpty())
        m_bursts.removeFirst();
    return n;
}

int MemoryPort::Write(const QByteArray& data, int count) {
    if (!m_active)
        ThrowIoError(EBADF);
    if (m_lost)
        ThrowIoError(EIO);
    if (m_writeStalled)
        throw EWriteTimeout(QStringLiteral("Timeout de escritura"));
    count = qBound(0, count, int(data.size()));
    const QByteArray sent = data.left(count);
    m_writes.append(sent);
    if (m_responder)
        m_responder(*this, sent);
    return count;
}
