#pragma once
// One agent per station: an exclusive advisory lock (flock) held for the whole
// run by every agent, with a window or without, that serves the station of a
// settings file. Two agents on one settings file would fight over the line
// and could deliver a queued command twice.
//
// The lock file is named after the settings file's real path (symbolic links
// resolved, so two names of one file are one station):
//   <folder>/kelvor-agente.<file name>.<16 hex digits of its SHA-1>.lock
// in the folder given, else $KELVOR_LOCK_DIR, else /run/lock (every user may
// create files there, so a desktop agent and the service see each other),
// else the temporary folder. The settings file itself is not locked: its
// writers take their own flock on it (RegistryFile) and replace it by a
// rename, which would drop a lock held on the old file.
//
// The holder writes "<pid> <program>" into the lock file; the kernel drops
// the lock when the process ends however it ends (kill -9 too), so a stale
// file never blocks. The file is created readable and writable by all users
// and never removed (removing it would race with the next agent).
//
// Use: Acquire() once at start-up, before anything else that touches the
// station (session log, line, database). kHeld: another agent runs, Holder()
// says who. kUnavailable: the lock could not be taken (a folder that cannot
// be written); the agent goes on and says so, because the lock only guards
// the job and must not stop it.
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

    // The folder used when none is given.
    static QString DefaultFolder();

private:
    QString m_lockPath;
    QString m_holder;
    QString m_error;
    int m_fd = -1;
};
