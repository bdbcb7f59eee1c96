// The link on a real pseudo-terminal against the simulator: whole passes,
// every command, and the faults of a real line.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>

#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

const QString kTooMany = "Se supero la cantidad maxima de intentos de comunicación";

void ExpectTooMany(const std::function<void()>& op) {
    try {
        op();
        ADD_FAILURE() << "the exchange succeeded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), kTooMany);
    }
}

SimFaults Fault(std::function<void(SimFaults&)> set) {
    SimFaults f;
    set(f);
    return f;
}

void AddThree(SimulatedReader& r) {
    r.AddRegistration("11", 123, At(2026, 12, 8, 8, 42));
    r.AddRegistration("12", 99999, At(2026, 12, 8, 18, 0));
    r.AddRegistration("21", 7, At(2026, 11, 30, 23, 59));
}

TEST(ProtocolOnPty, InitializeReadAndClearAWholeReader) {
    PtyLink p("AB");
    AddThree(p.reader('A'));
    p.reader('B').AddRegistration("11", 5, At(2026, 12, 9, 7, 0));
    p.Connect('A');
    p.link.Initialize();
    const TRegistrador_Data& d = p.link.Data();
    EXPECT_EQ(d.Mes, 12);
    EXPECT_EQ(d.Dia, 9);
    EXPECT_EQ(d.Hora, 14);
    EXPECT_EQ(d.Minuto, 5);
    EXPECT_EQ(d.Texto, "00000");
    EXPECT_EQ(d.Cantidad, 3);
    EXPECT_TRUE(d.Inicializado);

    TListaFichadas lista;
    p.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 3);
    EXPECT_EQ(lista[0].NroLlave(), 123);
    EXPECT_EQ(lista[0].GetEstado(), "11");
    EXPECT_EQ(lista[0].FechaHora(), At(2026, 12, 8, 8, 42));
    EXPECT_EQ(lista[1].NroLlave(), 99999);
    EXPECT_EQ(lista[2].FechaHora(), At(2026, 11, 30, 23, 59));
    EXPECT_EQ(d.Rechazadas, 0);

    p.link.ClearMemory();
    EXPECT_TRUE(p.reader('A').Registrations().isEmpty());
    EXPECT_EQ(p.reader('A').Erased(), 3);
    EXPECT_EQ(p.reader('A').Requests(), (QStringList{"A", "B", "0", "2"}));
    EXPECT_TRUE(p.line.WaitUntil([&] { return p.reader('A').AcksReceived() == 5; }, 5000));
    EXPECT_EQ(p.reader('A').NaksReceived(), 0);
    // The other reader on the line heard nothing and kept its registration.
    EXPECT_TRUE(p.reader('B').Heard().isEmpty());

    p.link.SetAddress('B');
    p.link.Initialize();
    EXPECT_EQ(p.link.Data().Cantidad, 1);
    p.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 1);
    EXPECT_EQ(lista[0].NroLlave(), 5);
}

TEST(ProtocolOnPty, EveryCommandReachesTheReader) {
    PtyLink p("A");
    SimulatedReader& r = p.reader('A');
    r.SetFixedClock(At(2026, 1, 1, 0, 0));
    p.Connect();
    p.link.AddKey(7);
    p.link.AddKeyEx(123, '4', '5');
    p.link.AddKeyEx(456, '-', '5');
    p.link.RemoveKey(7);
    EXPECT_EQ(r.Keys(), (QMap<qint32, QByteArray>{{123, "45"}, {456, ""}}));
    p.link.DisableAll();
    EXPECT_FALSE(r.Enabled());
    p.link.EnableAll();
    EXPECT_TRUE(r.Enabled());
    p.link.SendProfile("02ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(r.ProfileAnnounced(), 2);
    EXPECT_EQ(r.Profile(), (QList<QByteArray>{"ABCDEFGHIJ", "KLMNOPQRST"}));
    p.link.ResetRegister();
    EXPECT_EQ(r.Resets(), 1);
    p.link.EnableByProfile();
    EXPECT_TRUE(r.ByProfile());
    p.link.SetClock();
    EXPECT_EQ(r.LastClockSet(), "26120941405");
    EXPECT_EQ(r.Now(), At(2026, 12, 9, 14, 5));
    p.link.SetClockHta();
    EXPECT_EQ(r.LastClockSet(), "26120931405");
    p.link.EnableAlarms();
    EXPECT_TRUE(r.AlarmsEnabled());
    p.link.AlarmOn();
    EXPECT_TRUE(r.AlarmOn());
    p.link.AlarmOff();
    EXPECT_FALSE(r.AlarmOn());
    p.link.DisableAlarms();
    EXPECT_FALSE(r.AlarmsEnabled());
    EXPECT_EQ(r.Requests(), (QStringList{"500007", "50012345", "500456", "400007", "6", "3", "P02",
                                         "ABCDEFGHIJ", "KLMNOPQRST", "C", "R", "126120941405",
                                         "126120931405", "L3", "L1", "L2", "L4"}));
    EXPECT_EQ(r.Heard(), r.Requests());  // each went out once
}

TEST(ProtocolOnPty, RetryEdges) {
    struct Case {
        qint64 nakFirst;
        quint16 maxRetries;
        bool succeeds;
        int frames;
        int accepted;
    } cases[] = {
        {-1, 3, false, 4, 0},  // NAK forever
        {3, 3, false, 4, 1},   // ACK only to the fourth frame: it does not count
        {2, 3, true, 3, 1},    // ACK to the third
        {0, 0, false, 1, 1},   // no retries: fails whatever the answer
    };
    for (const auto& c : cases) {
        PtyLink p("A");
        p.reader('A').SetFaults(Fault([&](SimFaults& f) { f.nakFirst = c.nakFirst; }));
        p.Connect();
        p.link.SetMaxRetries(c.maxRetries);
        if (c.succeeds) {
            p.link.EnableAll();
        } else {
            ExpectTooMany([&] { p.link.EnableAll(); });
        }
        EXPECT_EQ(p.reader('A').Heard().size(), c.frames) << c.nakFirst << "/" << c.maxRetries;
        EXPECT_EQ(p.reader('A').Requests().size(), c.accepted) << c.nakFirst << "/" << c.maxRetries;
    }
}

TEST(ProtocolOnPty, BadCheckByteIsAskedForAgainAndTheReadGoesOn) {
    PtyLink p("A");
    AddThree(p.reader('A'));
    p.reader('A').SetFaults(Fault([](SimFaults& f) { f.badCheckRecord = 2; }));
    p.Connect();
    p.link.Initialize();
    TListaFichadas lista;
    p.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 3);
    EXPECT_EQ(lista[1].NroLlave(), 99999);
    EXPECT_EQ(p.reader('A').NaksReceived(), 1);
}

TEST(ProtocolOnPty, StatusRecordWithBadCheckIsRequestedAgain) {
    PtyLink p("A");
    p.reader('A').SetFaults(Fault([](SimFaults& f) { f.badCheckStatus = 'B'; }));
    p.Connect();
    p.link.Initialize();
    EXPECT_EQ(p.reader('A').Heard(), (QStringList{"A", "B", "B"}));
}

TEST(ProtocolOnPty, ARecordThatTimesOutIsABadRecordNotTheEndOfThePass) {
    PtyLink p("A", 300);
    AddThree(p.reader('A'));
    p.Connect();
    p.link.Initialize();
    // The first registration record does not come: only the ACK to "0" does.
    p.reader('A').SetFaults(Fault([](SimFaults& f) {
        f.shortBytes = 0;
        f.shortCount = 1;
    }));
    TListaFichadas lista;
    p.link.ReadRegistrations(lista);
    EXPECT_EQ(lista.Count(), 3);
    EXPECT_EQ(p.reader('A').NaksReceived(), 1);
}

TEST(ProtocolOnPty, AReaderThatSendsFiveOfEighteenBytes) {
    PtyLink p("A", 1000);
    p.reader('A').SetFaults(Fault([](SimFaults& f) { f.shortBytes = 5; }));
    p.Connect();
    ExpectTooMany([&] { p.link.Initialize(); });
    EXPECT_EQ(p.reader('A').Heard(), (QStringList{"A", "A", "A", "A"}));
    EXPECT_FALSE(p.link.Data().Inicializado);

    // Only the first record short: the next request gets it whole.
    p.reader('A').SetFaults(Fault([](SimFaults& f) {
        f.shortBytes = 5;
        f.shortCount = 1;
    }));
    p.reader('A').ClearLog();
    p.link.Initialize();
    EXPECT_EQ(p.reader('A').Heard(), (QStringList{"A", "A", "B"}));
}

TEST(ProtocolOnPty, AReaderThatNeverAnswers) {
    PtyLink p("A", 50);
    p.reader('A').SetFaults(Fault([](SimFaults& f) { f.silent = true; }));
    p.Connect();
    QElapsedTimer t;
    t.start();
    ExpectTooMany([&] { p.link.Initialize(); });
    // Four frames, each waiting out the read time-out for its answer byte.
    EXPECT_GE(t.elapsed(), 4 * (50 + 3));
    EXPECT_EQ(p.reader('A').Heard().size(), 4);
    EXPECT_TRUE(p.reader('A').Requests().isEmpty());
}

TEST(ProtocolOnPty, AnUnpluggedLineIsAnErrorAndThePathWorksAgainAfterPlugging) {
    ScratchDir dir;
    const QString link = dir.File("ttyKELVOR");
    PtyLink p("A", 2000);
    p.line.Stop();
    p.line.SetLinkPath(link);
    p.line.Start();
    AddThree(p.reader('A'));
    p.Connect();
    EXPECT_EQ(p.link.Params().Port(), link);
    p.link.Initialize();

    p.line.Unplug();
    EXPECT_FALSE(QFileInfo::exists(link));
    QElapsedTimer t;
    t.start();
    EXPECT_THROW(p.link.Initialize(), EWin32Error);
    EXPECT_LT(t.elapsed(), 2000);  // reported, not waited out
    p.link.Disconnect();
    EXPECT_FALSE(p.link.Connect());

    p.line.Plug();
    p.Connect();
    p.link.Initialize();
    EXPECT_EQ(p.link.Data().Cantidad, 3);
}

TEST(ProtocolOnPty, ClearMemoryBeforeInitializeSendsNothing) {
    PtyLink p("A");
    AddThree(p.reader('A'));
    p.Connect();
    try {
        p.link.ClearMemory();
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "No se ha inicializado el reloj");
    }
    p.link.EnableAll();  // anything sent before would arrive before this
    EXPECT_EQ(p.reader('A').Heard(), QStringList{"3"});
    EXPECT_EQ(p.reader('A').Registrations().size(), 3);
}

TEST(ProtocolOnPty, StatusFieldsThatAreNotNumbers) {
    PtyLink p("A");
    p.reader('A').SetStatusText('B', "B01120914050001X0");
    p.Connect();
    EXPECT_THROW(p.link.Initialize(), EConvertError);
    EXPECT_FALSE(p.link.Data().Inicializado);
}

TEST(ProtocolOnPty, RecordsThatDoNotDecodeAreCountedAcknowledgedAndSkipped) {
    PtyLink p("A");
    SimulatedReader& r = p.reader('A');
    r.AddRegistration("11", 1, At(2026, 12, 1, 10, 0));
    r.AddRawText("A1113011000000020");  // month 13
    r.AddRawText("A1102291000000030");  // 29 February 2026
    r.AddRegistration("11", 4, At(2026, 12, 1, 10, 3));
    p.Connect();
    p.link.Initialize();
    TListaFichadas lista;
    p.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 2);
    EXPECT_EQ(lista[0].NroLlave(), 1);
    EXPECT_EQ(lista[1].NroLlave(), 4);
    EXPECT_EQ(p.link.Data().Rechazadas, 2);
    EXPECT_TRUE(p.line.WaitUntil([&] { return r.AcksReceived() == 2 + 4; }, 5000));
    // Each was asked for again MaxRetries times before it was given up.
    EXPECT_EQ(r.NaksReceived(), 2 * int(p.link.MaxRetries()));
}

TEST(ProtocolOnPty, SlowAndPacedAnswersStillArrive) {
    PtyLink p("A");
    AddThree(p.reader('A'));
    p.reader('A').SetFaults(Fault([](SimFaults& f) {
        f.delayMs = 30;
        f.lineSpeed = true;
    }));
    p.Connect();
    p.link.Initialize();
    TListaFichadas lista;
    p.link.ReadRegistrations(lista);
    EXPECT_EQ(lista.Count(), 3);
}

// Answers in pieces, as adapters and converters deliver them: pauses longer
// than the interval time-out (20 ms at 9600, 10 ms at 19200 bit/s), an
// adapter's 16 ms latency timer, both. A whole collection of two readers on
// one line: every record arrives in one copy, nothing asked for again.
TEST(ProtocolOnPty, AnswersInPiecesAreReadOnceAtNineAndNineteenThousandBits) {
    struct Case {
        qint32 baud;
        int chunkMax, pauseMs, latencyMs;
    } cases[] = {
        {9600, 5, 35, 0},  {9600, 0, 0, 16},  {9600, 7, 25, 16},
        {19200, 4, 15, 0}, {19200, 0, 0, 16}, {19200, 6, 25, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 bit/s chunks:%2:%3 latency:%4")
                         .arg(c.baud)
                         .arg(c.chunkMax)
                         .arg(c.pauseMs)
                         .arg(c.latencyMs)
                         .toStdString());
        PtyLink p("AB");
        const SimFaults f = Fault([&](SimFaults& f) {
            f.lineSpeed = true;
            f.chunkMax = c.chunkMax;
            f.chunkPauseMs = c.pauseMs;
            f.latencyMs = c.latencyMs;
        });
        QList<QDateTime> moments;
        for (int i = 0; i < 6; ++i) {
            moments.append(At(2026, 12, 1 + i, 7 + i, 10 * i));
            p.reader('A').AddRegistration(i % 2 ? "12" : "11", 100 + i, moments.last());
        }
        p.reader('B').AddRegistration("21", 99999, At(2026, 12, 9, 6, 1));
        p.reader('A').SetFaults(f);
        p.reader('B').SetFaults(f);
        p.link.Params().SetBaudRate(c.baud);
        p.Connect('A');
        ASSERT_EQ(p.line.LineBaud(), c.baud);

        p.link.Initialize();
        EXPECT_EQ(p.link.Data().Hora, 14);
        EXPECT_EQ(p.link.Data().Minuto, 5);
        ASSERT_EQ(p.link.Data().Cantidad, 6);
        TListaFichadas lista;
        p.link.ReadRegistrations(lista);
        ASSERT_EQ(lista.Count(), 6);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(lista[i].NroLlave(), 100 + i);
            EXPECT_EQ(lista[i].GetEstado(), i % 2 ? "12" : "11");
            EXPECT_EQ(lista[i].FechaHora(), moments[i]);
        }
        EXPECT_EQ(p.link.Data().Rechazadas, 0);
        p.link.ClearMemory();

        p.link.SetAddress('B');
        p.link.Initialize();
        ASSERT_EQ(p.link.Data().Cantidad, 1);
        p.link.ReadRegistrations(lista);
        ASSERT_EQ(lista.Count(), 1);
        EXPECT_EQ(lista[0].NroLlave(), 99999);
        p.link.ClearMemory();

        for (QChar a : {QChar('A'), QChar('B')}) {
            SimulatedReader& r = p.reader(a);
            EXPECT_EQ(r.Heard(), (QStringList{"A", "B", "0", "2"})) << a.toLatin1();
            EXPECT_EQ(r.Requests(), r.Heard());
            EXPECT_EQ(r.NaksReceived(), 0);
            EXPECT_TRUE(r.Registrations().isEmpty());
        }
        EXPECT_EQ(p.reader('A').Erased(), 6);
    }
}

TEST(ProtocolOnPty, AReaderSetToAnotherSpeedHearsOnlyNoise) {
    PtyLink p("A", 50);
    p.reader('A').SetBaud(19200);
    p.Connect();
    ExpectTooMany([&] { p.link.EnableAll(); });
    EXPECT_TRUE(p.reader('A').Heard().isEmpty());
    p.link.Params().SetBaudRate(19200);  // reopens at the reader's speed
    p.link.Params().SetReadTimeout(1000);
    p.link.EnableAll();
    EXPECT_EQ(p.reader('A').Requests(), QStringList{"3"});
}

}  // namespace
