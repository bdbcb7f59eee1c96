// Reading of command texts and the reader clock check, with the worked values
// of the command and clock rules as test vectors.
#include <gtest/gtest.h>

#include "core/CommandText.h"
#include "core/ReaderClock.h"
#include "link/TRegistrador_Data.h"
#include "shell/Errors.h"
#include "shell/TimeText.h"
#include "tests/support/TestSupport.h"

TEST(CommandText, AltaWithSchedulesOrPlain) {
    CommandText::Alta a = CommandText::ParseAlta("00123AB", false);
    EXPECT_EQ(a.key, 123);
    EXPECT_EQ(a.c1, u'A');
    EXPECT_EQ(a.c2, u'B');

    a = CommandText::ParseAlta("00123-B", false);
    EXPECT_EQ(a.key, 123);
    EXPECT_EQ(a.c1, u'-');
    EXPECT_EQ(a.c2, u'B');

    // An Hta reader reads only the key; the schedules are not needed.
    a = CommandText::ParseAlta("00123", true);
    EXPECT_EQ(a.key, 123);
    EXPECT_EQ(a.c1, u'-');
    EXPECT_EQ(a.c2, u'-');
    a = CommandText::ParseAlta("0012345", true);
    EXPECT_EQ(a.key, 123);
    EXPECT_EQ(a.c1, u'-');
}

TEST(CommandText, MalformedAltaTextsFail) {
    EXPECT_THROW(CommandText::ParseAlta("00123A", false), Exception);
    EXPECT_THROW(CommandText::ParseAlta("", false), EConvertError);
    EXPECT_THROW(CommandText::ParseAlta("0x123AB", false), EConvertError);
    EXPECT_THROW(CommandText::ParseAlta("ABCDE", true), EConvertError);
}

TEST(CommandText, KeyNumbers) {
    EXPECT_EQ(CommandText::KeyNumber("00123"), 123);
    EXPECT_EQ(CommandText::KeyNumber("99999"), 99999);
    EXPECT_EQ(CommandText::KeyNumber("0"), 0);
    EXPECT_EQ(CommandText::KeyNumber("123456"), 123456);
    EXPECT_EQ(CommandText::KeyNumber(" 42 "), 42);
    for (const char* bad : {"", "abc", "12a", "-5", "+5", "1 2", "99999999999", "１２"}) {
        EXPECT_THROW(CommandText::KeyNumber(QString::fromUtf8(bad)), EConvertError) << bad;
    }
}

namespace {
TRegistrador_Data Clock(int mes, int dia, int hora, int minuto) {
    TRegistrador_Data d;
    d.Mes = mes;
    d.Dia = dia;
    d.Hora = hora;
    d.Minuto = minuto;
    return d;
}
}  // namespace

TEST(ReaderClock, TakesTheComputersYearAndZeroSeconds) {
    const QDateTime c = ReaderClock::At(2026, Clock(3, 15, 8, 42));
    EXPECT_EQ(c, QDateTime(QDate(2026, 3, 15), QTime(8, 42, 0, 0)));
    EXPECT_THROW(ReaderClock::At(2027, Clock(2, 29, 10, 0)), EConvertError);
    EXPECT_NO_THROW(ReaderClock::At(2028, Clock(2, 29, 10, 0)));
    EXPECT_THROW(ReaderClock::At(2026, Clock(13, 1, 0, 0)), EConvertError);
    EXPECT_THROW(ReaderClock::At(2026, Clock(1, 1, 24, 0)), EConvertError);
    EXPECT_THROW(ReaderClock::At(2026, Clock(1, 1, 0, 60)), EConvertError);
}

TEST(ReaderClock, BothEndsOfTheWindowAreInside) {
    const QDateTime now(QDate(2026, 6, 10), QTime(12, 0, 0));
    EXPECT_TRUE(ReaderClock::WithinTolerance(now.addSecs(5 * 60), now, 5));
    EXPECT_TRUE(ReaderClock::WithinTolerance(now.addSecs(-5 * 60), now, 5));
    EXPECT_FALSE(ReaderClock::WithinTolerance(now.addSecs(5 * 60 + 1), now, 5));
    EXPECT_FALSE(ReaderClock::WithinTolerance(now.addSecs(-5 * 60 - 1), now, 5));
    EXPECT_TRUE(ReaderClock::WithinTolerance(now, now, 0));
    EXPECT_FALSE(ReaderClock::WithinTolerance(now.addSecs(60), now, -3));
}

TEST(ReaderClock, NewYearsReaderOfLastYearIsTakenInTheNewYear) {
    // 1 January 00:02; the reader still shows 31 December 23:58.
    const QDateTime now(QDate(2027, 1, 1), QTime(0, 2, 0));
    const QDateTime reader = ReaderClock::At(now.date().year(), Clock(12, 31, 23, 58));
    EXPECT_EQ(reader.date(), QDate(2027, 12, 31));
    EXPECT_FALSE(ReaderClock::WithinTolerance(reader, now, 5));
}

// Readers keep their own wall clock through daylight-saving changes: the
// check compares wall clocks, is never fooled by an invalid moment and never
// puts the zone's hour between two equal clocks.
TEST(ReaderClock, DaylightSavingChangesCompareWallClocks) {
    const ScopedTimeZone tz("Europe/Madrid");
    // 29 March 2026, 03:10 summer time: a reader that did not jump shows
    // 02:10 (a time the zone skips) and is an hour behind; one that jumped
    // (or is two minutes behind, in the gap) is within tolerance.
    const QDateTime spring(QDate(2026, 3, 29), QTime(3, 10));
    const QDateTime behind = ReaderClock::At(2026, Clock(3, 29, 2, 10));
    ASSERT_TRUE(behind.isValid());
    EXPECT_EQ(behind.time(), QTime(2, 10));
    EXPECT_FALSE(ReaderClock::WithinTolerance(behind, spring, 5));
    EXPECT_TRUE(ReaderClock::WithinTolerance(ReaderClock::At(2026, Clock(3, 29, 3, 8)), spring, 5));
    const QDateTime beforeJump(QDate(2026, 3, 29), QTime(1, 59));
    EXPECT_TRUE(
        ReaderClock::WithinTolerance(ReaderClock::At(2026, Clock(3, 29, 2, 3)), beforeJump, 5));
    EXPECT_EQ(DateTimeText(behind), "29/03/2026 02:10");
    // 25 October 2026, the second 02:30 (winter time): a reader at 02:30
    // agrees; so does one at 02:30 during the first pass.
    // Made from the instants: which 02:30 a local constructor picks is the C
    // library's choice.
    const QDateTime first = QDateTime(QDate(2026, 10, 25), QTime(0, 30), Qt::UTC).toLocalTime();
    const QDateTime second = first.addSecs(3600);
    ASSERT_EQ(first.time(), QTime(2, 30));
    ASSERT_EQ(second.time(), QTime(2, 30));
    const QDateTime reader = ReaderClock::At(2026, Clock(10, 25, 2, 30));
    EXPECT_TRUE(ReaderClock::WithinTolerance(reader, second, 5));
    EXPECT_TRUE(ReaderClock::WithinTolerance(reader, first, 5));
    // A year end in a southern zone in summer time: the rule of the
    // computer's year still holds (last year's 31 December is next December).
    const ScopedTimeZone sydney("Australia/Sydney");
    const QDateTime newYear(QDate(2027, 1, 1), QTime(0, 2));
    EXPECT_FALSE(
        ReaderClock::WithinTolerance(ReaderClock::At(2027, Clock(12, 31, 23, 58)), newYear, 5));
    EXPECT_TRUE(ReaderClock::WithinTolerance(ReaderClock::At(2027, Clock(1, 1, 0, 0)), newYear, 5));
}

TEST(ReaderClock, OutOfHoursMessageWithoutLeadingZeros) {
    EXPECT_EQ(ReaderClock::OutOfHoursMessage(2026, Clock(3, 9, 8, 5)),
              "RELOJ FUERA DE HORA 2026-3-9 8:5");
    EXPECT_EQ(ReaderClock::OutOfHoursMessage(2026, Clock(12, 31, 23, 58)),
              "RELOJ FUERA DE HORA 2026-12-31 23:58");
}
