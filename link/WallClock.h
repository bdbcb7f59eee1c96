#pragma once
// Wall-clock date-times: a date and a time of day as a clock on the wall
// shows them, with no zone. A reader's clock is one: it does not jump at the
// change to and from daylight saving time, so it may show 02:30 on the night
// the computer's zone skips from 02:00 to 03:00, and it shows 02:30 twice on
// the night the zone goes back. The agent stores such a moment as the reader
// showed it.
//
// Carried as a QDateTime whose date() and time() are the wall clock:
// - in local time (Qt::LocalTime) when that wall-clock time exists in the
//   computer's zone, so that it compares and formats like any local value
//   (in an autumn overlap Qt takes the first of the two; the fields are the
//   same either way);
// - with the fields as given and no zone rule (Qt::UTC as its time kind,
//   used here as "floating") when the time falls in a spring-forward gap, where a local
//   QDateTime would be invalid.
// Code that writes or compares such values uses their date() and time()
// (TSqlStatement::DateTimeText, MsecsBetween), never a zone conversion.
//
// Thread safety: pure functions (they read the process's zone).

#include <QDate>
#include <QDateTime>
#include <QTime>

class WallClock {
public:
    // The wall-clock moment `date` `time`; invalid only when the date or the
    // time is invalid.
    static QDateTime Make(const QDate& date, const QTime& time);
    // Milliseconds from `from` to `to` counted on their wall clocks: a
    // reader at 02:30 and a computer at 02:30 of the second pass of an autumn
    // hour are 0 apart; a reader that did not spring forward is an hour
    // behind. 0 when either is invalid.
    static qint64 MsecsBetween(const QDateTime& from, const QDateTime& to);
};
