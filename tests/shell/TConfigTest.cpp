#include "shell/TConfig.h"

#include <gtest/gtest.h>

#include "shell/RegistryFile.h"
#include "tests/support/TestSupport.h"

namespace {

class TConfigTest : public ::testing::Test {
protected:
    ScratchDir dir;
    QString path = dir.File("registry.reg");
    RegistryFile reg{path};

    void StoreAgentKey(const QString& values) {
        ASSERT_TRUE(WriteAll(path, ("Windows Registry Editor Version 5.00\n\n"
                                    "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\n" +
                                    values)
                                       .toUtf8()));
    }
    TConfig Loaded() {
        TConfig c;
        c.Retrys = 99;
        c.Load(reg);
        return c;
    }
};

TEST_F(TConfigTest, NoKeyGivesKeyMissingDefaults) {
    const TConfig c = Loaded();
    EXPECT_EQ(c.Describe(), QStringList({"Estacion=1", "Comandos=10", "Prioridad=3", "Filas=100",
                                         "DifHora=5", "LogFileActivado=0", "LogFileAppend=0",
                                         "Retrys=2", "TimeOut=3", "Espera=3", "Kelvor1Compat=0",
                                         "ActHora=0", "IV=1", "MASTER1=0", "MASTER2=0",
                                         "MASTER3=0", "PSW=0", "Eco=2"}));
}

TEST_F(TConfigTest, KeyWithOnlyStationGivesValueMissingDefaults) {
    StoreAgentKey("\"Estacion\"=dword:00000004\n");
    const TConfig c = Loaded();
    EXPECT_EQ(c.Estacion, 4);
    EXPECT_EQ(c.Retrys, 1);
    EXPECT_EQ(c.Comandos, 10);
    EXPECT_TRUE(c.IV);
}

TEST_F(TConfigTest, TextOrBrokenValuesTakeDefaultsAndNoRangeIsApplied) {
    StoreAgentKey("\"Estacion\"=\"7\"\n"
                  "\"Comandos\"=dword:00000000\n"
                  "garbage line\n"
                  "\"Prioridad\"=dword:00000009\n"
                  "\"Filas\"=dword:zz\n"
                  "\"PSW\"=dword:00000005\n"
                  "\"IV\"=dword:00000000\n");
    const TConfig c = Loaded();
    EXPECT_EQ(c.Estacion, 1);
    EXPECT_EQ(c.Comandos, 0);
    EXPECT_EQ(c.Prioridad, 9);
    EXPECT_EQ(c.Filas, 100);
    EXPECT_TRUE(c.PSW);
    EXPECT_FALSE(c.IV);
}

TEST_F(TConfigTest, SaveCreatesKeyWithoutMasterKeysAndWritesBooleansAsOne) {
    TConfig c = Loaded();
    c.MASTER1 = 555;
    c.Save(reg);
    auto key = reg.OpenKeyRead(RegistryKeys::kAgent);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ValueNames(),
              QStringList({"Estacion", "Comandos", "Prioridad", "Filas", "DifHora",
                           "LogFileActivado", "LogFileAppend", "Retrys", "TimeOut", "Espera",
                           "Kelvor1Compat", "ActHora", "IV", "PSW"}));
    EXPECT_EQ(key->ReadInteger("Retrys"), 2);

    StoreAgentKey("\"PSW\"=dword:00000005\n\"MASTER2\"=dword:00000063\n");
    c = Loaded();
    c.Save(reg);
    key = reg.OpenKeyRead(RegistryKeys::kAgent);
    EXPECT_EQ(key->ReadInteger("PSW"), 1);
    EXPECT_EQ(key->ReadInteger("MASTER2"), 99);
}

// The echo setting: read like the others, any value kept as written (the link
// reads what is not 0 or 1 as automatic), and a save leaves the installer's
// value alone.
TEST_F(TConfigTest, EchoSettingIsReadAndASaveLeavesItAsTheInstallerWroteIt) {
    const struct {
        const char* stored;
        qint32 eco;
    } cases[] = {{"", 2}, {"\"Eco\"=dword:00000000\n", 0}, {"\"Eco\"=dword:00000001\n", 1},
                 {"\"Eco\"=dword:00000007\n", 7}, {"\"Eco\"=\"1\"\n", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        StoreAgentKey(QStringLiteral("\"Estacion\"=dword:00000001\n") + c.stored);
        TConfig config = Loaded();
        EXPECT_EQ(config.Eco, c.eco);
        EXPECT_TRUE(config.Describe().contains(QStringLiteral("Eco=%1").arg(c.eco)));
        config.Eco = 5;
        ASSERT_TRUE(config.Save(reg));
        EXPECT_EQ(Loaded().Eco, c.eco);
    }
}

TEST_F(TConfigTest, BrokenLinesSurviveASave) {
    StoreAgentKey("\"Estacion\"=dword:00000003\nnot a value\n\"Odd\"=hex(7):00\n");
    TConfig c = Loaded();
    c.Save(reg);
    const QByteArray text = ReadAll(path);
    EXPECT_TRUE(text.contains("not a value\n"));
    EXPECT_TRUE(text.contains("\"Odd\"=hex(7):00\n"));
    EXPECT_EQ(Loaded().Estacion, 3);
}

}  // namespace
