#pragma once
// The clock check of a reader. A reader's clock carries no year and no
// seconds: it is taken in the computer's current year, at 0 seconds.
//
// Thread safety: pure functions.

#include <QDateTime>
#include <QString>

struct TRegistrador_Data;

class ReaderClock {
public:
    // The reader's clock (Mes, Dia, Hora, Minuto of `data`) in `year`, as a
    // wall-clock value (link/WallClock.h): valid also in a daylight-saving gap.
    // Throws EConvertError when that makes no valid date or time (29
    // February of a common year, hour 25, ...).
    static QDateTime At(int year, const TRegistrador_Data& data);

    // The reader's clock minus the computer's, in whole minutes, both taken
    // to the minute (the reader's clock has no seconds).
    static qint64 DifferenceMinutes(const QDateTime& reader, const QDateTime& now);

    // True when `reader` lies inside [now - difHora minutes, now + difHora
    // minutes], both ends included, counted on the wall clocks of both (no
    // zone rule between them). A negative tolerance counts as 0.
    static bool WithinTolerance(const QDateTime& reader, const QDateTime& now, qint32 difHora);

    // "RELOJ FUERA DE HORA 2026-3-9 8:5": the year, then the reader's month,
    // day, hour and minute, each in decimal without leading zeros.
    static QString OutOfHoursMessage(int year, const TRegistrador_Data& data);
};
