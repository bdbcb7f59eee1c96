#include "shell/TimeText.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <cstdlib>

#include "shell/Clock.h"
#include "tests/support/TestSupport.h"

namespace {

const QDateTime kMorning(QDate(2024, 3, 5), QTime(7, 4, 9));
const QDateTime kLastSecond(QDate(1999, 12, 31), QTime(23, 59, 59));

TEST(TimeTextTest, FixedFormatsWithFourDigitYearAndTwentyFourHours) {
    EXPECT_EQ(DateTimeText(kMorning), "05/03/2024 07:04");
    EXPECT_EQ(LogStamp(kMorning), "05/03/2024 07:04:09");
    EXPECT_EQ(TimeText(kMorning), "07:04");

    EXPECT_EQ(DateTimeText(kLastSecond), "31/12/1999 23:59");
    EXPECT_EQ(LogStamp(kLastSecond), "31/12/1999 23:59:59");
    EXPECT_EQ(TimeText(kLastSecond), "23:59");

    const QDateTime early(QDate(987, 1, 2), QTime(0, 0, 0));
    EXPECT_EQ(LogStamp(early), "02/01/0987 00:00:00");
}

TEST(TimeTextTest, InvalidDateTimeGivesEmptyText) {
    EXPECT_EQ(DateTimeText(QDateTime()), "");
    EXPECT_EQ(LogStamp(QDateTime()), "");
    EXPECT_EQ(TimeText(QDateTime()), "");
}

TEST(TimeTextTest, TextsDoNotFollowTheLocale) {
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const QString dateTime = DateTimeText(kLastSecond);
    const QString stamp = LogStamp(kLastSecond);
    QLocale::setDefault(previous);
    EXPECT_EQ(dateTime, "31/12/1999 23:59");
    EXPECT_EQ(stamp, "31/12/1999 23:59:59");
}

TEST(TimeTextTest, SpanishNamesStartOnSunday) {
    EXPECT_EQ(ShortDayNames(), QStringList({"Dom", "Lun", "Mar", "Mie", "Jue", "Vie", "Sab"}));
    EXPECT_EQ(LongDayNames(), QStringList({"Domingo", "Lunes", "Martes", "Miercoles", "Jueves",
                                           "Viernes", "Sabado"}));
    EXPECT_EQ(ShortMonthNames(), QStringList({"Ene", "Feb", "Mar", "Abr", "May", "Jun", "Jul",
                                              "Ago", "Set", "Oct", "Nov", "Dic"}));
    EXPECT_EQ(LongMonthNames(),
              QStringList({"Enero", "Febrero", "Marzo", "Abril", "Mayo", "Junio", "Julio", "Agosto",
                           "Setiembre", "Octubre", "Noviembre", "Diciembre"}));

    // 3 March 2024 was a Sunday, 9 March a Saturday.
    EXPECT_EQ(ShortDayName(QDate(2024, 3, 3)), "Dom");
    EXPECT_EQ(LongDayName(QDate(2024, 3, 3)), "Domingo");
    EXPECT_EQ(ShortDayName(QDate(2024, 3, 9)), "Sab");
    EXPECT_EQ(LongDayName(QDate(2024, 3, 6)), "Miercoles");
    EXPECT_EQ(ShortMonthName(QDate(2024, 9, 1)), "Set");
    EXPECT_EQ(LongMonthName(QDate(2024, 9, 1)), "Setiembre");
    EXPECT_EQ(LongMonthName(QDate(2024, 1, 31)), "Enero");
    EXPECT_EQ(ShortDayName(QDate()), "");
    EXPECT_EQ(LongMonthName(QDate()), "");
}

}  // namespace

// The system clock keeps its reading for the millisecond it stands for; a
// change of zone (a site's clock set to another zone while the agent runs)
// must still show at the next millisecond, as Qt's own reading would.
TEST(TimeTextTest, TheSystemClockFollowsAChangeOfZone) {
    const ClockFn clock = SystemClock();
    const auto nextMillisecond = [](qint64 after) {
        for (int i = 0; i < 1000000 && QDateTime::currentMSecsSinceEpoch() <= after; ++i) {
        }
    };
    ScopedTimeZone utc("UTC");
    const QDateTime first = clock();
    EXPECT_EQ(first.timeSpec(), Qt::LocalTime);
    EXPECT_EQ(first.offsetFromUtc(), 0);
    nextMillisecond(first.toMSecsSinceEpoch());
    {
        ScopedTimeZone far("Asia/Kolkata");  // +05:30 all year
        const QDateTime second = clock();
        EXPECT_EQ(second.offsetFromUtc(), 5 * 3600 + 1800);
        EXPECT_GE(second.toMSecsSinceEpoch(), first.toMSecsSinceEpoch());
        EXPECT_LE(std::abs(second.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch()), 1000);
    }
}
