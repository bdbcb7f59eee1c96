#pragma once
// The one formatting helper for every date-time text of the agent, so that the
// window, the thread's messages, the clock panel, the headless agent and the
// session log agree. The formats are fixed (slash and colon separators, a
// four-digit year, hours 00-23) and never depend on the machine's locale.
//
//   DateTimeText  "dd/mm/yyyy hh:nn"     window rows, thread messages, clock panel
//   LogStamp      "dd/mm/yyyy hh:nn:ss"  session log lines
//   TimeText      "hh:nn"                per-minute comparisons
//
// An invalid QDateTime gives an empty text. Years below 1000 are padded to four
// digits.
//
// The Spanish day and month names: day lists start with Sunday (index 0) and
// have 7 entries; month lists start with January (index 0) and have 12.
//
// Thread safety: every function is reentrant; the name lists are immutable and
// may be read from any thread.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

QString DateTimeText(const QDateTime& when);
QString LogStamp(const QDateTime& when);
QString TimeText(const QDateTime& when);

const QStringList& ShortDayNames();    // "Dom" .. "Sab"
const QStringList& LongDayNames();     // "Domingo" .. "Sabado"
const QStringList& ShortMonthNames();  // "Ene" .. "Dic"
const QStringList& LongMonthNames();   // "Enero" .. "Diciembre"

// The names of a date's day and month; empty for an invalid date.
QString ShortDayName(const QDate& date);
QString LongDayName(const QDate& date);
QString ShortMonthName(const QDate& date);
QString LongMonthName(const QDate& date);
