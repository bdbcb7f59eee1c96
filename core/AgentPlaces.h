#pragma once
// Where the agent keeps what is its own on this computer, apart from the
// installation's database: the status file of its readers, and for a window
// agent whose user may not write the machine's settings file, a per-user
// settings file and log folder, after the desktop's conventions (XDG).
//
// State folder (the status file, "estado-estacion-N.json"), in this order:
//   1. $STATE_DIRECTORY (set by systemd for StateDirectory=; the first entry)
//   2. /var/lib/kelvor, when it exists
//   3. $XDG_STATE_HOME/kelvor, else ~/.local/state/kelvor (created on demand)
// The agent writes to the first of these that it may write; `agente --status`
// shows the newest status file of the station found in any of them.
//
// Per-user places of the window agent:
//   settings  $XDG_CONFIG_HOME/kelvor/registry.reg, else ~/.config/kelvor/...
//             (mode 0600 in a folder made 0700: it may hold the database password)
//   log       $XDG_STATE_HOME/kelvor, else ~/.local/state/kelvor
//
// A value type over an environment and the machine's folders (tests pass
// their own). Thread: any. Never throws.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class AgentPlaces {
public:
    explicit AgentPlaces(QProcessEnvironment env = QProcessEnvironment::systemEnvironment(),
                         QString systemStateFolder = QStringLiteral("/var/lib/kelvor"));

    // The candidate state folders, in order of preference (see above).
    QStringList StateFolders() const;
    // The folder the agent writes its status file to: the first candidate
    // that exists (the per-user one is made) and may be written; empty when
    // none may.
    QString WritableStateFolder() const;
    static QString StatusFileName(qint32 estacion);
    // The status file the agent of the station writes; empty, and `problem`
    // says why in words, when no state folder may be written.
    QString StatusFile(qint32 estacion, QString* problem) const;
    // The most recently written status file of the station; empty when none.
    QString FindStatusFile(qint32 estacion) const;
    // The state folders that exist but that this user may not read (each as
    // "PATH (reason)"): a status file there cannot be found.
    QStringList UnreadableStateFolders() const;
    // The name of the process's effective user (its number when unnamed).
    static QString UserName();
    // What `agente --status` prints: "Archivo de estado: <file>" and the
    // table of the station's newest status file. Empty, and `error` says why
    // in words (naming the file), when there is none or it cannot be read.
    QString StatusReport(qint32 estacion, QString* error) const;

    QString UserSettingsFile() const;
    QString UserLogFolder() const;

    // The settings file of a window agent whose file was not chosen (neither
    // --registry nor KELVOR_REGISTRY): the machine's own when this user may
    // write it (or create it), else the per-user file. `seed`: when the
    // per-user file does not exist yet, it is made as a copy of the
    // machine's (when readable); without `seed` nothing is made (the path it
    // would have). With `seed`, a machine file that exists but may not be
    // read gives no copy and is itself returned, so that the agent reports
    // it unreadable rather than run on defaults. `fromSystem` tells whether
    // the machine's file may be written and is used for that reason.
    QString WindowSettingsFile(const QString& systemFile, bool seed,
                               bool* fromSystem = nullptr) const;
    // True when this user may write `path`, or create it in its folder.
    static bool MayWrite(const QString& path);
    // Makes `user` a copy of `systemFile`, mode 0600 in a folder made 0700,
    // written whole under a temporary name and renamed into place. False
    // when the machine's file cannot be read or the copy made.
    static bool SeedUserCopy(const QString& systemFile, const QString& user);

private:
    QString Home() const;
    QString XdgHome(const char* variable, const QString& fallback) const;

    QProcessEnvironment m_env;
    QString m_systemState;
};
