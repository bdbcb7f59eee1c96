#include "shell/TimeText.h"

namespace {

QString TwoDigits(int v) {
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

QString DatePart(const QDate& d) {
    return TwoDigits(d.day()) + QLatin1Char('/') + TwoDigits(d.month()) + QLatin1Char('/') +
           QStringLiteral("%1").arg(d.year(), 4, 10, QLatin1Char('0'));
}

QString HoursMinutes(const QTime& t) {
    return TwoDigits(t.hour()) + QLatin1Char(':') + TwoDigits(t.minute());
}

// QDate counts Monday as 1 and Sunday as 7; the lists start with Sunday.
int DayIndex(const QDate& d) {
    return d.dayOfWeek() % 7;
}

}  // namespace

QString DateTimeText(const QDateTime& when) {
    if (!when.isValid())
        return {};
    return DatePart(when.date()) + QLatin1Char(' ') + HoursMinutes(when.time());
}

QString LogStamp(const QDateTime& when) {
    if (!when.isValid())
        return {};
    return DateTimeText(when) + QLatin1Char(':') + TwoDigits(when.time().second());
}

QString TimeText(const QDateTime& when) {
    if (!when.isValid())
        return {};
    return HoursMinutes(when.time());
}

const QStringList& ShortDayNames() {
    static const QStringList names{"Dom", "Lun", "Mar", "Mie", "Jue", "Vie", "Sab"};
    return names;
}

const QStringList& LongDayNames() {
    static const QStringList names{"Domingo", "Lunes",   "Martes", "Miercoles",
                                   "Jueves",  "Viernes", "Sabado"};
    return names;
}

const QStringList& ShortMonthNames() {
    static const QStringList names{"Ene", "Feb", "Mar", "Abr", "May", "Jun",
                                   "Jul", "Ago", "Set", "Oct", "Nov", "Dic"};
    return names;
}

const QStringList& LongMonthNames() {
    static const QStringList names{"Enero",     "Febrero", "Marzo",     "Abril",
                                   "Mayo",      "Junio",   "Julio",     "Agosto",
                                   "Setiembre", "Octubre", "Noviembre", "Diciembre"};
    return names;
}

QString ShortDayName(const QDate& date) {
    return date.isValid() ? ShortDayNames().at(DayIndex(date)) : QString();
}

QString LongDayName(const QDate& date) {
    return date.isValid() ? LongDayNames().at(DayIndex(date)) : QString();
}

QString ShortMonthName(const QDate& date) {
    return date.isValid() ? ShortMonthNames().at(date.month() - 1) : QString();
}

QString LongMonthName(const QDate& date) {
    return date.isValid() ? LongMonthNames().at(date.month() - 1) : QString();
}
