#pragma once
// The source of "now" for every part of the agent that reads the clock: the
// decoding of registration years, the clock commands sent to readers, the time
// stamps written to the database, the clock check of a reader. Tests inject a
// fixed or stepping clock; production uses SystemClock().
//
// Date-times are local wall-clock values (Qt::LocalTime), to the millisecond.

#include <QDateTime>
#include <functional>

using ClockFn = std::function<QDateTime()>;

inline ClockFn SystemClock() {
    return [] { return QDateTime::currentDateTime(); };
}

// A clock that always answers the same moment (tests).
inline ClockFn FixedClock(const QDateTime& at) {
    return [at] { return at; };
}
