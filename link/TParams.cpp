#include "link/TParams.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "link/BytePort.h"
#include "shell/Errors.h"

void TParams::SetPort(const QString& v) {
    m_port = v;
    m_owner.Reopen();
}

void TParams::SetBaudRate(qint32 v) {
    m_baudRate = v;
    m_owner.Reopen();
}

void TParams::SetByteSize(qint32 v) {
    m_byteSize = v;
    m_owner.Reopen();
}

void TParams::SetParity(quint8 v) {
    m_parity = v;
    m_owner.Reopen();
}

void TParams::SetStopBits(quint8 v) {
    m_stopBits = v;
    m_owner.Reopen();
}

void TParams::SetInQueueSize(qint32 v) {
    m_inQueueSize = v;
    m_owner.Reopen();
}

void TParams::SetOutQueueSize(qint32 v) {
    m_outQueueSize = v;
    m_owner.Reopen();
}

void TParams::SetReadTimeout(qint32 v) {
    m_readTimeout = v;
    m_owner.Reopen();
}

void TParams::SetWriteTimeout(qint32 v) {
    m_writeTimeout = v;
    m_owner.Reopen();
}

LineTimeouts TParams::ComputeLineTimeouts(qint32 baudRate, qint32 byteSize, quint8 parity,
                                          quint8 stopBits, qint32 readTimeout,
                                          qint32 writeTimeout) {
    // A speed of zero would divide by zero below; the port reports it as a
    // rejected setting instead.
    if (baudRate <= 0)
        throw Exception(QString::fromLocal8Bit(std::strerror(EINVAL)));
    const qint64 t = std::llround(10000000.0 / baudRate);
    const qint64 stop = stopBits == 0 ? 1 : 2;
    const qint64 par = parity == 0 ? 0 : 1;
    const qint64 bits = (byteSize & 0xFF) + 1 + stop + par;
    LineTimeouts lt;
    lt.readInterval = static_cast<quint32>((t * bits * 2) / 1000);
    lt.readTotalMultiplier = static_cast<quint32>((t + 999) / 1000 + 1);
    lt.writeTotalMultiplier = lt.readTotalMultiplier;
    lt.readTotalConstant = static_cast<quint32>(qMax(readTimeout, 0));
    lt.writeTotalConstant = static_cast<quint32>(qMax(writeTimeout, 0));
    return lt;
}

void TParams::UpdateLineTimeouts() {
    m_timeouts = ComputeLineTimeouts(m_baudRate, m_byteSize, m_parity, m_stopBits, m_readTimeout,
                                     m_writeTimeout);
}
