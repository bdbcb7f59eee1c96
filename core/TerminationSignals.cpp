#include "core/TerminationSignals.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "shell/Errors.h"

namespace {
int g_pipe[2] = {-1, -1};  // [0] written by the handler, [1] read by the notifier
}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (g_pipe[0] >= 0)
        throw EOSError(QStringLiteral("Los manejadores de señales ya existen"));
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) {
        throw EOSError(
            QStringLiteral("socketpair: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    }
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::Drain);

    struct sigaction action {};
    action.sa_handler = &TerminationSignals::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGTERM, &action, &m_oldTerm) != 0 ||
        ::sigaction(SIGINT, &action, &m_oldInt) != 0) {
        const QString reason = QString::fromLocal8Bit(strerror(errno));
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        delete m_notifier;
        ::close(g_pipe[0]);
        ::close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
        throw EOSError(QStringLiteral("sigaction: %1").arg(reason));
    }
}

TerminationSignals::~TerminationSignals() {
    ::sigaction(SIGTERM, &m_oldTerm, nullptr);
    ::sigaction(SIGINT, &m_oldInt, nullptr);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void TerminationSignals::Handler(int signalNumber) {
    const int saved = errno;
    const char byte = static_cast<char>(signalNumber);
    // Nothing can be done about a full socket: the first byte already asks
    // for the close.
    [[maybe_unused]] ssize_t n = ::write(g_pipe[0], &byte, 1);
    errno = saved;
}

void TerminationSignals::Drain() {
    char byte = 0;
    while (::read(g_pipe[1], &byte, 1) == 1) emit Received(static_cast<unsigned char>(byte));
}
