#pragma once
// The source of "now" for every part of the agent that reads the clock: the
// decoding of registration years, the clock commands sent to readers, the time
// stamps written to the database, the clock check of a reader. Tests inject a
// fixed or stepping clock; production uses SystemClock().
//
// Date-times are local wall-clock values (Qt::LocalTime), to the millisecond.

#include <QDateTime>
#include <chrono>
#include <functional>

using ClockFn = std::function<QDateTime()>;

// Qt's local time re-reads the zone (a file-system call) at every reading,
// which at two readings per stored registration was the largest part of the
// storing time. The value is kept per thread for the millisecond it stands
// for: a reading within the same millisecond is the same moment anyway, and
// each new millisecond is converted afresh, so a change of zone or of the
// clock is seen at once.
inline ClockFn SystemClock() {
    return [] {
        thread_local qint64 lastMs = -1;
        thread_local QDateTime last;
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        if (ms != lastMs) {
            last = QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
            lastMs = ms;
        }
        return last;
    };
}

// A clock that always answers the same moment (tests).
inline ClockFn FixedClock(const QDateTime& at) {
    return [at] { return at; };
}

// Milliseconds on a clock that only goes forward, whatever is done to the
// computer's date and time: the measure of every wait and retry interval.
// Tests inject their own.
using MonotonicFn = std::function<qint64()>;

inline MonotonicFn MonotonicClock() {
    return [] {
        return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count());
    };
}
