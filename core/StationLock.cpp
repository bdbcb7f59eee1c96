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

QString StationLock::DefaultFolder(const QString& systemFolder) {
    const QString env = qEnvironmentVariable("KELVOR_LOCK_DIR");
    if (!env.isEmpty())
        return env;
    // The package's folder whenever it exists, writable by this user or not:
    // an agent outside group kelvor must fail there rather than lock
    // elsewhere and serve the station beside the service.
    if (QFileInfo(systemFolder).isDir())
        return systemFolder;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime;
    return QDir::tempPath();
}

namespace {

constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// The lock file, opened as safely as a folder others may write allows; -1
// with errno set when it cannot be.
int OpenLockFile(const QByteArray& path, bool* created) {
    *created = false;
    // An existing file is opened without O_CREAT: in a sticky folder (the
    // temporary folder) the system refuses O_CREAT on another user's file
    // (protected_regular). flock needs no write access, so a file we may only
    // read still locks.
    int fd = ::open(path.constData(), O_RDWR | kOpenFlags);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), O_RDONLY | kOpenFlags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0660);
        if (fd >= 0)
            *created = true;
        else if (errno == EEXIST)
            fd = ::open(path.constData(), O_RDWR | kOpenFlags);
    }
    return fd;
}

// Why an open of the lock file failed, in words.
QString OpenFailure(const QString& lockPath, int error) {
    if (error == ELOOP)
        return QStringLiteral("%1 es un enlace simbólico, no el archivo de bloqueo").arg(lockPath);
    QString text = QStringLiteral("no se pudo abrir %1: %2").arg(lockPath, SystemMessage(error));
    if (error == EACCES) {
        const QFileInfo folder(QFileInfo(lockPath).absolutePath());
        if (folder.exists())
            text += QStringLiteral(
                        " (la carpeta %1 es del grupo %2; los operadores de la estación "
                        "deben pertenecer a él)")
                        .arg(folder.absoluteFilePath(), folder.group());
    }
    return text;
}

}  // namespace

StationLock::Result StationLock::Acquire(const QString& how) {
    if (m_fd >= 0)
        return Result::kAcquired;
    const QByteArray path = QFile::encodeName(m_lockPath);
    bool created = false;
    const int fd = OpenLockFile(path, &created);
    if (fd < 0) {
        m_error = OpenFailure(m_lockPath, errno);
        return Result::kUnavailable;
    }
    // Before anything is locked or written: whatever was planted at this
    // name (a FIFO, a device, a folder, a second name of another file) is
    // left as it is.
    struct stat st {};
    QString refused;
    if (::fstat(fd, &st) != 0)
        refused =
            QStringLiteral("no se pudo examinar %1: %2").arg(m_lockPath, SystemMessage(errno));
    else if (!S_ISREG(st.st_mode))
        refused = QStringLiteral("%1 no es un archivo común").arg(m_lockPath);
    else if (st.st_nlink != 1)
        refused = QStringLiteral("%1 tiene otros nombres (enlaces duros)").arg(m_lockPath);
    if (!refused.isEmpty()) {
        ::close(fd);
        m_error = refused;
        return Result::kUnavailable;
    }
    if (created) {
        // Past the umask, and in the folder's group: the next agent may be
        // another operator (a member of that group) or the service.
        ::fchmod(fd, 0660);
        struct stat folder {};
        const QByteArray dir = QFile::encodeName(QFileInfo(m_lockPath).absolutePath());
        if (::stat(dir.constData(), &folder) == 0 && folder.st_gid != st.st_gid) {
            const int changed = ::fchown(fd, uid_t(-1), folder.st_gid);
            Q_UNUSED(changed);  // not a member: the file stays this user's group
        }
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
