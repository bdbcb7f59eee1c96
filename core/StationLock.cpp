#include "core/StationLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace {

QString SystemMessage(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The settings file's real path; for a file that does not exist yet, the real
// path of its folder and its name.
QString RealPath(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return QDir(folder.isEmpty() ? info.absolutePath() : folder).filePath(info.fileName());
}

bool UsableFolder(const QString& folder) {
    return QFileInfo(folder).isDir() &&
           ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

QString OwnProgram() {
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return exe.isEmpty() ? QStringLiteral("agente") : exe;
}

}  // namespace

StationLock::StationLock(const QString& settingsPath, const QString& folder) {
    const QString real = RealPath(settingsPath);
    const QByteArray hash =
        QCryptographicHash::hash(QFile::encodeName(real), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    const QString name = QStringLiteral("kelvor-agente.%1.%2.lock")
                             .arg(QFileInfo(real).fileName(), QString::fromLatin1(hash));
    m_lockPath = QDir(folder.isEmpty() ? DefaultFolder() : folder).filePath(name);
}

StationLock::~StationLock() {
    if (m_fd >= 0)
        ::close(m_fd);  // drops the lock
}

QString StationLock::DefaultFolder() {
    const QString env = qEnvironmentVariable("KELVOR_LOCK_DIR");
    if (!env.isEmpty())
        return env;
    if (UsableFolder(QStringLiteral("/run/lock")))
        return QStringLiteral("/run/lock");
    return QDir::tempPath();
}

StationLock::Result StationLock::Acquire(const QString& how) {
    if (m_fd >= 0)
        return Result::kAcquired;
    const QByteArray path = QFile::encodeName(m_lockPath);
    // An existing file is opened without O_CREAT: in a sticky folder such as
    // /run/lock the system refuses O_CREAT on another user's file
    // (protected_regular). flock needs no write access, so a file we may only
    // read still locks.
    int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::fchmod(fd, 0666);  // past the umask: the next agent may be another user
        else if (errno == EEXIST)
            fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        m_error = QStringLiteral("no se pudo abrir %1: %2").arg(m_lockPath, SystemMessage(errno));
        return Result::kUnavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            char buffer[512] = {};
            const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
            ::close(fd);
            const QString text = QString::fromLocal8Bit(buffer, n > 0 ? n : 0).trimmed();
            const qsizetype space = text.indexOf(QLatin1Char(' '));
            if (text.isEmpty())
                m_holder = QStringLiteral("otro proceso");
            else if (space < 0)
                m_holder = QStringLiteral("proceso %1").arg(text);
            else
                m_holder =
                    QStringLiteral("proceso %1 (%2)").arg(text.left(space), text.mid(space + 1));
            return Result::kHeld;
        }
        ::close(fd);
        m_error =
            QStringLiteral("no se pudo bloquear %1: %2").arg(m_lockPath, SystemMessage(error));
        return Result::kUnavailable;
    }
    m_fd = fd;
    // Who holds it, for the next one to tell; a file we may only read keeps
    // what an earlier holder wrote, which is then all there is to say.
    QByteArray who = QByteArray::number(qint64(::getpid())) + ' ' + QFile::encodeName(OwnProgram());
    if (!how.isEmpty())
        who += ' ' + how.toLocal8Bit();
    who += '\n';
    if (::ftruncate(m_fd, 0) == 0) {
        const ssize_t written = ::pwrite(m_fd, who.constData(), size_t(who.size()), 0);
        Q_UNUSED(written);
    }
    return Result::kAcquired;
}
