// The serial port: computed time-outs, setters, opening and naming, and reads
// and writes on a real pseudo-terminal whose far end the test holds.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>

#include "link/MemoryPort.h"
#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "shell/RegistryFile.h"
#include "tests/support/TestSupport.h"

namespace {

// A pseudo-terminal whose master the test reads and writes. The slave is kept
// open here too, so the agent's port opening and closing it is no hang-up.
class RawPty {
public:
    RawPty() {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            ADD_FAILURE() << "openpty";
        path = QString::fromLocal8Bit(name);
        termios tio{};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~RawPty() { CloseAll(); }
    void CloseAll() {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
        master = slave = -1;
    }
    void Send(const QByteArray& b) const {
        ASSERT_EQ(::write(master, b.constData(), b.size()), b.size());
    }
    // Everything the port wrote, waiting up to timeoutMs for the first byte.
    QByteArray Received(int timeoutMs = 1000) const {
        QByteArray out;
        pollfd p{master, POLLIN, 0};
        while (::poll(&p, 1, out.isEmpty() ? timeoutMs : 20) > 0) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, n);
        }
        return out;
    }
    int master = -1, slave = -1;
    QString path;
};

void OpenOn(TSerialPort& port, const QString& path, int readTimeout = 200) {
    port.Params().SetPort(path);
    port.Params().SetReadTimeout(readTimeout);
    port.Params().SetWriteTimeout(200);
    port.Open();
}

TEST(LineTimeouts, WorkedValues) {
    struct {
        qint32 baud;
        quint32 interval, multiplier;
    } cases[] = {{9600, 20, 3}, {19200, 10, 2}, {4800, 41, 4}, {2400, 83, 6}};
    for (const auto& c : cases) {
        const LineTimeouts t = TParams::ComputeLineTimeouts(c.baud, 8, 0, 0, 3000, 2500);
        EXPECT_EQ(t.readInterval, c.interval) << c.baud;
        EXPECT_EQ(t.readTotalMultiplier, c.multiplier) << c.baud;
        EXPECT_EQ(t.writeTotalMultiplier, c.multiplier) << c.baud;
        EXPECT_EQ(t.readTotalConstant, 3000u);
        EXPECT_EQ(t.writeTotalConstant, 2500u);
    }
    // 7 data bits, even parity, two stop bits: 11 bits a character.
    EXPECT_EQ(TParams::ComputeLineTimeouts(9600, 7, 2, 2, 0, 0).readInterval, 22u);
    // One and a half stop bits count as two, any parity as one bit.
    EXPECT_EQ(TParams::ComputeLineTimeouts(9600, 7, 4, 1, 0, 0).readInterval, 22u);
    EXPECT_THROW(TParams::ComputeLineTimeouts(0, 8, 0, 0, 0, 0), Exception);
}

TEST(TParams, SetterWhileClosedOnlyStoresWhileOpenReopens) {
    MemoryPort port;
    TParams& p = port.Params();
    EXPECT_EQ(p.Port(), "Com1");
    EXPECT_EQ(p.BaudRate(), 9600);
    EXPECT_EQ(p.ReadTimeout(), 1000);
    p.SetBaudRate(19200);
    p.SetReadTimeout(50);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.OpenCount(), 0);
    EXPECT_EQ(p.ReadIntervalTimeout(), 0u);  // computed only at Open

    port.Open();
    EXPECT_EQ(port.OpenCount(), 1);
    EXPECT_EQ(p.ReadIntervalTimeout(), 10u);
    EXPECT_EQ(p.ReadTotalTimeoutConstant(), 50u);
    p.SetBaudRate(2400);
    EXPECT_TRUE(port.Active());
    EXPECT_EQ(port.OpenCount(), 2);
    EXPECT_EQ(p.ReadIntervalTimeout(), 83u);
    p.SetWriteTimeout(70);
    EXPECT_EQ(port.OpenCount(), 3);
    EXPECT_EQ(p.WriteTotalTimeoutConstant(), 70u);
}

TEST(TSerialPort, SetterWhileOpenReopensTheDeviceWithTheNewSpeed) {
    RawPty pty;
    TSerialPort port;
    OpenOn(port, pty.path);
    termios tio{};
    ::tcgetattr(pty.slave, &tio);
    EXPECT_EQ(::cfgetospeed(&tio), speed_t(B9600));
    EXPECT_EQ(port.Params().ReadIntervalTimeout(), 20u);

    port.Params().SetBaudRate(19200);
    EXPECT_TRUE(port.Active());
    ::tcgetattr(pty.slave, &tio);
    EXPECT_EQ(::cfgetospeed(&tio), speed_t(B19200));
    EXPECT_EQ(port.Params().ReadIntervalTimeout(), 10u);

    port.Params().SetStopBits(2);
    ::tcgetattr(pty.slave, &tio);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));  // raw

    // A pseudo-terminal carries 8 bits without parity only; asking it for 7
    // data bits is refused, and the refused reopen leaves the port closed.
    try {
        port.Params().SetByteSize(7);
        FAIL() << "a pseudo-terminal took 7 data bits";
    } catch (const Exception& e) {
        EXPECT_EQ(
            e.Message(),
            QString("No se puede abrir el puerto %1. SO reporta Invalid argument").arg(pty.path));
    }
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Params().ByteSize(), 7);
}

TEST(TSerialPort, MissingDeviceNamedComSevenReportsItAndStaysClosed) {
    ScratchDir dir;
    const QString reg = dir.File("registry.reg");
    RegistryFile::SetProcessPath(reg);
    ASSERT_TRUE(RegistryFile(reg).Write(RegistryKeys::kPorts,
                                        {RegistryValue::Str("COM7", dir.File("no-such-tty"))}));
    TSerialPort port;
    port.Params().SetPort("COM7");
    try {
        port.Open();
        FAIL() << "opened a missing device";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(),
                  "No se puede abrir el puerto COM7. SO reporta No such file or directory");
    }
    EXPECT_FALSE(port.Active());
    RegistryFile::SetProcessPath({});
}

TEST(TSerialPort, PortNamesMapToDevicePaths) {
    ScratchDir dir;
    const QString reg = dir.File("registry.reg");
    RegistryFile::SetProcessPath(reg);
    EXPECT_EQ(TSerialPort::DevicePath("/dev/ttyUSB3"), "/dev/ttyUSB3");
    EXPECT_EQ(TSerialPort::DevicePath("COM1"), "/dev/ttyS0");  // no settings file yet
    ASSERT_TRUE(RegistryFile(reg).Write(RegistryKeys::kPorts,
                                        {RegistryValue::Str("COM2", "/dev/ttyUSB0")}));
    EXPECT_EQ(TSerialPort::DevicePath("Com2"), "/dev/ttyUSB0");
    EXPECT_EQ(TSerialPort::DevicePath("com2"), "/dev/ttyUSB0");
    EXPECT_EQ(TSerialPort::DevicePath("com3"), "/dev/ttyS2");
    EXPECT_EQ(TSerialPort::DevicePath("COM10"), "/dev/ttyS9");
    EXPECT_EQ(TSerialPort::DevicePath("COM0"), "/dev/COM0");
    EXPECT_EQ(TSerialPort::DevicePath("ttyACM0"), "/dev/ttyACM0");
    RegistryFile::SetProcessPath({});
}

TEST(TSerialPort, RefusedOpensLeaveThePortClosed) {
    RawPty pty;
    ScratchDir dir;
    WriteAll(dir.File("plain"), "not a terminal");
    struct Case {
        QString path;
        qint32 baud;
        qint32 bits;
        quint8 parity;
        quint8 stop;
        const char* why;
    } cases[] = {
        {dir.File("plain"), 9600, 8, 0, 0, "Inappropriate ioctl for device"},
        {pty.path, 12345, 8, 0, 0, "Invalid argument"},
        {pty.path, 0, 8, 0, 0, "Invalid argument"},
        {pty.path, 9600, 9, 0, 0, "Invalid argument"},
        {pty.path, 9600, 8, 5, 0, "Invalid argument"},
        {pty.path, 9600, 8, 0, 3, "Invalid argument"},
    };
    for (const auto& c : cases) {
        TSerialPort port;
        port.Params().SetPort(c.path);
        port.Params().SetBaudRate(c.baud);
        port.Params().SetByteSize(c.bits);
        port.Params().SetParity(c.parity);
        port.Params().SetStopBits(c.stop);
        try {
            port.Open();
            ADD_FAILURE() << "opened " << c.baud << " " << c.bits;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(),
                      QString("No se puede abrir el puerto %1. SO reporta %2").arg(c.path, c.why));
        }
        EXPECT_FALSE(port.Active());
    }
    // The refused opens left nothing behind: a good open still works.
    TSerialPort good;
    OpenOn(good, pty.path);
    EXPECT_TRUE(good.Active());
}

TEST(TSerialPort, ASecondOpenerIsRefusedUntilTheFirstCloses) {
    RawPty pty;
    TSerialPort first, second;
    OpenOn(first, pty.path);
    second.Params().SetPort(pty.path);
    try {
        second.Open();
        FAIL() << "two ports on one device";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QString("No se puede abrir el puerto %1. SO reporta Device or "
                                       "resource busy")
                                   .arg(pty.path));
    }
    EXPECT_FALSE(second.Active());
    EXPECT_TRUE(first.Active());
    first.Close();
    EXPECT_FALSE(first.Active());
    second.Open();
    EXPECT_TRUE(second.Active());
}

// An agent in a process of its own, as a site runs it: unprivileged (when the
// test runs as root it drops to `nobody`, who then owns the line; otherwise
// it runs as this user). It opens the line and says over a pipe "ok" or the
// open's error, then holds the line until it is killed (at most 60 s).
struct LineHolder {
    pid_t pid = -1;
    QByteArray said;

    LineHolder(const QString& path, uid_t uid, gid_t gid) {
        int p[2];
        if (::pipe(p) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid = ::fork();
        if (pid == 0) {
            ::close(p[0]);
            if (::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
                 ::setresuid(uid, uid, uid) != 0))
                ::_exit(3);
            QByteArray answer = "ok";
            TSerialPort port;
            try {
                OpenOn(port, path);
            } catch (const Exception& e) {
                answer = e.Message().toUtf8();
            }
            [[maybe_unused]] ssize_t n = ::write(p[1], answer.constData(), answer.size());
            ::close(p[1]);
            ::sleep(60);
            ::_exit(0);
        }
        ::close(p[1]);
        pollfd w{p[0], POLLIN, 0};
        if (::poll(&w, 1, 10000) > 0) {
            char buf[512];
            const ssize_t n = ::read(p[0], buf, sizeof buf);
            if (n > 0)
                said = QByteArray(buf, n);
        }
        ::close(p[0]);
    }
    void Kill() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    ~LineHolder() { Kill(); }
};

// A killed agent (SIGKILL: the watchdog, the OOM killer, a crash) closes
// nothing, and the line's other end stays open as a bridge keeps it: its
// unprivileged successor still gets the line, and a second live agent is
// still refused.
TEST(TSerialPort, AKilledHoldersLineOpensForItsUnprivilegedSuccessorAndStaysExclusive) {
    RawPty pty;  // the master stays open throughout, as socat or ser2net hold it
    const uid_t uid = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t gid = ::geteuid() == 0 ? 65534 : ::getegid();
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(pty.path).constData(), uid, gid), 0);
    }
    const QByteArray busy =
        QString("No se puede abrir el puerto %1. SO reporta Device or resource busy")
            .arg(pty.path)
            .toUtf8();

    LineHolder first(pty.path, uid, gid);
    ASSERT_EQ(first.said, "ok");
    LineHolder rival(pty.path, uid, gid);
    EXPECT_EQ(rival.said, busy);
    rival.Kill();
    first.Kill();

    LineHolder successor(pty.path, uid, gid);
    EXPECT_EQ(successor.said, "ok");
    LineHolder second(pty.path, uid, gid);
    EXPECT_EQ(second.said, busy);
    // Root is kept out by the same lock.
    TSerialPort here;
    EXPECT_THROW(OpenOn(here, pty.path), Exception);
    successor.Kill();
    OpenOn(here, pty.path);
    EXPECT_TRUE(here.Active());
}

TEST(TSerialPort, ReadsWholeCountsAndShortAnswers) {
    RawPty pty;
    TSerialPort port;
    OpenOn(port, pty.path);
    QByteArray buf;
    pty.Send("0123456789ABCDEFGH");
    EXPECT_EQ(port.Read(buf, 18), 18);
    EXPECT_EQ(buf.size(), 28);
    EXPECT_EQ(buf.left(18), "0123456789ABCDEFGH");

    // Five bytes and then silence: the read returns what came.
    pty.Send("12345");
    EXPECT_EQ(port.Read(buf, 18), 5);
    EXPECT_EQ(buf.left(5), "12345");
    EXPECT_EQ(buf.mid(5), QByteArray(23, '\0'));

    // More than asked stays for the next read.
    pty.Send("abc");
    EXPECT_EQ(port.Read(buf, 1), 1);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(port.Read(buf, 2), 2);
    EXPECT_EQ(buf.left(2), "bc");
}

TEST(TSerialPort, NothingArrivingIsAReadTimeoutAfterTheComputedTime) {
    RawPty pty;
    TSerialPort port;
    OpenOn(port, pty.path, 50);
    QByteArray buf;
    QElapsedTimer t;
    t.start();
    try {
        port.Read(buf, 18);
        FAIL() << "read without data";
    } catch (const EReadTimeout& e) {
        EXPECT_EQ(e.Message(), "No se recibieron datos dentro del tiempo estipulado");
    }
    // 50 ms plus 18 bytes of 3 ms at 9600 bit/s.
    EXPECT_GE(t.elapsed(), 50 + 18 * 3);
    EXPECT_TRUE(port.Active());
}

TEST(TSerialPort, PurgeAndDiscardDropWhatArrivedUnread) {
    RawPty pty;
    TSerialPort port;
    OpenOn(port, pty.path, 30);
    QByteArray buf;
    pty.Send("stale");
    ASSERT_TRUE(port.Active());
    // Let the bytes reach the terminal's input before discarding them.
    pollfd p{pty.slave, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    port.DiscardInput();
    EXPECT_THROW(port.Read(buf, 1), EReadTimeout);
    pty.Send("stale");
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    port.Purge();
    EXPECT_THROW(port.Read(buf, 1), EReadTimeout);

    // What the port writes reaches the far end unchanged.
    const QByteArray frame("\x02RA0\x03\x22", 6);
    EXPECT_EQ(port.Write(frame, 6), 6);
    EXPECT_EQ(pty.Received(), frame);
    EXPECT_EQ(port.Write(frame, 3), 3);  // only the first count bytes
    EXPECT_EQ(pty.Received(), frame.left(3));
}

TEST(TSerialPort, ALostLineIsAnErrorNotAHang) {
    RawPty pty;
    TSerialPort port;
    OpenOn(port, pty.path, 2000);
    pty.CloseAll();  // the far end goes away
    QByteArray buf;
    QElapsedTimer t;
    t.start();
    try {
        port.Read(buf, 18);
        FAIL() << "read on a lost line";
    } catch (const EWin32Error& e) {
        EXPECT_EQ(e.ErrorCode(), EIO);
        EXPECT_EQ(e.Message(), "Error 5, Input/output error");
    }
    EXPECT_LT(t.elapsed(), 2000);  // reported at once, not after the read time-out
    EXPECT_THROW(port.Write("x", 1), EWin32Error);
}

TEST(TSerialPort, AWriteThatCannotGoOutTimesOut) {
    RawPty pty;
    TSerialPort port;
    OpenOn(port, pty.path);
    port.Params().SetWriteTimeout(20);
    // Fill the terminal's output while nobody reads the far end.
    const int filler = ::open(pty.path.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    ASSERT_GE(filler, 0);
    const QByteArray block(4096, 'x');
    int rounds = 0;
    while (::write(filler, block.constData(), block.size()) > 0 && ++rounds < 10000) {
    }
    while (::write(filler, "x", 1) == 1 && ++rounds < 100000) {
    }
    ::close(filler);
    // The terminal moves bytes between its buffers in the background, so a
    // byte may still fit now and then; keep writing until it is really full.
    bool timedOut = false;
    for (int i = 0; i < 200000 && !timedOut; ++i) {
        try {
            port.Write("y", 1);
        } catch (const EWriteTimeout& e) {
            EXPECT_EQ(e.Message(), "Timeout de escritura");
            timedOut = true;
        }
    }
    EXPECT_TRUE(timedOut);
}

TEST(TSerialPort, ClosedPortFailsTransfersAndNeverOpenedPortDestroysQuietly) {
    QByteArray buf;
    {
        TSerialPort never;
        EXPECT_FALSE(never.Active());
        EXPECT_EQ(never.Close(), 0);
        try {
            never.Read(buf, 1);
            FAIL();
        } catch (const EWin32Error& e) {
            EXPECT_EQ(e.ErrorCode(), EBADF);
        }
        EXPECT_THROW(never.Write("x", 1), EWin32Error);
    }
}

}  // namespace
