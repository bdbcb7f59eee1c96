// Decoding of registration records, with the year rule.

#include <gtest/gtest.h>

#include "link/TFichada.h"
#include "link/TListaFichadas.h"
#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

// Characters 2-16 as given; position 1 and 17 filler, 18 the check.
QByteArray Record(const QByteArray& code, const QByteArray& mmddhhnn, const QByteArray& key) {
    return Sealed(QByteArray("x") + code + mmddhhnn + key + "0");
}

TEST(TFichada, DecodesCodeKeyAndMomentInTheCurrentYear) {
    const TFichada f(Record("11", "03150842", "00123"), At(2026, 3, 10));
    EXPECT_EQ(f.GetEstado(), "11");
    EXPECT_EQ(f.NroLlave(), 123);
    EXPECT_EQ(f.FechaHora(), At(2026, 3, 15, 8, 42));
    EXPECT_EQ(f.FechaHora().time().second(), 0);
}

TEST(TFichada, AMonthStillToComeBelongsToLastYear) {
    EXPECT_EQ(TFichada(Record("11", "03150842", "00123"), At(2026, 2, 10)).FechaHora(),
              At(2025, 3, 15, 8, 42));
    EXPECT_EQ(TFichada(Record("11", "12310800", "00001"), At(2027, 1, 2)).FechaHora(),
              At(2026, 12, 31, 8, 0));
    // January read in December stays in the current year, in the future.
    EXPECT_EQ(TFichada(Record("11", "01010000", "00001"), At(2026, 12, 31)).FechaHora(),
              At(2026, 1, 1, 0, 0));
}

// Readers do not jump at the change to or from daylight saving time: a
// record in the hour the zone skips, or in the hour it repeats, decodes to
// the wall clock the reader gave, in real zones, over a year end too.
TEST(TFichada, DaylightSavingGapsAndOverlapsKeepTheReadersWallClock) {
    struct Case {
        const char* zone;
        const char* mmddhhnn;
        QDate readOn;
        QDate date;
        QTime time;
    } cases[] = {
        // The spring gap, at its first minute too; the autumn overlap; the
        // same text read in spring, a month still to come, so last year's.
        {"Europe/Madrid", "03290230", {2026, 3, 29}, {2026, 3, 29}, {2, 30}},
        {"Europe/Madrid", "03290200", {2026, 3, 29}, {2026, 3, 29}, {2, 0}},
        {"Europe/Madrid", "10250230", {2026, 10, 25}, {2026, 10, 25}, {2, 30}},
        {"Europe/Madrid", "10250230", {2026, 3, 29}, {2025, 10, 25}, {2, 30}},
        // A gap at midnight; a southern zone's gap; its year end in summer time.
        {"America/Santiago", "09060030", {2026, 9, 6}, {2026, 9, 6}, {0, 30}},
        {"Australia/Sydney", "10040230", {2026, 10, 4}, {2026, 10, 4}, {2, 30}},
        {"Australia/Sydney", "12312359", {2027, 1, 1}, {2026, 12, 31}, {23, 59}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.mmddhhnn);
        const ScopedTimeZone tz(c.zone);
        const QDateTime now(c.readOn, QTime(5, 0));
        ASSERT_TRUE(now.isValid());
        const TFichada f(Record("11", c.mmddhhnn, "00042"), now);
        EXPECT_TRUE(f.FechaHora().isValid());
        EXPECT_EQ(f.FechaHora().date(), c.date);
        EXPECT_EQ(f.FechaHora().time(), c.time);
    }
}

TEST(TFichada, LeapDayOnlyInLeapYears) {
    EXPECT_THROW(TFichada(Record("11", "02291200", "00001"), At(2026, 3, 1)), EConvertError);
    EXPECT_EQ(TFichada(Record("11", "02291200", "00001"), At(2028, 3, 1)).FechaHora(),
              At(2028, 2, 29, 12, 0));
}

TEST(TFichada, KeepsTheEventCodeAsItArrivesAndTheSpecialKey) {
    const TFichada f(Record("Z?", "12080842", "99999"), At(2026, 12, 9));
    EXPECT_EQ(f.GetEstado(), "Z?");
    EXPECT_EQ(f.NroLlave(), 99999);
}

TEST(TFichada, EveryBadFieldIsAConversionError) {
    const QDateTime now = At(2026, 12, 9);
    const char* bad[][2] = {
        {"13010000", "00001"},  // month 13
        {"00010000", "00001"},  // month 0
        {"04310000", "00001"},  // 31 April
        {"01000000", "00001"},  // day 0
        {"01012400", "00001"},  // hour 24
        {"01010060", "00001"},  // minute 60
        {"01 10000", "00001"},  // a blank is not a digit
        {"0101+100", "00001"},  // nor a sign
        {"01010000", "0012A"},  // key not a number
        {"01010000", "-0012"},
    };
    for (const auto& b : bad) {
        EXPECT_THROW(TFichada(Record("11", b[0], b[1]), now), EConvertError) << b[0] << " " << b[1];
    }
    EXPECT_THROW(TFichada(QByteArray("x1101010000"), now), EConvertError);  // too short
    // Bytes no reader sends in the event code or the key: a NUL, a control
    // character, DEL.
    const QByteArray codes[] = {QByteArray("\0" "1", 2), QByteArray("1\0", 2), "\x01" "1", "1\n",
                                "\x7f" "1"};
    for (const QByteArray& code : codes) {
        EXPECT_THROW(TFichada(Record(code, "01010000", "00001"), now), EConvertError)
            << code.toHex().constData();
    }
    EXPECT_THROW(TFichada(Record("11", "01010000", QByteArray("000\0" "1", 5)), now),
                 EConvertError);
    EXPECT_THROW(TFichada(Record("11", "01010000", "0001\t"), now), EConvertError);
}

TEST(TListaFichadas, ClearEmptiesAndCountsEntries) {
    TListaFichadas lista;
    lista.Clear();
    EXPECT_EQ(lista.Count(), 0);
    lista.Add(TFichada(1, At(2026, 1, 1), "11"));
    lista.Add(TFichada(2, At(2026, 1, 2), "123"));
    EXPECT_EQ(lista.Count(), 2);
    EXPECT_EQ(lista[1].GetEstado(), "12");
    lista.Clear();
    EXPECT_EQ(lista.Count(), 0);
}

}  // namespace
