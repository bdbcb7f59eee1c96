#pragma once
// The longest single step of the communication thread that the settings
// allow, and the service watchdog's interval that follows from it. The
// thread feeds the watchdog at every step (TComunicationThread::Alive), so
// the watchdog must outlast the longest step that is still making progress:
//   - one registration record with every retry: (Retrys + 1)^2 reads, each
//     waiting at most TimeOut (a record that fails its check is asked again
//     up to Retrys times, and each of those reads is retried up to Retrys
//     times);
//   - a PostgreSQL statement: "StatementTimeout" (its "LockTimeout" wait
//     included; 0 means no bound and counts as nothing here), SQLite's busy
//     time-out, the connect time-out;
//   - the wait before a connection ("Espera") and the recovery pause.
// The interval is three times the longest step (room for a loaded machine),
// at most one hour, so a stuck agent is still caught.
//
// A value type; any thread. Never throws.

#include <QtGlobal>

#include "core/ThreadTiming.h"

class TConfig;

class WatchdogBound {
public:
    // statementTimeoutS, lockTimeoutS: the database alias's (PostgreSQL);
    // 0 for SQLite.
    WatchdogBound(const TConfig& config, const ThreadTiming& timing, int statementTimeoutS,
                  int lockTimeoutS);

    qint64 LongestStepMs() const { return m_longestMs; }
    // Three times the longest step, at most kMaxIntervalMs.
    qint64 IntervalMs() const;

    static constexpr qint64 kMaxIntervalMs = 3600 * 1000;
    // The database's own bounds the agent sets whatever the alias says:
    // SQLite's busy time-out and the connect time-out.
    static constexpr qint64 kDatabaseWaitMs = 10 * 1000;

private:
    qint64 m_longestMs = 0;
};
