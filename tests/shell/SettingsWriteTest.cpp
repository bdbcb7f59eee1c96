// Writes of the settings file as a site meets them: another program reading it
// at every moment, a file behind a link and in the registry editor's UTF-16,
// a file of another user, a full disk. A reader must never find it empty or
// partial, and a write that cannot be done whole changes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <chrono>
#include <functional>

#include "shell/RegistryFile.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr uid_t kNobody = 65534;

QByteArray Encoded(const QString& text, QStringConverter::Encoding encoding) {
    QStringEncoder enc(encoding);
    return enc(text);
}

// A settings file with the alias first and a last line after a long middle,
// so that a write takes long enough to be caught half done.
QString SettingsText(const QString& end) {
    QString text = "Windows Registry Editor Version 5.00" + end + end +
                   "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Alias\\Kelvor]" + end +
                   "\"Driver\"=\"QSQLITE\"" + end + end;
    for (int i = 0; i < 3000; ++i) text += QString("; línea de relleno %1").arg(i) + end;
    text += "[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor]" + end + "\"ComError\"=dword:00000000" +
            end + "; fin" + end;
    return text;
}

// Runs `fn` in a child process as `uid` (root only); its result is the exit code.
pid_t Spawn(uid_t uid, const std::function<int()>& fn) {
    const pid_t child = fork();
    if (child != 0)
        return child;
    if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0))
        _exit(100);
    _exit(fn());
}

int Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A reader in another process hammers `path` until told to stop (or 60 s):
// every read must hold the alias and the last line. Returns {reads, misses}.
class Hammer {
public:
    Hammer(const QString& path, QByteArray alias, QByteArray last) {
        int stop[2], result[2];
        EXPECT_EQ(pipe(stop), 0);
        EXPECT_EQ(pipe(result), 0);
        m_child = fork();
        if (m_child == 0) {
            close(stop[1]);
            close(result[0]);
            const QByteArray p = QFile::encodeName(path);
            qint64 counts[2] = {0, 0};
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            pollfd pf{stop[0], POLLIN, 0};
            while (poll(&pf, 1, 0) == 0 && std::chrono::steady_clock::now() < until) {
                QByteArray data;
                const int fd = open(p.constData(), O_RDONLY);
                char buf[65536];
                ssize_t n = 0;
                while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) data.append(buf, n);
                if (fd >= 0)
                    close(fd);
                ++counts[0];
                if (!data.contains(alias) || !data.endsWith(last))
                    ++counts[1];
            }
            (void)!write(result[1], counts, sizeof counts);
            _exit(0);
        }
        close(stop[0]);
        close(result[1]);
        m_stop = stop[1];
        m_result = result[0];
    }
    std::pair<qint64, qint64> Stop() {
        close(m_stop);
        qint64 counts[2] = {0, 0};
        EXPECT_EQ(read(m_result, counts, sizeof counts), ssize_t(sizeof counts));
        close(m_result);
        Wait(m_child);
        return {counts[0], counts[1]};
    }

private:
    pid_t m_child = -1;
    int m_stop = -1, m_result = -1;
};

class SettingsWriteTest : public ::testing::Test {
protected:
    ScratchDir dir;
};

// The file of the agent's own user, a UTF-16 export behind a symbolic link,
// and (as an unprivileged writer) another user's file: while one process
// writes "ComError" over and over, a reader never finds the file empty or
// cut short. Another user's file is refused, not rewritten in place.
TEST_F(SettingsWriteTest, AReaderNeverFindsThePartialFile) {
    struct Case {
        const char* name;
        QStringConverter::Encoding encoding;
        QByteArray bom;
        QString end;
        bool link;
        bool otherOwner;  // written by nobody, the file root's
    };
    const Case cases[] = {
        {"UTF-8", QStringConverter::Utf8, "", "\n", false, false},
        {"UTF-16 LE, CR LF, behind a link", QStringConverter::Utf16LE, "\xFF\xFE", "\r\n", true,
         false},
        {"another user's file", QStringConverter::Utf8, "", "\n", false, true},
    };
    ASSERT_EQ(chmod(QFile::encodeName(dir.Path()).constData(), 0755), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherOwner && geteuid() != 0) {
            ADD_FAILURE() << "needs root to write as another user; skipped";
            continue;
        }
        const QString folder = dir.File(c.name);
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_EQ(chmod(QFile::encodeName(folder).constData(), 0777), 0);
        const QString real = folder + "/registry.reg";
        const QByteArray original = c.bom + Encoded(SettingsText(c.end), c.encoding);
        ASSERT_TRUE(WriteAll(real, original));
        ASSERT_EQ(chmod(QFile::encodeName(real).constData(), 0666), 0);
        QString path = real;
        if (c.link) {
            path = folder + "/enlace.reg";
            ASSERT_TRUE(QFile::link(real, path));
        }
        Hammer reader(
            path,
            Encoded("[HKEY_LOCAL_MACHINE\\Software\\Dalmor\\Kelvor\\Alias\\Kelvor]", c.encoding),
            Encoded("; fin" + c.end, c.encoding));
        const pid_t writer = Spawn(c.otherOwner ? kNobody : geteuid(), [&] {
            int written = 0, refused = 0;
            for (int i = 0; i < 60; ++i) {
                QString error;
                if (RegistryFile(path).Write(RegistryKeys::kKelvor,
                                             {RegistryValue::Int("ComError", i % 2)}, &error))
                    ++written;
                else if (error.contains("es de otro usuario"))
                    ++refused;
            }
            return c.otherOwner ? (refused == 60 ? 0 : 1) : (written == 60 ? 0 : 1);
        });
        EXPECT_EQ(Wait(writer), 0);
        const auto [reads, misses] = reader.Stop();
        EXPECT_GT(reads, 0);
        EXPECT_EQ(misses, 0) << "of " << reads << " reads";
        if (c.otherOwner) {
            EXPECT_EQ(ReadAll(real), original);
        }
        if (c.link) {
            EXPECT_TRUE(QFileInfo(path).isSymLink());
        }
        EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), c.link ? 2 : 1);  // no temporary
    }
}

// Owner, group and mode survive a write by a user who may keep them; a file
// the writer would take from its owner, or one made read-only, is left as it
// was.
TEST_F(SettingsWriteTest, OwnerAndModeAreKeptOrTheWriteIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make files of another user";
    ASSERT_EQ(chmod(QFile::encodeName(dir.Path()).constData(), 0777), 0);
    struct Case {
        uid_t owner;
        mode_t mode;
        bool written;
    } const cases[] = {{kNobody, 0640, true}, {kNobody, 0600, true}, {kNobody, 0444, false}, {0, 0666, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "owner " << c.owner << " mode " << std::oct << c.mode);
        const QString path = dir.File("registry.reg");
        ASSERT_TRUE(WriteAll(path, "REGEDIT4\n"));
        ASSERT_EQ(chown(QFile::encodeName(path).constData(), c.owner, c.owner), 0);
        ASSERT_EQ(chmod(QFile::encodeName(path).constData(), c.mode), 0);
        const pid_t writer = Spawn(kNobody, [&] {
            return RegistryFile(path).Write(RegistryKeys::kKelvor,
                                            {RegistryValue::Int("ComError", 1)})
                       ? 0
                       : 1;
        });
        EXPECT_EQ(Wait(writer), c.written ? 0 : 1);
        struct stat st;
        ASSERT_EQ(stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, c.owner);
        EXPECT_EQ(st.st_gid, c.owner);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(ReadAll(path).contains("ComError"), c.written);
        EXPECT_EQ(QDir(dir.Path()).entryList(QDir::Files).size(), 1);
        ASSERT_TRUE(QFile::remove(path));
    }
}

// A disk with no room left: the write fails, says so, and the file is
// whole as it was, with no temporary file left behind.
TEST_F(SettingsWriteTest, AFullDiskLeavesTheOldFileWhole) {
    const QString folder = dir.File("lleno");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QByteArray f = QFile::encodeName(folder);
    if (mount("tmpfs", f.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
    const QString path = folder + "/registry.reg";
    const QByteArray original = Encoded(SettingsText("\r\n"), QStringConverter::Utf8).left(20000);
    ASSERT_TRUE(WriteAll(path, original));
    {
        QFile fill(folder + "/relleno");
        ASSERT_TRUE(fill.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (fill.write(block) == block.size() && fill.flush()) {
        }
    }
    QString error;
    EXPECT_FALSE(RegistryFile(path).Write(RegistryKeys::kKelvor,
                                          {RegistryValue::Int("ComError", 1)}, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(ReadAll(path), original);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);
    umount2(f.constData(), MNT_DETACH);
}

}  // namespace
