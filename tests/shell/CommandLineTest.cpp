#include "core/CommandLine.h"

#include <gtest/gtest.h>

namespace {

AgentOptions Valid(const QStringList& args) {
    const CommandLineResult r = ParseCommandLine(args);
    EXPECT_TRUE(r.options.has_value()) << r.error.toStdString();
    EXPECT_EQ(r.error, "");
    return r.options.value_or(AgentOptions{});
}

QString Error(const QStringList& args) {
    const CommandLineResult r = ParseCommandLine(args);
    EXPECT_FALSE(r.options.has_value()) << args.join(' ').toStdString();
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_FALSE(r.error.contains('\n'));
    return r.error;
}

TEST(CommandLineTest, NoArgumentsRunsTheAgentWithDefaults) {
    const AgentOptions o = Valid({});
    EXPECT_FALSE(o.headless);
    EXPECT_EQ(o.registry, "");
    EXPECT_EQ(o.logDir, "");
    EXPECT_FALSE(o.cycles.has_value());
    EXPECT_FALSE(o.printConfig || o.version || o.help);
}

TEST(CommandLineTest, EveryOptionInBothSpellings) {
    const AgentOptions o =
        Valid({"--headless", "--registry", "/tmp/r.reg", "--log-dir", "/var/log/k", "--cycles", "3",
               "--print-config", "--version", "--help"});
    EXPECT_TRUE(o.headless);
    EXPECT_EQ(o.registry, "/tmp/r.reg");
    EXPECT_EQ(o.logDir, "/var/log/k");
    EXPECT_EQ(o.cycles, 3);
    EXPECT_TRUE(o.printConfig && o.version && o.help);

    const AgentOptions eq = Valid({"--registry=/a b.reg", "--log-dir=d", "--cycles=2147483647"});
    EXPECT_EQ(eq.registry, "/a b.reg");
    EXPECT_EQ(eq.logDir, "d");
    EXPECT_EQ(eq.cycles, 2147483647);

    EXPECT_EQ(Valid({"--cycles", "1", "--cycles", "9"}).cycles, 9);
    EXPECT_EQ(Valid({"--registry=--raro"}).registry, "--raro");
}

TEST(CommandLineTest, BadOptionsAreNamed) {
    EXPECT_TRUE(Error({"--headless", "--bogus"}).contains("--bogus"));
    EXPECT_TRUE(Error({"-x"}).contains("-x"));
    EXPECT_TRUE(Error({"extra"}).contains("extra"));
    EXPECT_TRUE(Error({"--headless=1"}).contains("--headless"));
    EXPECT_TRUE(Error({"--registry"}).contains("--registry"));
    EXPECT_TRUE(Error({"--registry", "--headless"}).contains("--registry"));
    EXPECT_TRUE(Error({"--log-dir="}).contains("--log-dir"));
}

TEST(CommandLineTest, CyclesMustBeAPositiveInteger) {
    for (const char* bad : {"0", "x", "-1", "+2", "1.5", " 3", "3x", "2147483648", "99999999999"}) {
        const QString e = Error({"--cycles", QString::fromLatin1(bad)});
        EXPECT_TRUE(e.contains("--cycles")) << bad;
        EXPECT_TRUE(e.contains(QString::fromLatin1(bad))) << bad;
    }
    EXPECT_TRUE(Error({"--cycles"}).contains("--cycles"));
    EXPECT_EQ(Valid({"--cycles", "1"}).cycles, 1);
    EXPECT_EQ(Valid({"--cycles", "007"}).cycles, 7);
}

TEST(CommandLineTest, UsageNamesEveryOption) {
    const QString usage = UsageText();
    for (const char* option : {"--headless", "--registry", "--log-dir", "--cycles",
                               "--print-config", "--version", "--help"})
        EXPECT_TRUE(usage.contains(QString::fromLatin1(option))) << option;
    EXPECT_TRUE(usage.endsWith('\n'));
}

}  // namespace
