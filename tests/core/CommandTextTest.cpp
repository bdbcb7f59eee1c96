// Reading of command texts and the reader clock check, with the worked values
// of the command and clock rules as test vectors.
#include <gtest/gtest.h>

#include "core/CommandText.h"
#include "core/ReaderClock.h"
#include "link/TRegistrador_Data.h"
#include "shell/Errors.h"

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

TEST(ReaderClock, OutOfHoursMessageWithoutLeadingZeros) {
    EXPECT_EQ(ReaderClock::OutOfHoursMessage(2026, Clock(3, 9, 8, 5)),
              "RELOJ FUERA DE HORA 2026-3-9 8:5");
    EXPECT_EQ(ReaderClock::OutOfHoursMessage(2026, Clock(12, 31, 23, 58)),
              "RELOJ FUERA DE HORA 2026-12-31 23:58");
}
