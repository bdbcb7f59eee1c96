#include "link/LineEcho.h"

#include <algorithm>

#include "link/BytePort.h"
#include "shell/Errors.h"

EchoMode LineEcho::ModeOf(qint32 setting) {
    switch (setting) {
        case 0:
            return EchoMode::Off;
        case 1:
            return EchoMode::On;
        default:
            return EchoMode::Auto;
    }
}

void LineEcho::Reset() {
    m_lineEchoes = false;
    m_ahead.clear();
    m_quiet = false;
}

bool LineEcho::Send(const QByteArray& data) {
    // Whatever arrived unasked (a late answer to an abandoned try, the rest
    // of a garbled echo) must not be taken for the answer to this write.
    m_ahead.clear();
    m_quiet = false;
    m_port.DiscardInput();
    m_port.Write(data, int(data.size()));
    if (data.isEmpty() || m_mode == EchoMode::Off)
        return true;
    if (m_mode == EchoMode::On || m_lineEchoes)
        return Expect(data);
    // Automatic and not known to echo yet: only a frame can tell. A single
    // control byte might be the first byte of the reader's next record.
    if (data.size() == 1)
        return true;
    return Detect(data);
}

bool LineEcho::Expect(const QByteArray& sent) {
    const QByteArray echo = ReadUpTo(int(sent.size()));
    if (echo == sent) {
        if (sent.size() > 1)
            m_lineEchoes = true;
        ++m_setAside;
        return true;
    }
    return Fault(echo.size() < sent.size());
}

bool LineEcho::Detect(const QByteArray& sent) {
    QByteArray got = ReadUpTo(1);
    if (got.isEmpty()) {
        // Nothing at all within the answer's own time-out: no echo and no
        // answer either.
        m_quiet = true;
        return true;
    }
    if (got[0] == sent[0])
        got += ReadUpTo(int(sent.size()) - 1);
    if (got == sent) {
        m_lineEchoes = true;
        ++m_setAside;
        return true;
    }
    // Not an echo: it is the answer (or the start of one), left for the
    // protocol exactly as it came.
    m_ahead = got;
    if (got.size() < sent.size() && got[0] == sent[0])
        m_quiet = true;  // what matched so far was followed by silence
    return true;
}

bool LineEcho::Fault(bool quiet) {
    ++m_faults;
    m_quiet = quiet;
    return false;
}

QByteArray LineEcho::ReadUpTo(int count) {
    if (count <= 0)
        return {};
    QByteArray buffer;
    int got = 0;
    try {
        got = m_port.Read(buffer, count);
    } catch (const ETimeout&) {
        return {};
    }
    buffer.truncate(qBound(0, got, count));
    return buffer;
}

int LineEcho::Read(QByteArray& buffer, int count) {
    count = qMax(count, 0);
    if (m_ahead.isEmpty()) {
        if (m_quiet && count > 0)
            throw EReadTimeout(
                QStringLiteral("No se recibieron datos dentro del tiempo estipulado"));
        return m_port.Read(buffer, count);
    }
    buffer.fill('\0', count + 10);
    const int taken = qMin(count, int(m_ahead.size()));
    std::copy_n(m_ahead.constData(), taken, buffer.data());
    m_ahead.remove(0, taken);
    if (taken == count || m_quiet)
        return taken;
    QByteArray rest;
    int more = 0;
    try {
        more = m_port.Read(rest, count - taken);
    } catch (const ETimeout&) {
        return taken;
    }
    std::copy_n(rest.constData(), qBound(0, more, count - taken), buffer.data() + taken);
    return taken + qBound(0, more, count - taken);
}
