#include "core/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstring>

#include "shell/SpanishTexts.h"

namespace {

QString DefaultFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    return QDir::tempPath();
}

}  // namespace

SingleInstance::SingleInstance(const QString& windowClass, const QString& title,
                               const QString& folder) {
    const QString dir = folder.isEmpty() ? DefaultFolder() : folder;
    const QString name = QString("%1.%2.%3").arg(windowClass, title).arg(getuid());
    m_lockPath = QDir(dir).filePath(name + ".lock");
    m_serverName = QDir(dir).filePath(name);
}

SingleInstance::~SingleInstance() {
    delete m_server;  // removes the socket file
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool SingleInstance::OtherRunning() {
    if (m_lockFd < 0) {
        const QByteArray path = QFile::encodeName(m_lockPath);
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                m_lockFd = fd;
            } else {
                const int error = errno;
                ::close(fd);
                if (error == EWOULDBLOCK)
                    return true;
                m_error = SpanishTexts::SystemErrorText(error);
            }
        } else {
            m_error = SpanishTexts::SystemErrorText(errno);
        }
    }
    // Without the lock (a folder we may not write to) the socket still tells;
    // with it, an answer means an agent that runs without the lock file.
    QLocalSocket probe;
    probe.connectToServer(m_serverName);
    const bool answered = probe.waitForConnected(500);
    probe.abort();
    return answered;
}

bool SingleInstance::Announce() {
    if (m_server)
        return true;
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answers (checked above): a socket file left by an agent that was
    // killed is stale.
    QLocalServer::removeServer(m_serverName);
    if (!m_server->listen(m_serverName)) {
        m_error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    // A caller only looks whether the window exists; it is sent nothing.
    QObject::connect(m_server, &QLocalServer::newConnection, m_server, [server = m_server] {
        while (QLocalSocket* peer = server->nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            peer->disconnectFromServer();
        }
    });
    return true;
}
