// The line's echo of the agent's own bytes: the three modes against a far end
// in memory (records beginning with ACK or NAK: the bytes an echo check could
// wrongly take), and on a pseudo-terminal whose simulated converter echoes,
// with collisions on the bus.

#include <gtest/gtest.h>

#include "link/TListaFichadas.h"
#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"
#include "tools/simulador/SimScript.h"

namespace {

const QString kTooMany = "Se supero la cantidad maxima de intentos de comunicación";

const char* Name(EchoMode m) {
    return m == EchoMode::Off ? "off" : m == EchoMode::On ? "on" : "auto";
}

}  // namespace

// Every mode on a line with and without echo. The registrations' first bytes
// are STX, ACK and NAK; the last two come right after the agent's ACK: on a
// line without echo the automatic mode must not take them for the echo of
// that ACK. A mode that does not fit the line fails with the retries message
// (nothing hangs: the far end in memory never waits).
TEST(LineEchoModes, EveryModeWithAndWithoutEchoDropsNothingOfTheAnswers) {
    const struct {
        EchoMode mode;
        bool echo;
        bool works;
    } cases[] = {
        {EchoMode::Off, false, true}, {EchoMode::Auto, false, true}, {EchoMode::On, false, false},
        {EchoMode::Off, true, false}, {EchoMode::Auto, true, true},  {EchoMode::On, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(Name(c.mode)) + (c.echo ? ", echo" : ", no echo"));
        ScriptedReader reader({Sealed("\x02"
                                      "2111302359999990"),
                               Sealed("\x06"
                                      "1112080842001230"),
                               Sealed("\x15"
                                      "1212081800000070")});
        MemoryLink m(&reader);
        const MemoryPort::Responder answer = reader.Responder();
        if (c.echo)
            m.port().SetResponder([answer](MemoryPort& port, const QByteArray& written) {
                port.Feed(written);
                answer(port, written);
            });
        m.link.SetEchoMode(c.mode);
        TListaFichadas lista;
        try {
            m.link.Initialize();
            m.link.ReadRegistrations(lista);
            m.link.ClearMemory();
            EXPECT_TRUE(c.works) << "the link read a line whose echo it does not expect";
        } catch (const Exception& e) {
            EXPECT_FALSE(c.works) << e.Message().toStdString();
            EXPECT_EQ(e.Message(), kTooMany);
            continue;
        }
        ASSERT_EQ(lista.Count(), 3);
        EXPECT_EQ(lista[0].NroLlave(), 99999);
        EXPECT_EQ(lista[1].NroLlave(), 123);
        EXPECT_EQ(lista[2].NroLlave(), 7);
        EXPECT_EQ(reader.naks, 0);
        EXPECT_EQ(reader.commands, (QList<QByteArray>{"A", "B", "0", "2"}));
        EXPECT_EQ(m.link.Echo().EchoFaults(), 0u);
        EXPECT_EQ(m.link.Echo().LineEchoes(), c.echo);
        // Each frame and each ACK of the agent came back once and was set aside.
        EXPECT_EQ(m.link.Echo().EchoesSetAside(), c.echo ? 4u + 2u + 3u : 0u);
    }
}

// A collision damages a frame on the bus: the reader hears a bad check (no
// answer) and the echo differs from what was sent. That try fails; the next
// one goes through. On the first frame of a connection the automatic mode
// cannot know yet that the line echoes, and the damaged echo fails the try as
// a garbled answer does.
TEST(LineEchoOnPty, ACollisionIsOneFailedTryAndTheExchangeRecovers) {
    const struct {
        EchoMode mode;
        bool onFirstFrame;
        quint64 faults;
    } cases[] = {
        {EchoMode::On, false, 1},
        {EchoMode::Auto, false, 1},
        {EchoMode::On, true, 1},
        {EchoMode::Auto, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(Name(c.mode)) + (c.onFirstFrame ? ", first frame" : ""));
        PtyLink p("A", 150);
        p.line.SetEcho(true, 16);
        p.link.SetEchoMode(c.mode);
        p.link.SetMaxRetries(2);
        p.Connect();
        if (c.onFirstFrame)
            p.line.SetCollisions(1);
        p.link.Initialize();
        if (!c.onFirstFrame)
            p.line.SetCollisions(1);
        p.link.EnableAll();
        EXPECT_EQ(p.line.Collided(), 1);
        EXPECT_EQ(p.link.Echo().EchoFaults(), c.faults);
        EXPECT_TRUE(p.link.Echo().LineEchoes());
        // The damaged frame never reached the reader; each command once.
        EXPECT_EQ(p.reader('A').Heard(), (QStringList{"A", "B", "3"}));
        EXPECT_EQ(p.reader('A').Requests(), p.reader('A').Heard());
    }
}

// The simulator's echo, seen by a port that sets nothing aside: the frame
// comes back byte for byte ahead of the reader's ACK; options from the
// command-line syntax, bad values refused.
TEST(LineEchoOnPty, TheSimulatorHandsBackWhatTheAgentSendsAheadOfTheAnswer) {
    PtyLink p("A");
    SimScript::Apply(SimScript::Tokenize("--echo 16 --reader A"), p.line);
    EXPECT_TRUE(p.line.Echo());
    p.Connect();
    const QByteArray frame = Hex("02 52 41 33 03 21");
    p.link.Port().Write(frame, int(frame.size()));
    QByteArray got;
    const int n = p.link.Port().Read(got, 7);
    EXPECT_EQ(got.left(n), frame + Hex("06"));
    EXPECT_EQ(p.line.EchoedBytes(), 6);
    EXPECT_EQ(p.line.Snapshot()["echo"].toBool(), true);

    SimScript::Apply(SimScript::Tokenize("--echo off"), p.line);
    EXPECT_FALSE(p.line.Echo());
    for (const char* bad : {"--echo", "--echo fast", "--echo -1", "--collide x"})
        EXPECT_THROW(SimScript::Apply(SimScript::Tokenize(bad), p.line), Exception) << bad;
    EXPECT_FALSE(p.line.Echo());
}
