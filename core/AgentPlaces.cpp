#include "core/AgentPlaces.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/ReaderStatus.h"

namespace {
// A status file is a few hundred bytes per reader; anything far larger is not
// one and is not read whole.
constexpr qint64 kMaxStatusBytes = 4 * 1024 * 1024;
}  // namespace

AgentPlaces::AgentPlaces(QProcessEnvironment env, QString systemStateFolder)
    : m_env(std::move(env)), m_systemState(std::move(systemStateFolder)) {}

QString AgentPlaces::Home() const {
    const QString home = m_env.value(QStringLiteral("HOME"));
    return home.isEmpty() ? QDir::homePath() : home;
}

// XDG says a relative value is to be ignored.
QString AgentPlaces::XdgHome(const char* variable, const QString& fallback) const {
    const QString v = m_env.value(QString::fromLatin1(variable));
    if (!v.isEmpty() && QDir::isAbsolutePath(v))
        return v;
    return QDir(Home()).filePath(fallback);
}

QStringList AgentPlaces::StateFolders() const {
    QStringList out;
    // systemd passes several folders separated by colons; the first is ours.
    const QString systemd = m_env.value(QStringLiteral("STATE_DIRECTORY")).section(':', 0, 0);
    if (!systemd.isEmpty())
        out << systemd;
    if (QFileInfo(m_systemState).isDir())
        out << m_systemState;
    out << UserLogFolder();
    return out;
}

QString AgentPlaces::WritableStateFolder() const {
    const QStringList folders = StateFolders();
    for (int i = 0; i < folders.size(); ++i) {
        const QString& f = folders[i];
        if (i == folders.size() - 1)
            QDir().mkpath(f);  // only the per-user folder is ours to make
        const QByteArray native = QFile::encodeName(f);
        if (QFileInfo(f).isDir() && ::access(native.constData(), W_OK | X_OK) == 0)
            return f;
    }
    return {};
}

QString AgentPlaces::StatusFileName(qint32 estacion) {
    return QStringLiteral("estado-estacion-%1.json").arg(estacion);
}

QString AgentPlaces::StatusFile(qint32 estacion, QString* problem) const {
    const QString folder = WritableStateFolder();
    if (folder.isEmpty()) {
        if (problem)
            *problem = QStringLiteral(
                           "Ninguna carpeta de estado se puede escribir (%1); no se "
                           "escribe el archivo de estado de los registradores")
                           .arg(StateFolders().join(QStringLiteral(", ")));
        return {};
    }
    return QDir(folder).filePath(StatusFileName(estacion));
}

QString AgentPlaces::FindStatusFile(qint32 estacion) const {
    QString best;
    QDateTime newest;
    for (const QString& f : StateFolders()) {
        const QFileInfo info(QDir(f).filePath(StatusFileName(estacion)));
        if (info.isFile() && (best.isEmpty() || info.lastModified() > newest)) {
            best = info.filePath();
            newest = info.lastModified();
        }
    }
    return best;
}

QStringList AgentPlaces::UnreadableStateFolders() const {
    QStringList out;
    for (const QString& f : StateFolders()) {
        // A folder whose parent may not be searched cannot even be seen:
        // only a folder that is not there at all is no problem.
        if (::access(QFile::encodeName(f).constData(), R_OK | X_OK) != 0 && errno != ENOENT)
            out << QStringLiteral("%1 (%2)").arg(f, QString::fromLocal8Bit(std::strerror(errno)));
    }
    return out;
}

QString AgentPlaces::UserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid());
}

QString AgentPlaces::UserSettingsFile() const {
    return QDir(XdgHome("XDG_CONFIG_HOME", QStringLiteral(".config")))
        .filePath(QStringLiteral("kelvor/registry.reg"));
}

QString AgentPlaces::UserLogFolder() const {
    return QDir(XdgHome("XDG_STATE_HOME", QStringLiteral(".local/state")))
        .filePath(QStringLiteral("kelvor"));
}

bool AgentPlaces::MayWrite(const QString& path) {
    const QFileInfo info(path);
    const QString target = info.exists() ? path : info.absolutePath();
    return ::access(QFile::encodeName(target).constData(), W_OK) == 0;
}

QString AgentPlaces::WindowSettingsFile(const QString& systemFile, bool seed,
                                        bool* fromSystem) const {
    const bool system = MayWrite(systemFile);
    if (fromSystem)
        *fromSystem = system;
    if (system)
        return systemFile;
    const QString user = UserSettingsFile();
    // A machine file this user may not read (0640, the user not in group
    // kelvor) gives no copy: the machine's file is named then, so that the
    // agent says it cannot read it instead of serving station 1 on defaults.
    if (seed && !QFileInfo::exists(user) && !SeedUserCopy(systemFile, user) &&
        QFileInfo::exists(systemFile))
        return systemFile;
    return user;
}

bool AgentPlaces::SeedUserCopy(const QString& systemFile, const QString& user) {
    // The folder and the copy are this user's alone: the copy keeps the
    // installer's settings, the database password among them.
    const QString folder = QFileInfo(user).absolutePath();
    if (!QFileInfo::exists(folder)) {
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    }
    QFile in(systemFile);
    if (!in.open(QIODevice::ReadOnly))
        return false;  // the agent's first save makes the file with the defaults
    const QByteArray contents = in.readAll();
    if (in.error() != QFileDevice::NoError)
        return false;
    // Made 0600 from the first byte (never readable by others for a moment),
    // under a temporary name, and renamed whole into place.
    QByteArray tmpl = QFile::encodeName(user + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0)
        return false;
    bool ok = true;
    for (qsizetype done = 0; ok && done < contents.size();) {
        const ssize_t n = ::write(fd, contents.constData() + done, size_t(contents.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmpl.constData(), QFile::encodeName(user).constData()) == 0;
    if (!ok)
        ::unlink(tmpl.constData());
    return ok;
}

QString AgentPlaces::StatusReport(qint32 estacion, QString* error) const {
    const QString file = FindStatusFile(estacion);
    QString problem;
    QString table;
    // The service's files are its group's: an operator outside the group
    // is told so, not sent to look at the agent's cycles.
    const QString user = UserName();
    const QString groupHint =
        QStringLiteral(
            "; use \"sudo agente --status\" o agregue el usuario al grupo "
            "kelvor (\"sudo usermod -aG kelvor %1\" y una nueva sesión)")
            .arg(user);
    const QStringList unreadable = UnreadableStateFolders();
    if (file.isEmpty() && !unreadable.isEmpty()) {
        problem = QStringLiteral(
                      "el usuario %1 no puede leer %2, donde puede estar el archivo "
                      "de estado de la estación %3")
                      .arg(user, unreadable.join(QStringLiteral(", ")))
                      .arg(estacion) +
                  groupHint;
    } else if (file.isEmpty()) {
        problem = QStringLiteral(
                      "no hay archivo de estado de la estación %1 en %2; ¿completó el agente "
                      "algún ciclo?")
                      .arg(estacion)
                      .arg(StateFolders().join(QStringLiteral(", ")));
    } else {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            problem = QStringLiteral("%1: %2").arg(file, in.errorString()) +
                      (in.error() == QFileDevice::OpenError && !QFileInfo(file).isReadable()
                           ? groupHint
                           : QString());
        else
            table = ReaderStatus::Table(in.read(kMaxStatusBytes), &problem);
        if (!problem.isEmpty() && !problem.startsWith(file))
            problem = QStringLiteral("%1: %2").arg(file, problem);
    }
    if (error)
        *error = problem;
    if (!problem.isEmpty())
        return {};
    return QStringLiteral("Archivo de estado: %1\n").arg(file) + table;
}
