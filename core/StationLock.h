#pragma once
// One agent per station: an exclusive advisory lock (flock) held for the whole
// run by every agent, with a window or without, that serves the station of a
// settings file. Two agents on one settings file would fight over the line
// and could deliver a queued command twice.
//
// The lock file is named after the settings file's real path (symbolic links
// resolved, so two names of one file are one station):
//   <folder>/kelvor-agente.<file name>.<16 hex digits of its SHA-1>.lock
// in the folder given, else DefaultFolder():
//   1. $KELVOR_LOCK_DIR (tests, or a site that wants its own);
//   2. /run/kelvor when it exists: made at boot by the package (tmpfiles.d)
//      owned by kelvor, group kelvor, mode 0770, so only the service and the
//      members of group kelvor (the desktop operators) can reach the lock;
//      every agent on this machine meets the service's lock there, and one
//      that may not enter the folder is refused with an error, never left to
//      run unguarded beside the service;
//   3. without it (no package: an agent from a build tree) $XDG_RUNTIME_DIR,
//      the user's own folder, so the agents of one user meet;
//   4. else the temporary folder.
// The settings file itself is not locked: its writers take their own flock
// on it (RegistryFile) and replace it by a rename, which would drop a lock
// held on the old file.
//
// The holder writes "<pid> <program>" into the lock file; the kernel drops
// the lock when the process ends however it ends (kill -9 too), so a stale
// file never blocks. A file it creates is made readable and writable by the
// folder's group (mode 0660, the folder's group), so the next agent may be
// another operator of the station; it is never removed (removing it would
// race with the next agent).
//
// The lock file is opened without following a symbolic link and without
// blocking (a FIFO planted there opens at once), and must then be a plain
// file with one name: anything else is refused before the file is locked or
// written, so nothing planted at that name is ever truncated or overwritten.
//
// Use: Acquire() once at start-up, before anything else that touches the
// station (session log, line, database). kHeld: another agent runs, Holder()
// says who. kUnavailable: the lock could not be taken (the folder is missing
// or may not be entered, the file may not be opened, or is not a plain
// file); Error() says why, and the agent does not start: without the lock
// two agents could serve one station.
//
// Thread safety: one thread; the lock belongs to the object until it is
// destroyed.

#include <QString>

class StationLock {
public:
    enum class Result { kAcquired, kHeld, kUnavailable };

    explicit StationLock(const QString& settingsPath, const QString& folder = {});
    ~StationLock();
    StationLock(const StationLock&) = delete;
    StationLock& operator=(const StationLock&) = delete;

    // how: what else tells this agent apart, written after the program
    // ("--headless").
    Result Acquire(const QString& how = {});

    QString LockPath() const { return m_lockPath; }
    // kHeld: "proceso <pid> (<program>)" as the holder wrote it; "otro proceso"
    // when it wrote nothing readable yet.
    QString Holder() const { return m_holder; }
    // kUnavailable: why.
    QString Error() const { return m_error; }

    // The folder used when none is given (see above); systemFolder is
    // /run/kelvor except in tests.
    static QString DefaultFolder(const QString& systemFolder = QStringLiteral("/run/kelvor"));

private:
    QString m_lockPath;
    QString m_holder;
    QString m_error;
    int m_fd = -1;
};
