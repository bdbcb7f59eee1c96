// The simulator itself: what it answers to raw frames on its terminal, its
// state, its script language. The link's tests rely on it, so it is checked
// here against bytes written by hand.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include "link/TSerialPort.h"
#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/simulador/SimScript.h"

namespace {

// A frame built by hand: STX R address text ETX check.
QByteArray Frame(char address, const QByteArray& text, bool goodCheck = true) {
    QByteArray f = QByteArray("\x02R") + address + text + '\x03';
    quint8 x = 0;
    for (char c : f) x ^= quint8(c);
    return f + char(goodCheck ? x : x ^ 0x01);
}

struct RawLine {
    RawLine() : line(FixedClock(At(2026, 12, 9, 14, 5)), 3) {
        line.AddReader('A').SetFixedClock(At(2026, 12, 9, 14, 5));
    }
    void Open(int readTimeout = 50) {
        line.Start();
        port.Params().SetPort(line.DevicePath());
        port.Params().SetReadTimeout(readTimeout);
        port.Open();
    }
    QByteArray Ask(const QByteArray& bytes, int count) {
        port.Write(bytes, int(bytes.size()));
        QByteArray buf;
        const int n = port.Read(buf, count);
        return buf.left(n);
    }
    SimulatedLine line;
    TSerialPort port;
};

TEST(Simulator, AnswersOnlyGoodFramesForItsAddress) {
    RawLine r;
    r.Open();
    EXPECT_THROW(r.Ask(Frame('A', "3", false), 1), EReadTimeout);  // bad check
    EXPECT_THROW(r.Ask(Frame('C', "3"), 1), EReadTimeout);         // nobody there
    EXPECT_THROW(r.Ask(QByteArray("\x02QA3\x03", 5) + char(0x02 ^ 'Q' ^ 'A' ^ '3' ^ 0x03), 1),
                 EReadTimeout);  // not a request
    EXPECT_TRUE(r.line.Reader('A')->Heard().isEmpty());
    r.port.Params().SetReadTimeout(1000);  // an answer is due now
    // Noise and an unfinished frame before a good one do not hide it.
    EXPECT_EQ(r.Ask("\x11\x02RA5" + Frame('A', "6"), 1), QByteArray(1, 0x06));
    EXPECT_EQ(r.line.Reader('A')->Requests(), QStringList{"6"});
    EXPECT_FALSE(r.line.Reader('A')->Enabled());
}

TEST(Simulator, StatusAndRegistrationRecordsByteForByte) {
    RawLine r;
    SimulatedReader& a = *r.line.Reader('A');
    a.SetTexto("V2.01");
    a.AddRegistration("11", 123, At(2026, 12, 8, 8, 42));
    a.AddRegistration("21", 99999, At(2026, 1, 2, 3, 4));
    r.Open(1000);
    EXPECT_EQ(r.Ask(Frame('A', "A"), 19), "\x06" + Sealed("A0012091405V2.010"));
    EXPECT_EQ(r.Ask(Frame('A', "B"), 19), "\x06" + Sealed("B0112091405000020"));
    EXPECT_EQ(r.Ask(Frame('A', "0"), 19), "\x06" + Sealed("A1112080842001230"));
    EXPECT_EQ(r.Ask("\x15", 18), Sealed("A1112080842001230"));  // NAK: the same again
    EXPECT_EQ(r.Ask("\x06", 18), Sealed("A2101020304999990"));  // ACK: the next
    r.port.Write("\x06", 1);                                    // ACK after the last
    EXPECT_TRUE(r.line.WaitUntil([&] { return a.AcksReceived() == 2; }, 5000));
    EXPECT_EQ(r.Ask(Frame('A', "2"), 1), "\x06");
    EXPECT_TRUE(a.Registrations().isEmpty());
    EXPECT_EQ(a.Erased(), 2);
}

TEST(Simulator, FaultsNakGarbageAndBadCheckAlways) {
    RawLine r;
    SimulatedReader& a = *r.line.Reader('A');
    SimFaults f;
    f.nakFirst = 1;
    f.garbageFirst = 2;
    f.badCheckStatus = 'A';
    f.badCheckAlways = true;
    a.SetFaults(f);
    r.Open(1000);
    EXPECT_EQ(r.Ask(Frame('A', "3"), 1), "\x15");
    const QByteArray garbage = r.Ask(Frame('A', "3"), 1);
    ASSERT_EQ(garbage.size(), 1);
    EXPECT_NE(garbage[0], 0x06);
    for (int i = 0; i < 2; ++i) {
        const QByteArray answer = r.Ask(Frame('A', "A"), 19);
        ASSERT_EQ(answer.size(), 19);
        EXPECT_EQ(answer[0], 0x06);
        EXPECT_NE(answer.mid(1), Sealed(answer.mid(1, 17)));  // wrong check every time
    }
    EXPECT_EQ(a.Heard(), (QStringList{"3", "3", "A", "A"}));
    EXPECT_EQ(a.Requests(), (QStringList{"A", "A"}));
}

TEST(Simulator, NoiseIsReproducibleFromTheSeed) {
    auto answers = [](quint32 seed) {
        SimulatedReader r('A', FixedClock(At(2026, 12, 9, 14, 5)), seed);
        r.SetFixedClock(At(2026, 12, 9, 14, 5));
        SimFaults f;
        f.noise = 0.3;
        r.SetFaults(f);
        QByteArray all;
        for (int i = 0; i < 20; ++i) all += r.OnFrame("A").bytes + '|';
        return all;
    };
    EXPECT_EQ(answers(42), answers(42));
    EXPECT_NE(answers(42), answers(43));
    const QByteArray clean = QByteArray("\x06") + Sealed("A0012091405000000");
    EXPECT_NE(answers(42), QByteArray((clean + '|').repeated(20)));
}

TEST(Simulator, StateFileFollowsEveryAcceptedRequest) {
    ScratchDir dir;
    RawLine r;
    r.line.SetStateFile(dir.File("state.json"));
    r.line.Reader('A')->AddKey(55, "12");
    r.Open(1000);
    r.Ask(Frame('A', "500123"), 1);
    auto state = [&] { return QJsonDocument::fromJson(ReadAll(dir.File("state.json"))).object(); };
    ASSERT_TRUE(r.line.WaitUntil(
        [&] { return state()["readers"].toArray().at(0)["requests"].toArray().size() == 1; },
        5000));
    const QJsonObject a = state()["readers"].toArray().at(0).toObject();
    EXPECT_EQ(a["address"].toString(), "A");
    EXPECT_EQ(a["requests"].toArray().at(0).toString(), "500123");
    EXPECT_EQ(a["keys"].toArray().size(), 2);
    EXPECT_EQ(state()["slave"].toString(), r.line.SlavePath());
    EXPECT_TRUE(state()["plugged"].toBool());
}

TEST(SimScript, BuildsReadersFromOptions) {
    SimulatedLine line(FixedClock(At(2026, 12, 9, 14, 5)));
    const QStringList args = SimScript::Tokenize(
        "--reader A --clock 2026-12-08T08:42 --reg 11,123,2026-12-08T08:42  # first\n"
        "--raw-text A1113011000000020 --key 7,45 --fault nak:2 --fault badcheck:1:always\n"
        "--reader B --clock-offset -120 --bulk 3,12 --disabled --baud 19200 --fault short:5:1\n"
        "--fault traffic:250\n"
        "# a comment line --reader Z\n");
    SimScript::Apply(args, line);
    ASSERT_EQ(line.Addresses(), (QList<QChar>{'A', 'B'}));
    SimulatedReader& a = *line.Reader('A');
    EXPECT_EQ(a.Now(), At(2026, 12, 8, 8, 42));
    ASSERT_EQ(a.Registrations().size(), 2);
    EXPECT_EQ(a.Registrations()[0], Sealed("A1112080842001230"));
    EXPECT_EQ(a.Keys().value(7), "45");
    EXPECT_EQ(a.Faults().nakFirst, 2);
    EXPECT_EQ(a.Faults().badCheckRecord, 1);
    EXPECT_TRUE(a.Faults().badCheckAlways);
    SimulatedReader& b = *line.Reader('B');
    EXPECT_EQ(b.Now(), At(2026, 12, 9, 14, 3));
    ASSERT_EQ(b.Registrations().size(), 3);
    EXPECT_EQ(b.Registrations()[2], Sealed("B1212091403000030"));
    EXPECT_FALSE(b.Enabled());
    EXPECT_EQ(b.Baud(), 19200);
    EXPECT_EQ(b.Faults().shortBytes, 5);
    EXPECT_EQ(b.Faults().shortCount, 1);
    EXPECT_EQ(b.Faults().trafficMs, 250);
}

TEST(SimScript, RejectsBadOptionsAndAppliesNothingOfThem) {
    const char* bad[] = {
        "--reg 11,1,2026-12-08T08:42",  // before any reader
        "--reader AB",                  // not one letter
        "--reader A --reg 11,1",        // incomplete
        "--reader A --reg 11,123456,2026-12-08T08:42",
        "--reader A --clock yesterday",
        "--reader A --fault nak:x",
        "--reader A --fault explode",
        "--reader A --raw 0102",
        "--reader A --raw-text short",
        "--reader A --frobnicate",
        "--reader A --key",
    };
    for (const char* text : bad) {
        SimulatedLine line;
        try {
            SimScript::Apply(SimScript::Tokenize(text), line);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const Exception& e) {
            EXPECT_TRUE(e.Message().startsWith("simulador: --")) << e.Message().toStdString();
        }
        EXPECT_TRUE(line.Addresses().isEmpty()) << text;
    }
    // A line with a bad option applies none of its good ones either.
    SimulatedLine line;
    EXPECT_THROW(SimScript::Apply(
                     SimScript::Tokenize("--reader Q --reg 11,1,2026-12-08T08:42 --bogus"), line),
                 Exception);
    EXPECT_TRUE(line.Addresses().isEmpty());

    QStringList args = {"--link", "/tmp/x", "--reader", "A", "--seed", "9", "--state-file", "s"};
    const SimScript::LineOptions o = SimScript::TakeLineOptions(args);
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.stateFile, "s");
    EXPECT_EQ(args, (QStringList{"--reader", "A"}));
}

TEST(SimScript, ScriptFilesExpandInPlace) {
    ScratchDir dir;
    WriteAll(dir.File("one.txt"), "--reader A # readers\n--reg 11,5,2026-12-08T08:42\n");
    WriteAll(dir.File("two.txt"), "--script " + dir.File("one.txt").toUtf8() + "\n--reader B\n");
    const QStringList out =
        SimScript::ExpandScripts({"--link", "L", "--script", dir.File("two.txt")});
    EXPECT_EQ(out, (QStringList{"--link", "L", "--reader", "A", "--reg", "11,5,2026-12-08T08:42",
                                "--reader", "B"}));
    EXPECT_THROW(SimScript::ExpandScripts({"--script", dir.File("missing")}), Exception);
    WriteAll(dir.File("loop.txt"), "--script " + dir.File("loop.txt").toUtf8());
    EXPECT_THROW(SimScript::ExpandScripts({"--script", dir.File("loop.txt")}), Exception);
}

}  // namespace

// An agent that died in the middle of a transfer leaves the reader's cursor
// behind: the next agent's request frames end it, so its ACK after status
// record A brings out nothing, and a new "0" starts from the first record.
TEST(Simulator, ARequestFrameEndsAnUnfinishedTransfer) {
    RawLine r;
    SimulatedReader& a = *r.line.Reader('A');
    a.AddRegistration("11", 123, At(2026, 12, 8, 8, 42));
    a.AddRegistration("21", 456, At(2026, 12, 8, 9, 0));
    a.AddRegistration("11", 789, At(2026, 12, 8, 9, 30));
    r.Open(1000);
    EXPECT_EQ(r.Ask(Frame('A', "0"), 19), "\x06" + Sealed("A1112080842001230"));
    EXPECT_EQ(r.Ask("\x06", 18), Sealed("A2112080900004560"));
    // The first agent is gone; the next one asks for the clock and accepts it.
    EXPECT_EQ(r.Ask(Frame('A', "A"), 19), "\x06" + Sealed("A0012091405000000"));
    r.port.Params().SetReadTimeout(150);
    EXPECT_THROW(r.Ask("\x06", 1), EReadTimeout);  // no stale registration
    r.port.Params().SetReadTimeout(1000);
    EXPECT_EQ(r.Ask(Frame('A', "0"), 19), "\x06" + Sealed("A1112080842001230"));
}

// The traffic fault: keys fall due while a transfer runs and come out in it,
// numbered on through a later SetFaults; an erase takes the keys due by then.
TEST(Simulator, TrafficKeysArriveDuringATransferAndAreErasedWithTheRest) {
    RawLine r;
    SimulatedReader& a = *r.line.Reader('A');
    a.AddRegistration("11", 123, At(2026, 12, 8, 8, 42));
    SimFaults f;
    f.trafficMs = 5;
    a.SetFaults(f);
    r.Open(1000);
    EXPECT_EQ(r.Ask(Frame('A', "0"), 19), "\x06" + Sealed("A1112080842001230"));
    QThread::msleep(30);
    EXPECT_EQ(r.Ask("\x06", 18), Sealed("A1112091405500010"));  // due meanwhile
    a.SetFaults(SimFaults{});
    const int added = a.TrafficAdded();
    ASSERT_GE(added, 5);
    const QList<QByteArray> stored = a.Registrations();
    ASSERT_EQ(stored.size(), 1 + added);
    EXPECT_EQ(stored.last().mid(11, 5), QByteArray::number(50000 + added));
    f.trafficMs = 1;
    a.SetFaults(f);
    QThread::msleep(5);
    EXPECT_EQ(r.Ask(Frame('A', "2"), 1), QByteArray(1, 0x06));
    EXPECT_GT(a.Erased(), 1 + added);
    EXPECT_TRUE(a.Registrations().isEmpty());
}

// The erase faults: a NAK that erases nothing, an erase whose ACK is lost.
TEST(Simulator, EraseFaults) {
    RawLine r;
    SimulatedReader& a = *r.line.Reader('A');
    a.AddRegistration("11", 123, At(2026, 12, 8, 8, 42));
    SimFaults f;
    f.eraseNak = 1;
    f.eraseLost = 2;
    a.SetFaults(f);
    r.Open(1000);
    EXPECT_EQ(r.Ask(Frame('A', "2"), 1), QByteArray(1, 0x15));
    EXPECT_EQ(a.Registrations().size(), 1);
    EXPECT_EQ(r.Ask(Frame('A', "3"), 1), QByteArray(1, 0x06));  // other frames as ever
    r.port.Params().SetReadTimeout(150);
    EXPECT_THROW(r.Ask(Frame('A', "2"), 1), EReadTimeout);
    EXPECT_TRUE(a.Registrations().isEmpty());
    r.port.Params().SetReadTimeout(1000);
    EXPECT_EQ(r.Ask(Frame('A', "2"), 1), QByteArray(1, 0x06));
    EXPECT_EQ(a.Erased(), 1);
}
