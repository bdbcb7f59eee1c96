#include "core/ReaderClock.h"

#include "link/TRegistrador_Data.h"
#include "link/WallClock.h"
#include "shell/Errors.h"

QDateTime ReaderClock::At(int year, const TRegistrador_Data& data) {
    const QDate date(year, data.Mes, data.Dia);
    const QTime time(data.Hora, data.Minuto, 0, 0);
    if (!date.isValid() || !time.isValid()) {
        throw EConvertError(QStringLiteral("El reloj del registrador no es una fecha válida: "
                                           "%1-%2-%3 %4:%5")
                                .arg(year)
                                .arg(data.Mes)
                                .arg(data.Dia)
                                .arg(data.Hora)
                                .arg(data.Minuto));
    }
    // The reader's wall clock, also in the hour the computer's zone skips.
    return WallClock::Make(date, time);
}

bool ReaderClock::WithinTolerance(const QDateTime& reader, const QDateTime& now, qint32 difHora) {
    const qint64 toleranceMs = qint64(qMax(difHora, 0)) * 60 * 1000;
    // Wall clock against wall clock: in the autumn hour that comes twice,
    // a reader at 02:30 agrees with a computer at the second 02:30; after
    // the spring jump a reader still an hour back is an hour out.
    const qint64 offsetMs = WallClock::MsecsBetween(now, reader);
    return offsetMs >= -toleranceMs && offsetMs <= toleranceMs;
}

QString ReaderClock::OutOfHoursMessage(int year, const TRegistrador_Data& data) {
    return QStringLiteral("RELOJ FUERA DE HORA %1-%2-%3 %4:%5")
        .arg(year)
        .arg(data.Mes)
        .arg(data.Dia)
        .arg(data.Hora)
        .arg(data.Minuto);
}

qint64 ReaderClock::DifferenceMinutes(const QDateTime& reader, const QDateTime& now) {
    const QDateTime minute(now.date(), QTime(now.time().hour(), now.time().minute()));
    return minute.secsTo(reader) / 60;
}
