// The exchanges and their retry rules, on the in-memory port: every case is
// exact and takes no time.

#include <gtest/gtest.h>

#include "link/Framing.h"
#include "shell/Errors.h"
#include "tests/link/LinkTestSupport.h"

namespace {

const QString kTooMany = "Se supero la cantidad maxima de intentos de comunicación";
const QByteArray kAck(1, 0x06);
const QByteArray kNak(1, 0x15);

bool IsFrame(const QByteArray& w) {
    return w.size() >= 5 && w[0] == 0x02;
}

int FramesWritten(MemoryPort& p) {
    int n = 0;
    for (const auto& w : p.Writes()) n += IsFrame(w) ? 1 : 0;
    return n;
}

// A far end that answers the n-th frame (1-based) with answer(n).
MemoryPort::Responder FrameAnswers(std::function<QByteArray(int n)> answer) {
    auto count = std::make_shared<int>(0);
    return [count, answer](MemoryPort& port, const QByteArray& w) {
        if (IsFrame(w))
            port.Feed(answer(++*count));
    };
}

void ExpectTooMany(const std::function<void()>& op) {
    try {
        op();
        ADD_FAILURE() << "the exchange succeeded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), kTooMany);
    }
}

TEST(Exchange, NakForeverSendsTheFrameFourTimesWithThreeRetries) {
    MemoryLink m(nullptr);
    m.port().SetResponder(FrameAnswers([](int) { return kNak; }));
    ExpectTooMany([&] { m.link.EnableAll(); });
    EXPECT_EQ(m.port().Writes().size(), 4);
    EXPECT_EQ(FramesWritten(m.port()), 4);
}

TEST(Exchange, OnlyTheFirstThreeAnswersCount) {
    MemoryLink m(nullptr);
    m.port().SetResponder(FrameAnswers([](int n) { return n == 4 ? kAck : kNak; }));
    ExpectTooMany([&] { m.link.EnableAll(); });
    EXPECT_EQ(FramesWritten(m.port()), 4);

    MemoryLink third(nullptr);
    third.port().SetResponder(FrameAnswers([](int n) { return n == 3 ? kAck : kNak; }));
    third.link.EnableAll();
    EXPECT_EQ(FramesWritten(third.port()), 3);
}

TEST(Exchange, NoRetriesMeansOneTransmissionThatAlwaysFails) {
    MemoryLink m(nullptr);
    m.link.SetMaxRetries(0);
    m.port().SetResponder(FrameAnswers([](int) { return kAck; }));
    ExpectTooMany([&] { m.link.AddKey(1); });
    EXPECT_EQ(FramesWritten(m.port()), 1);
}

TEST(Exchange, SilenceCountsAsAnAnswerOtherThanAck) {
    MemoryLink m(nullptr);
    m.link.SetMaxRetries(2);
    ExpectTooMany([&] { m.link.ResetRegister(); });
    EXPECT_EQ(FramesWritten(m.port()), 3);
}

TEST(Exchange, TheAttemptCounterNeverWraps) {
    MemoryLink m(nullptr);
    m.link.SetMaxRetries(65535);
    m.port().SetResponder(FrameAnswers([](int) { return kNak; }));
    ExpectTooMany([&] { m.link.DisableAll(); });
    EXPECT_EQ(FramesWritten(m.port()), 65536);
}

TEST(Exchange, StatusRecordsAreRequestedAgainWhole) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    // First answer to "A": ACK with a bad check byte; then NAK with a good
    // record; then the good pair.
    QByteArray badA = reader.statusA;
    badA[17] = char(badA[17] ^ 1);
    int aFrames = 0;
    reader.mangle = [&](const QByteArray& answer) {
        if (answer.size() != 19 || answer.mid(1, 1) != "A")
            return answer;
        ++aFrames;
        if (aFrames == 1)
            return kAck + badA;
        if (aFrames == 2)
            return kNak + reader.statusA;
        return answer;
    };
    m.link.Initialize();
    EXPECT_EQ(reader.commands, (QList<QByteArray>{"A", "A", "A", "B"}));
    EXPECT_EQ(m.port().Writes()[0], Framing::RequestFrame('A', "A"));
    EXPECT_EQ(m.port().Writes()[1], Framing::RequestFrame('A', "A"));
    EXPECT_EQ(reader.acks, 2);  // one per good status record
    EXPECT_TRUE(m.link.Data().Inicializado);
    EXPECT_EQ(m.link.Data().Texto, "V1.00");
}

TEST(Exchange, StatusFieldsThatAreNotNumbersFailInitialize) {
    ScriptedReader reader;
    reader.statusB = Sealed("B0112091405001X20");
    MemoryLink m(&reader);
    EXPECT_THROW(m.link.Initialize(), EConvertError);
    EXPECT_FALSE(m.link.Data().Inicializado);
    EXPECT_EQ(m.link.Data().Mes, 0);  // record A's values were not stored either
    EXPECT_EQ(m.link.Data().Cantidad, 0);
}

TEST(Exchange, NothingStoredMeansNothingSent) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    m.link.Initialize();
    m.port().ClearWrites();
    TListaFichadas lista;
    lista.Add(TFichada(1, At(2026, 1, 1), "11"));
    m.link.ReadRegistrations(lista);
    EXPECT_EQ(lista.Count(), 0);
    EXPECT_TRUE(m.port().Writes().isEmpty());
}

QList<QByteArray> ThreeRecords() {
    return {Sealed("A1112091400001010"), Sealed("A1212091401001020"), Sealed("A1512091402001030")};
}

TEST(Exchange, ABadCheckByteIsAskedForAgainWithNak) {
    ScriptedReader reader(ThreeRecords());
    int sent2 = 0;
    reader.mangle = [&](QByteArray answer) {
        if (answer.endsWith(reader.records[1]) && ++sent2 == 1)
            answer[answer.size() - 1] ^= 0x20;
        return answer;
    };
    MemoryLink m(&reader);
    m.link.Initialize();
    m.port().ClearWrites();
    TListaFichadas lista;
    m.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 3);
    EXPECT_EQ(lista[1].NroLlave(), 102);
    EXPECT_EQ(lista[1].GetEstado(), "12");
    EXPECT_EQ(lista[2].FechaHora(), At(2026, 12, 9, 14, 2));
    EXPECT_EQ(m.port().Writes(),
              (QList<QByteArray>{Framing::RequestFrame('A', "0"), kAck, kNak, kAck, kAck}));
    EXPECT_EQ(m.link.Data().Rechazadas, 0);
}

TEST(Exchange, ARecordThatDoesNotComeIsABadRecord) {
    ScriptedReader reader(ThreeRecords());
    int answers = 0;
    reader.mangle = [&](const QByteArray& answer) {
        // The ACK to "0" comes, its record does not.
        if (answer.size() == 19 && answer.endsWith(reader.records[0]) && ++answers == 1) {
            return kAck;
        }
        return answer;
    };
    MemoryLink m(&reader);
    m.link.Initialize();
    TListaFichadas lista;
    m.link.ReadRegistrations(lista);
    EXPECT_EQ(lista.Count(), 3);
    EXPECT_EQ(reader.naks, 1);
}

TEST(Exchange, ARecordBadEveryTimeEndsThePassAndKeepsWhatWasRead) {
    ScriptedReader reader(ThreeRecords());
    reader.mangle = [&](QByteArray answer) {
        if (answer.endsWith(reader.records[1]))
            answer.chop(1);  // always short
        return answer;
    };
    MemoryLink m(&reader);
    m.link.Initialize();
    TListaFichadas lista;
    ExpectTooMany([&] { m.link.ReadRegistrations(lista); });
    ASSERT_EQ(lista.Count(), 1);
    EXPECT_EQ(lista[0].NroLlave(), 101);
    EXPECT_EQ(reader.naks, 4);
    EXPECT_FALSE(reader.erased);
}

TEST(Exchange, ARecordThatChecksButDoesNotDecodeIsCountedAndAcknowledged) {
    QList<QByteArray> records = ThreeRecords();
    records[1] = Sealed("A1113091401001020");  // month 13
    ScriptedReader reader(records);
    MemoryLink m(&reader);
    m.link.Initialize();
    TListaFichadas lista;
    m.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 2);
    EXPECT_EQ(lista[0].NroLlave(), 101);
    EXPECT_EQ(lista[1].NroLlave(), 103);
    EXPECT_EQ(m.link.Data().Rechazadas, 1);
    EXPECT_EQ(reader.acks, 2 + 3);  // two status records, three registrations
    // It was asked for again MaxRetries times in case the line had damaged it.
    EXPECT_EQ(reader.naks, 3);
}

TEST(Exchange, ARecordDamagedIntoOneThatChecksButDoesNotDecodeIsReadAgain) {
    // Two flips of the same bit (month "12" -> "13" and the key's last digit
    // "2" -> "3") keep the exclusive-or: the check passes, the month does not
    // decode. The reader's next copy is good and must be the one kept.
    ScriptedReader reader(ThreeRecords());
    const QByteArray damaged = "A1213091401001030" + reader.records[1].right(1);
    ASSERT_TRUE(TRedVexan::CheckFrame(damaged, 18));
    int sent = 0;
    reader.mangle = [&](QByteArray answer) {
        if (answer.endsWith(reader.records[1]) && ++sent <= 2)
            answer = answer.left(answer.size() - 18) + damaged;
        return answer;
    };
    MemoryLink m(&reader);
    m.link.Initialize();
    TListaFichadas lista;
    m.link.ReadRegistrations(lista);
    ASSERT_EQ(lista.Count(), 3);
    EXPECT_EQ(lista[1].NroLlave(), 102);
    EXPECT_EQ(lista[1].GetEstado(), "12");
    EXPECT_EQ(lista[1].FechaHora(), At(2026, 12, 9, 14, 1));
    EXPECT_EQ(m.link.Data().Rechazadas, 0);
    EXPECT_EQ(reader.naks, 2);
    EXPECT_EQ(reader.acks, 2 + 3);
}

TEST(Exchange, AShortRecordIsNeverTakenForAGoodOne) {
    // Five bytes whose exclusive-or is 0: followed by the zero-filled rest of
    // the buffer they would "pass" a check over 18 bytes.
    const QByteArray zeroSum = QByteArray("ABCD") + char('A' ^ 'B' ^ 'C' ^ 'D');
    ScriptedReader reader(ThreeRecords());
    int first = 0;
    reader.mangle = [&](const QByteArray& answer) {
        if (answer.endsWith(reader.records[0]) && ++first == 1)
            return answer.left(1) + zeroSum;
        return answer;
    };
    MemoryLink m(&reader);
    m.link.Initialize();
    TListaFichadas lista;
    m.link.ReadRegistrations(lista);
    EXPECT_EQ(reader.naks, 1);
    ASSERT_EQ(lista.Count(), 3);
    EXPECT_EQ(lista[0].NroLlave(), 101);
}

TEST(Exchange, AnswersThatArriveUnaskedAreDiscardedBeforeTheNextRequest) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    // The reader's answer to "3" comes, and a late duplicate after it, as
    // after an attempt the agent had given up on.
    m.port().SetResponder([&, inner = reader.Responder()](MemoryPort& port, const QByteArray& w) {
        inner(port, w);
        if (w == Framing::RequestFrame('A', "3"))
            port.Feed(kAck);
    });
    m.link.EnableAll();
    EXPECT_EQ(m.port().Pending(), 1);
    m.link.Initialize();
    // Had the stray ACK been taken as the answer to "A", the record read
    // after it would have been misaligned and "A" requested again.
    EXPECT_EQ(reader.commands, (QList<QByteArray>{"3", "A", "B"}));
}

TEST(Exchange, ReadingAndClearingNeedInitialize) {
    ScriptedReader reader(ThreeRecords());
    MemoryLink m(&reader);
    TListaFichadas lista;
    for (auto op : {std::function<void()>([&] { m.link.ClearMemory(); }),
                    std::function<void()>([&] { m.link.ReadRegistrations(lista); })}) {
        try {
            op();
            ADD_FAILURE();
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "No se ha inicializado el reloj");
        }
    }
    EXPECT_TRUE(m.port().Writes().isEmpty());

    // Initialised stays true across reading, clearing and commands until the
    // address is selected again.
    m.link.Initialize();
    m.link.ReadRegistrations(lista);
    m.link.EnableAll();
    m.link.ClearMemory();
    EXPECT_TRUE(m.link.Data().Inicializado);
    EXPECT_EQ(m.link.Data().Cantidad, 3);
    m.link.SetAddress('A');
    EXPECT_FALSE(m.link.Data().Inicializado);
    EXPECT_THROW(m.link.ClearMemory(), Exception);
}

TEST(Exchange, AClosedPortSendsNothing) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    m.link.Disconnect();
    TListaFichadas lista;
    const std::function<void()> ops[] = {
        [&] { m.link.Initialize(); },
        [&] { m.link.ReadRegistrations(lista); },
        [&] { m.link.ClearMemory(); },
        [&] { m.link.EnableAll(); },
        [&] { m.link.DisableAll(); },
        [&] { m.link.AddKey(1); },
        [&] { m.link.RemoveKey(1); },
        [&] { m.link.AddKeyEx(1, '1', '2'); },
        [&] { m.link.AddKeyEx(1, '-', '-'); },
        [&] { m.link.SendProfile("01ABCDEFGHIJ"); },
        [&] { m.link.ResetRegister(); },
        [&] { m.link.EnableByProfile(); },
        [&] { m.link.SetClock(); },
        [&] { m.link.SetClockHta(); },
        [&] { m.link.SetAlarm(1); },
        [&] { m.link.EnableAlarms(); },
        [&] { m.link.DisableAlarms(); },
        [&] { m.link.AlarmOn(); },
        [&] { m.link.AlarmOff(); },
    };
    for (const auto& op : ops) {
        try {
            op();
            ADD_FAILURE() << "ran on a closed port";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "El puerto esta cerrado");
        }
    }
    EXPECT_TRUE(m.port().Writes().isEmpty());
}

TEST(Exchange, ConnectReportsByItsResult) {
    MemoryLink m(nullptr);
    EXPECT_TRUE(m.link.Port().Active());
    EXPECT_EQ(m.link.Params().InQueueSize(), 1000);
    EXPECT_EQ(m.link.Params().OutQueueSize(), 1000);
    EXPECT_TRUE(m.link.ConnectError().isEmpty());
    m.link.Disconnect();
    m.port().SetOpenError(ENOENT);
    EXPECT_FALSE(m.link.Connect());
    EXPECT_FALSE(m.link.Port().Active());
    EXPECT_EQ(m.link.ConnectError(),
              "No se puede abrir el puerto memoria. SO reporta No such file or directory");
    m.port().SetOpenError(0);
    EXPECT_TRUE(m.link.Connect());
    EXPECT_TRUE(m.link.ConnectError().isEmpty());
    EXPECT_EQ(m.link.MaxRetries(), 3);
}

TEST(Exchange, PortFailuresPassThroughUnchanged) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    m.port().SetWriteStalled(true);
    EXPECT_THROW(m.link.EnableAll(), EWriteTimeout);
    m.port().SetWriteStalled(false);
    m.port().SetLost(true);
    try {
        m.link.Initialize();
        FAIL();
    } catch (const EWin32Error& e) {
        EXPECT_EQ(e.ErrorCode(), EIO);
    }
    EXPECT_FALSE(m.link.Data().Inicializado);
}

}  // namespace
