#include "shell/RegistryFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace {

class RegistryFileTest : public ::testing::Test {
protected:
    ScratchDir dir;
    QString path = dir.File("registry.reg");
    RegistryFile reg{path};

    void Store(const char* text) { ASSERT_TRUE(WriteAll(path, text)); }
};

TEST_F(RegistryFileTest, ReadFailsForMissingFileOrKey) {
    EXPECT_FALSE(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor").has_value());
    Store("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n");
    EXPECT_FALSE(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor").has_value());
    EXPECT_TRUE(reg.OpenKeyRead("\\Software\\Other").has_value());
}

TEST_F(RegistryFileTest, KeysAndNamesIgnoreCaseAndValuesKeepTheirTypes) {
    Store("Windows Registry Editor Version 5.00\r\n\r\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\dalmor\\Kelvor]\r\n"
          "\"ComError\"=dword:00000001\r\n"
          "\"Neg\"=dword:ffffffff\r\n"
          "\"Texto\"=\"a \\\"b\\\" \\\\c\"\r\n"
          "\"Bin\"=hex:01,02\r\n"
          "\"Bad\"=dword:0000000g\r\n");
    auto key = reg.OpenKeyRead("\\Software\\Dalmor\\KELVOR");
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->ReadInteger("comerror"), 1);
    EXPECT_EQ(key->ReadInteger("Neg"), -1);
    EXPECT_EQ(key->ReadString("texto"), QString("a \"b\" \\c"));
    EXPECT_FALSE(key->ReadInteger("Texto").has_value());
    EXPECT_FALSE(key->ReadInteger("Bin").has_value());
    EXPECT_FALSE(key->ReadString("Bin").has_value());
    EXPECT_FALSE(key->ReadInteger("Bad").has_value());
    EXPECT_FALSE(key->ReadInteger("Missing").has_value());
}

TEST_F(RegistryFileTest, WriteCreatesFileAndKey) {
    ASSERT_TRUE(reg.Write("\\Software\\Dalmor\\Kelvor", {RegistryValue::Int("ComError", 1)}));
    const QByteArray text = ReadAll(path);
    EXPECT_TRUE(text.startsWith("Windows Registry Editor Version 5.00\n"));
    EXPECT_TRUE(text.contains("[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor]\n"
                              "\"ComError\"=dword:00000001\n"));
    EXPECT_EQ(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor")->ReadInteger("ComError"), 1);
}

TEST_F(RegistryFileTest, WriteKeepsEveryOtherKeyValueAndBrokenLine) {
    Store("Windows Registry Editor Version 5.00\n\n"
          "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Puertos]\n"
          "\"COM2\"=\"/dev/ttyUSB0\"\n"
          "this line is broken\n"
          "\"Bin\"=hex:01,02\n\n"
          "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor]\n"
          "\"comerror\"=dword:00000001\n"
          "\"Other\"=dword:00000007\n");
    ASSERT_TRUE(reg.Write("\\Software\\Dalmor\\Kelvor", {RegistryValue::Int("ComError", 0),
                                                         RegistryValue::Str("Nuevo", "x")}));
    const QByteArray text = ReadAll(path);
    EXPECT_TRUE(text.contains("this line is broken\n"));
    EXPECT_TRUE(text.contains("\"Bin\"=hex:01,02\n"));
    EXPECT_TRUE(text.contains("\"comerror\"=dword:00000000\n")) << text.constData();
    EXPECT_EQ(text.toLower().count("comerror"), 1);
    auto key = reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor");
    EXPECT_EQ(key->ReadInteger("Other"), 7);
    EXPECT_EQ(key->ReadString("Nuevo"), QString("x"));
    EXPECT_EQ(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor\\Puertos")->ReadString("COM2"),
              QString("/dev/ttyUSB0"));
}

TEST_F(RegistryFileTest, UnwritableFileIsReportedNotThrown) {
    RegistryFile bad("/proc/kelvor-no-such-dir/registry.reg");
    EXPECT_FALSE(bad.Write("\\Software\\Dalmor\\Kelvor", {RegistryValue::Int("ComError", 1)}));
}

// Two processes each add their own values many times; the lock and the check
// of the renamed file must keep every value of both.
TEST_F(RegistryFileTest, ConcurrentWritersNeverLoseEachOthersValues) {
    const int kWrites = 40;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool ok = true;
        for (int i = 0; i < kWrites; ++i)
            ok = RegistryFile(path).Write("\\Software\\A", {RegistryValue::Int(QString("a%1").arg(i), i)}) && ok;
        _exit(ok ? 0 : 1);
    }
    bool ok = true;
    for (int i = 0; i < kWrites; ++i)
        ok = reg.Write("\\Software\\B", {RegistryValue::Int(QString("b%1").arg(i), i)}) && ok;
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(ok);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    auto a = reg.OpenKeyRead("\\Software\\A");
    auto b = reg.OpenKeyRead("\\Software\\B");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->ValueNames().size(), kWrites);
    EXPECT_EQ(b->ValueNames().size(), kWrites);
}

}  // namespace
