#include "core/AgentPlaces.h"

#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    if (seed && !QFileInfo::exists(user)) {
        QDir().mkpath(QFileInfo(user).absolutePath());
        // A copy keeps the installer's settings (station, database alias);
        // the user's own changes then stay in the copy. Without a readable
        // machine file the agent's first save makes it with the defaults.
        if (QFileInfo(systemFile).isReadable() && QFile::copy(systemFile, user))
            QFile(user).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                       QFile::ReadOther);
    }
    return user;
}

QString AgentPlaces::StatusReport(qint32 estacion, QString* error) const {
    const QString file = FindStatusFile(estacion);
    QString problem;
    QString table;
    if (file.isEmpty()) {
        problem = QStringLiteral(
                      "no hay archivo de estado de la estación %1 en %2; ¿completó el agente "
                      "algún ciclo?")
                      .arg(estacion)
                      .arg(StateFolders().join(QStringLiteral(", ")));
    } else {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            problem = QStringLiteral("%1: %2").arg(file, in.errorString());
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
