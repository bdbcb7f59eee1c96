#include "shell/TVersionInfo.h"

#include <gtest/gtest.h>

namespace {

TEST(TVersionInfoTest, WorkedExamples) {
    EXPECT_EQ(TVersionInfo::FormatVersion(7, 30, 4, 0), "07.30.0400");
    EXPECT_EQ(TVersionInfo::FormatVersion(1, 2, 3, 4), "01.02.0304");
    EXPECT_EQ(TVersionInfo::FormatVersion(1, 2, 3, 104), "01.02.0304");

    const TVersionInfo v(QStringLiteral("7.30.4.0"));
    EXPECT_TRUE(v.Read());
    EXPECT_EQ(v.Major(), 7);
    EXPECT_EQ(v.Minor(), 30);
    EXPECT_EQ(v.Build(), 400);
    EXPECT_EQ(v.VersionText(), "07.30.0400");
    EXPECT_EQ(TVersionInfo(QStringLiteral("1.2.3.104")).Build(), 304);
}

TEST(TVersionInfoTest, BuildTakesTheLowBytesOfTheLastTwoParts) {
    EXPECT_EQ(TVersionInfo(QStringLiteral("1.2.99.99")).Build(), 9999);
    // 256 has a low byte of 0; 355 has a low byte of 99.
    EXPECT_EQ(TVersionInfo(QStringLiteral("1.2.256.5")).VersionText(), "01.02.0005");
    EXPECT_EQ(TVersionInfo(QStringLiteral("1.2.3.355")).VersionText(), "01.02.0399");
    // Wide parts keep all their digits.
    EXPECT_EQ(TVersionInfo(QStringLiteral("123.4567.255.99")).VersionText(), "123.4567.25599");
    // Missing trailing parts count as 0.
    EXPECT_EQ(TVersionInfo(QStringLiteral("7.30")).VersionText(), "07.30.0000");
}

TEST(TVersionInfoTest, UnreadableVersionShowsZeros) {
    for (const char* text :
         {"", "x.1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.70000", "1.2.3.-4", " 1.2"}) {
        const TVersionInfo v{QString::fromLatin1(text)};
        EXPECT_FALSE(v.Read()) << text;
        EXPECT_EQ(v.Major(), 0) << text;
        EXPECT_EQ(v.Minor(), 0) << text;
        EXPECT_EQ(v.Build(), 0) << text;
        EXPECT_EQ(v.VersionText(), "00.00.0000") << text;
    }
}

TEST(TVersionInfoTest, CompiledInVersionIsTheBuildsVersion) {
    const TVersionInfo compiled;
    EXPECT_TRUE(compiled.Read());
    EXPECT_EQ(compiled.VersionText(), TVersionInfo(QStringLiteral(KELVOR_VERSION)).VersionText());
    if (QStringLiteral(KELVOR_VERSION) == "7.30.4.0") {
        EXPECT_EQ(compiled.VersionText(), "07.30.0400");
    }
}

}  // namespace
