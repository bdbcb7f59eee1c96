#include "link/WallClock.h"

QDateTime WallClock::Make(const QDate& date, const QTime& time) {
    if (!date.isValid() || !time.isValid())
        return {};
    const QDateTime local(date, time);
    // A local time in a gap is invalid, and one Qt adjusted would show other
    // fields: either way the fields are kept without a zone.
    if (local.isValid() && local.date() == date && local.time() == time)
        return local;
    return QDateTime(date, time, Qt::UTC);
}

qint64 WallClock::MsecsBetween(const QDateTime& from, const QDateTime& to) {
    if (!from.isValid() || !to.isValid())
        return 0;
    // Both as floating values: no zone rule puts an hour between them.
    const QDateTime a(from.date(), from.time(), Qt::UTC);
    const QDateTime b(to.date(), to.time(), Qt::UTC);
    return a.msecsTo(b);
}
