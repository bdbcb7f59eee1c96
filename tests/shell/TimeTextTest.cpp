#include "shell/TimeText.h"

#include <gtest/gtest.h>

#include <QLocale>

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
