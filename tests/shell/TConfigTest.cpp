#include "shell/TConfig.h"

#include <gtest/gtest.h>

#include <QFileInfo>

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
    EXPECT_EQ(c.Describe(),
              QStringList({"Estacion=1", "Comandos=10", "Prioridad=3", "Filas=100", "DifHora=5",
                           "LogFileActivado=0", "LogFileAppend=0", "LogFileMax=30", "Retrys=2",
                           "TimeOut=3", "Espera=3", "Kelvor1Compat=0", "ActHora=0", "IV=1",
                           "MASTER1=0", "MASTER2=0", "MASTER3=0", "PSW=0", "Eco=2"}));
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

// A TConfig never loaded (a new settings file) writes every value but the
// master keys; a loaded one writes only what changed, booleans as 0 or 1.
TEST_F(TConfigTest, SaveWritesOnlyWhatChangedAndBooleansAsOne) {
    TConfig fresh;
    fresh.MASTER1 = 555;
    ASSERT_TRUE(fresh.Save(reg));
    auto key = reg.OpenKeyRead(RegistryKeys::kAgent);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ValueNames(),
              QStringList({"Estacion", "Comandos", "Prioridad", "Filas", "DifHora",
                           "LogFileActivado", "LogFileAppend", "Retrys", "TimeOut", "Espera",
                           "Kelvor1Compat", "ActHora", "IV", "PSW"}));
    EXPECT_EQ(key->ReadInteger("Retrys"), 2);

    StoreAgentKey("\"PSW\"=dword:00000005\n\"MASTER2\"=dword:00000063\n");
    const QByteArray stored = ReadAll(path);
    TConfig c = Loaded();
    ASSERT_TRUE(c.Save(reg));  // nothing changed: nothing written, 5 stays 5
    EXPECT_EQ(ReadAll(path), stored);
    c.PSW = false;
    c.PSW = true;  // set back: no change
    c.ActHora = true;
    c.MASTER2 = 1;  // never written
    ASSERT_TRUE(c.Save(reg));
    EXPECT_EQ(ReadAll(path), stored + "\"ActHora\"=dword:00000001\n");
    c.PSW = false;
    ASSERT_TRUE(c.Save(reg));
    EXPECT_EQ(reg.OpenKeyRead(RegistryKeys::kAgent)->ReadInteger("PSW"), 0);
    EXPECT_EQ(reg.OpenKeyRead(RegistryKeys::kAgent)->ReadInteger("MASTER2"), 99);
}

// An installer's edit made while the agent runs survives the agent's save of
// what the operator changed; a missing file is not made by a save of nothing.
TEST_F(TConfigTest, AnEditMadeMeanwhileSurvivesAndAMissingFileIsNotMade) {
    TConfig none = Loaded();
    EXPECT_TRUE(none.FileMissing());
    EXPECT_TRUE(none.LoadError().isEmpty());
    EXPECT_TRUE(none.StationProblem().isEmpty());
    ASSERT_TRUE(none.Save(reg));
    EXPECT_FALSE(QFileInfo::exists(path));

    StoreAgentKey("\"Estacion\"=dword:00000002\n\"DifHora\"=dword:00000005\n");
    TConfig c = Loaded();
    EXPECT_FALSE(c.FileMissing());
    StoreAgentKey(
        "\"Estacion\"=dword:00000002\n\"DifHora\"=dword:00000009\n"
        "\"Espera\"=dword:00000000\n");
    c.Filas = 20;
    ASSERT_TRUE(c.Save(reg));
    const auto key = reg.OpenKeyRead(RegistryKeys::kAgent);
    EXPECT_EQ(key->ReadInteger("DifHora"), 9);
    EXPECT_EQ(key->ReadInteger("Espera"), 0);
    EXPECT_EQ(key->ReadInteger("Filas"), 20);
    EXPECT_EQ(key->ValueNames(), QStringList({"Estacion", "DifHora", "Espera", "Filas"}));
}

// Values that are there but are no 32-bit integer: the default is used and
// said; "Estacion" stops the agent; a save never rewrites their lines.
TEST_F(TConfigTest, UnreadableValuesAreSaidAndTheirLinesKept) {
    const struct {
        const char* line;
        bool station;
    } cases[] = {
        {"\"Estacion\"=\"3\"", true},           {"\"Estacion\"=dword:00000003 ; nota", true},
        {"\"Estacion\"=dword:123456789", true}, {"\"Filas\"=\"20\"", false},
        {"\"IV\"=hex(4):01,00,00,00", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        StoreAgentKey(QByteArray(c.line) + "\n");
        TConfig config = Loaded();
        const QString name = QString(c.line).section('"', 1, 1);
        EXPECT_EQ(config.StationProblem().isEmpty(), !c.station);
        EXPECT_EQ(config.Problems().size(), c.station ? 0 : 1);
        const QString said = c.station ? config.StationProblem() : config.Problems().value(0);
        EXPECT_TRUE(said.startsWith(QString("El valor %1 de la clave HKEY_LOCAL_MACHINE"
                                            "\\Software\\Dalmor\\Kelvor\\Agente\\1.0 de ")
                                        .arg(c.line)))
            << said.toStdString();
        EXPECT_EQ(config.Estacion, 1);
        EXPECT_EQ(config.Filas, 100);
        EXPECT_TRUE(config.IV);
        // The operator changes it (and another value): the other is saved,
        // the unreadable line is kept and the save says so.
        const QByteArray before = ReadAll(path);
        config.Estacion = 7;
        config.Filas = 30;
        config.IV = false;
        config.Comandos = 12;
        QString error;
        EXPECT_FALSE(config.Save(reg, &error));
        EXPECT_TRUE(error.contains("no se guarda " + name)) << error.toStdString();
        const QByteArray after = ReadAll(path);
        EXPECT_TRUE(after.contains(QByteArray(c.line) + "\n")) << after.constData();
        EXPECT_TRUE(after.contains("\"Comandos\"=dword:0000000c"));
        EXPECT_EQ(after.count(name.toUtf8()), 1);
        EXPECT_NE(after, before);
    }
}

// A file an editor saved in the Western code page is read as such: its
// values are used and no encoding fault is said. A file that is no text is
// a fault that stops the agent rather than serve station 1.
TEST_F(TConfigTest, AWindows1252FileIsReadAndBinaryBytesStopTheStation) {
    ASSERT_TRUE(WriteAll(path,
                         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor"
                         "\\Agente\\1.0]\r\n; Dep\xF3sito norte\r\n"
                         "\"Estacion\"=dword:00000004\r\n"));
    TConfig ansi = Loaded();
    EXPECT_EQ(ansi.Estacion, 4);
    EXPECT_TRUE(ansi.LoadError().isEmpty()) << ansi.LoadError().toStdString();
    EXPECT_TRUE(ansi.StationProblem().isEmpty());

    ASSERT_TRUE(WriteAll(path, QByteArray("\x00\x01\x02REGEDIT4", 11)));
    TConfig binary = Loaded();
    EXPECT_FALSE(binary.LoadError().isEmpty());
    EXPECT_TRUE(binary.StationProblem().contains("no se pudo leer el archivo de configuración",
                                                 Qt::CaseInsensitive))
        << binary.StationProblem().toStdString();
    EXPECT_FALSE(binary.FileMissing());
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
