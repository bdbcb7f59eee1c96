#include "shell/Windows1252.h"

#include <gtest/gtest.h>

namespace {

TEST(Windows1252Test, WesternLettersAndTheSpecialsOfTheHighBlock) {
    EXPECT_EQ(ToWindows1252(QStringLiteral("sesión")), QByteArray("sesi\xF3n"));
    EXPECT_EQ(ToWindows1252(QStringLiteral("é ñ Ñ ü ¿¡")),
              QByteArray("\xE9 \xF1 \xD1 \xFC \xBF\xA1"));
    EXPECT_EQ(ToWindows1252(QStringLiteral("€ “x” – — … ™ Ÿ")),
              QByteArray("\x80 \x93x\x94 \x96 \x97 \x85 \x99 \x9F"));
}

TEST(Windows1252Test, CharactersWithoutAByteBecomeOneQuestionMarkEach) {
    EXPECT_EQ(ToWindows1252(QStringLiteral("a中b")), QByteArray("a?b"));
    // A character outside the basic plane is one character, not two.
    EXPECT_EQ(ToWindows1252(QString::fromUcs4(U"x\U0001F600y")), QByteArray("x?y"));
    // C1 controls that Windows-1252 uses for printable signs have no byte.
    EXPECT_EQ(ToWindows1252(QString(QChar(0x0080))), QByteArray("?"));
}

TEST(Windows1252Test, EveryByteSurvivesARoundTrip) {
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(char(b));
    const QString text = FromWindows1252(all);
    EXPECT_EQ(text.size(), 256);
    EXPECT_EQ(text.at(0x80), QChar(0x20AC));
    EXPECT_EQ(text.at(0xF3), QChar(0x00F3));
    EXPECT_EQ(ToWindows1252(text), all);
}

}  // namespace
