#include "shell/RegistryFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QStringEncoder>

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
    Store(
        "Windows Registry Editor Version 5.00\r\n\r\n"
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
    EXPECT_TRUE(
        text.contains("[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor]\n"
                      "\"ComError\"=dword:00000001\n"));
    EXPECT_EQ(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor")->ReadInteger("ComError"), 1);
}

TEST_F(RegistryFileTest, WriteKeepsEveryOtherKeyValueAndBrokenLine) {
    Store(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Puertos]\n"
        "\"COM2\"=\"/dev/ttyUSB0\"\n"
        "this line is broken\n"
        "\"Bin\"=hex:01,02\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor]\n"
        "\"comerror\"=dword:00000001\n"
        "\"Other\"=dword:00000007\n");
    ASSERT_TRUE(reg.Write("\\Software\\Dalmor\\Kelvor",
                          {RegistryValue::Int("ComError", 0), RegistryValue::Str("Nuevo", "x")}));
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

// Another program holding the file's lock: the write gives up after the lock
// wait instead of holding the agent's cycle, changes nothing, and works again
// once the lock is released.
TEST_F(RegistryFileTest, ALockHeldByAnotherProgramBoundsTheWrite) {
    ASSERT_TRUE(reg.Write("\\Software\\Dalmor\\Kelvor", {RegistryValue::Int("ComError", 0)}));
    const int holder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    RegistryFile::SetLockWait(50);
    EXPECT_FALSE(reg.Write("\\Software\\Dalmor\\Kelvor", {RegistryValue::Int("ComError", 1)}));
    EXPECT_EQ(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor")->ReadInteger("ComError"), 0);
    ::close(holder);
    EXPECT_TRUE(reg.Write("\\Software\\Dalmor\\Kelvor", {RegistryValue::Int("ComError", 1)}));
    EXPECT_EQ(reg.OpenKeyRead("\\Software\\Dalmor\\Kelvor")->ReadInteger("ComError"), 1);
    RegistryFile::SetLockWait(2000);
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
            ok = RegistryFile(path).Write("\\Software\\A",
                                          {RegistryValue::Int(QString("a%1").arg(i), i)}) &&
                 ok;
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

// Files as the registry editor of other systems exports them: UTF-16 with a
// byte-order mark and CR LF; also the older header and UTF-8 with a mark.
// Each is read, and a write keeps its encoding, mark and line ends.
TEST_F(RegistryFileTest, ExportedEncodingsAreReadAndKeptOnWrite) {
    const QString text = QStringLiteral(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Agente\\1.0]\r\n"
        "\"Estacion\"=dword:00000007\r\n"
        "\"Nombre\"=\"Almacén\"\r\n");
    struct Case {
        QStringConverter::Encoding encoding;
        QByteArray bom;
        QString text;
    };
    const QString regedit4 =
        QString(text).replace("Windows Registry Editor Version 5.00", "REGEDIT4");
    const Case cases[] = {
        {QStringConverter::Utf16LE, "\xFF\xFE", text},
        {QStringConverter::Utf16BE, "\xFE\xFF", text},
        {QStringConverter::Utf8, "\xEF\xBB\xBF", text},
        {QStringConverter::Utf8, "", QString(regedit4).replace("\r\n", "\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bom.toHex().constData());
        QStringEncoder enc(c.encoding);
        ASSERT_TRUE(WriteAll(path, c.bom + QByteArray(enc(c.text))));
        auto key = reg.OpenKeyRead(RegistryKeys::kAgent);
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(key->ReadInteger("Estacion"), 7);
        EXPECT_EQ(key->ReadString("Nombre"), QString("Almacén"));

        ASSERT_TRUE(reg.Write(RegistryKeys::kAgent, {RegistryValue::Int("Estacion", 9)}));
        const bool crlf = c.text.contains("\r\n");
        QString expected = QString(c.text).replace("dword:00000007", "dword:00000009");
        QStringEncoder enc2(c.encoding);
        EXPECT_EQ(ReadAll(path), c.bom + QByteArray(enc2(expected)));
        ASSERT_TRUE(reg.Write(RegistryKeys::kKelvor, {RegistryValue::Int("ComError", 1)}));
        const QByteArray after = ReadAll(path);
        EXPECT_TRUE(after.startsWith(c.bom));
        QStringDecoder dec(c.encoding);
        const QString back = dec(after);
        EXPECT_EQ(back.count("\r\n"), crlf ? back.count('\n') : 0);
        EXPECT_EQ(reg.OpenKeyRead(RegistryKeys::kKelvor)->ReadInteger("ComError"), 1);
    }
}

// A file that is there but cannot be read is told apart from a missing one,
// and is never replaced by a write. Bytes that are not UTF-8 but hold no NUL
// are the Western code page ("ANSI"): read as such, and kept byte for byte.
TEST_F(RegistryFileTest, UnreadableFileIsReportedAndNotRewritten) {
    QString error = "x";
    EXPECT_FALSE(reg.OpenKeyRead(RegistryKeys::kAgent, &error));
    EXPECT_TRUE(error.isEmpty());
    RegistryFile folder(dir.File("."));
    EXPECT_FALSE(folder.OpenKeyRead(RegistryKeys::kAgent, &error));
    EXPECT_FALSE(error.isEmpty());

    static const char kBroken[] = "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"A\"=\"\0\xC3\x28\"\n";
    const QByteArray broken(kBroken, sizeof kBroken - 1);
    ASSERT_TRUE(WriteAll(path, broken));
    EXPECT_TRUE(reg.OpenKeyRead("\\Software\\X", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(reg.Write("\\Software\\X", {RegistryValue::Int("B", 1)}, &error));
    EXPECT_TRUE(error.contains("no es texto")) << error.toStdString();
    EXPECT_EQ(ReadAll(path), broken);

    const QByteArray ansi(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\X]\r\n\"Sitio\"=\"Dep\xF3sito "
        "\x80\x81\"\r\n");
    ASSERT_TRUE(WriteAll(path, ansi));
    const auto key = reg.OpenKeyRead("\\Software\\X", &error);
    ASSERT_TRUE(key);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_EQ(key->ReadString("Sitio"), QString("Depósito €") + QChar(0x81));
    ASSERT_TRUE(reg.Write("\\Software\\X", {RegistryValue::Int("B", 1)}));
    EXPECT_EQ(ReadAll(path), ansi + "\"B\"=dword:00000001\r\n");
}

// A settings file behind a symbolic link: the target is rewritten with its
// permission bits, the link stays a link.
TEST_F(RegistryFileTest, WriteGoesThroughSymlinkAndKeepsMode) {
    QDir().mkpath(dir.File("real"));
    const QString target = dir.File("real/settings.reg");
    ASSERT_TRUE(WriteAll(target, "REGEDIT4\r\n"));
    ASSERT_EQ(chmod(QFile::encodeName(target).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(target, path));
    ASSERT_TRUE(reg.Write(RegistryKeys::kKelvor, {RegistryValue::Int("ComError", 1)}));
    EXPECT_TRUE(QFileInfo(path).isSymLink());
    EXPECT_TRUE(ReadAll(target).contains("\"ComError\"=dword:00000001\r\n"));
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(target).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(dir.File("real")).entryList(QDir::Files).size(), 1);  // no temporary left
}

// "ComError" is written when its value changes, not at every connection, and
// never makes a settings file that is missing (the installer's to make).
TEST_F(RegistryFileTest, ComErrorWrittenOnlyWhenItChanges) {
    RegistryFile::SetProcessPath(path);
    ResetComErrorForTest();
    auto inode = [this] {
        struct stat st;
        return stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : ino_t(0);
    };
    ASSERT_TRUE(WriteComError(true));
    EXPECT_FALSE(QFileInfo::exists(path));
    Store("Windows Registry Editor Version 5.00\n");
    ASSERT_TRUE(WriteComError(false));  // the first call once the file exists writes
    const ino_t first = inode();
    ASSERT_NE(first, ino_t(0));
    EXPECT_EQ(reg.OpenKeyRead(RegistryKeys::kKelvor)->ReadInteger("ComError"), 0);
    ASSERT_TRUE(WriteComError(false));
    EXPECT_EQ(inode(), first);
    ASSERT_TRUE(WriteComError(true));
    EXPECT_NE(inode(), first);
    EXPECT_EQ(reg.OpenKeyRead(RegistryKeys::kKelvor)->ReadInteger("ComError"), 1);
    RegistryFile::SetProcessPath({});
    ResetComErrorForTest();
}

}  // namespace
