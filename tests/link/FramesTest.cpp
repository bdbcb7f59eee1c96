// The bytes the link puts on the line: every worked frame, byte for byte, as
// written to the port, and the texts of keys, clocks and profiles.

#include <gtest/gtest.h>

#include "link/Framing.h"
#include "tests/link/LinkTestSupport.h"

namespace {

// The single frame one operation wrote (each answered ACK at once).
QByteArray OnlyFrame(MemoryLink& m) {
    EXPECT_EQ(m.port().Writes().size(), 1);
    return m.port().Writes().value(0);
}

TEST(Frames, FirstGenerationFramesByteForByte) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    m.link.Initialize();  // Cantidad 0
    m.port().ClearWrites();

    m.link.AddKey(123);
    EXPECT_EQ(OnlyFrame(m), Hex("02 52 41 35 30 30 31 32 33 03 17"));
    m.port().ClearWrites();
    m.link.ClearMemory();
    EXPECT_EQ(OnlyFrame(m), Hex("02 52 41 32 03 20"));

    m.port().ClearWrites();
    m.link.SetAddress('A');
    reader.commands.clear();
    m.link.Initialize();
    ASSERT_GE(m.port().Writes().size(), 1);
    EXPECT_EQ(m.port().Writes()[0], Hex("02 52 41 41 03 53"));  // status record A
    EXPECT_EQ(m.port().Writes()[1], Hex("06"));                 // its acknowledgement

    EXPECT_EQ(Framing::RequestFrame('A', "0"), Hex("02 52 41 30 03 22"));
    EXPECT_EQ(Framing::RequestFrame('B', "0"), Hex("02 52 42 30 03 21"));
}

TEST(Frames, ReadRequestGoesToTheSelectedAddress) {
    ScriptedReader reader({Sealed("A1112091400001230")});
    MemoryLink m(&reader);
    m.link.SetAddress('B');
    m.link.Initialize();
    m.port().ClearWrites();
    TListaFichadas lista;
    m.link.ReadRegistrations(lista);
    ASSERT_FALSE(m.port().Writes().isEmpty());
    EXPECT_EQ(m.port().Writes()[0], Hex("02 52 42 30 03 21"));
}

TEST(Frames, SecondGenerationFramesByteForByte) {
    ScriptedReader reader;
    MemoryLink m(&reader);  // clock: Wednesday 9 December 2026 14:05
    struct Case {
        std::function<void()> op;
        const char* frame;
    } cases[] = {
        {[&] { m.link.SetClock(); }, "02 52 41 31 32 36 31 32 30 39 34 31 34 30 35 03 19"},
        {[&] { m.link.SetClockHta(); }, "02 52 41 31 32 36 31 32 30 39 33 31 34 30 35 03 1E"},
        {[&] { m.link.ResetRegister(); }, "02 52 41 43 03 51"},
        {[&] { m.link.EnableByProfile(); }, "02 52 41 52 03 40"},
        {[&] { m.link.EnableAlarms(); }, "02 52 41 4C 33 03 6D"},
        {[&] { m.link.AddKeyEx(123, '4', '5'); }, "02 52 41 35 30 30 31 32 33 34 35 03 16"},
        {[&] { m.link.AddKeyEx(123, '-', '5'); }, "02 52 41 35 30 30 31 32 33 03 17"},
        {[&] { m.link.AddKeyEx(123, '4', '-'); }, "02 52 41 35 30 30 31 32 33 03 17"},
    };
    for (const auto& c : cases) {
        m.port().ClearWrites();
        c.op();
        EXPECT_EQ(OnlyFrame(m).toHex(' ').toUpper(), QByteArray(c.frame)) << c.frame;
    }
}

TEST(Frames, CommandTextsOfKeysAlarmsAndFirstGenerationCommands) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    m.link.AddKey(7);
    m.link.AddKey(0);
    m.link.RemoveKey(99999);
    m.link.RemoveKey(123456);  // more digits are written in full
    m.link.EnableAll();
    m.link.DisableAll();
    m.link.SetAlarm(3);
    m.link.AlarmOn();
    m.link.AlarmOff();
    m.link.DisableAlarms();
    m.link.SetAlarm(255);
    EXPECT_EQ(reader.commands, (QList<QByteArray>{"500007", "500000", "499999", "4123456", "3", "6",
                                                  "L3", "L1", "L2", "L4", "L255"}));
}

TEST(Frames, ClockTextCountsTheWeekFromSunday) {
    const QDateTime sunday = At(2026, 12, 6, 0, 0);
    const QDateTime saturday = At(2026, 12, 12, 23, 59);
    EXPECT_EQ(Framing::ClockText(sunday, false), "26120610000");
    EXPECT_EQ(Framing::ClockText(sunday, true), "26120600000");
    EXPECT_EQ(Framing::ClockText(saturday, false), "26121272359");
    EXPECT_EQ(Framing::ClockText(saturday, true), "26121262359");

    ScriptedReader reader;
    MemoryLink m(&reader, false, FixedClock(sunday));
    m.link.SetClock();
    m.link.SetClockHta();
    EXPECT_EQ(reader.commands, (QList<QByteArray>{"126120610000", "126120600000"}));
}

TEST(Frames, ProfileLinesAreNineOrTenWide) {
    const QString text = "02" + QString("ABCDEFGHIJKLMNOPQRST");
    for (bool compat : {false, true}) {
        ScriptedReader reader;
        MemoryLink m(&reader, compat);
        m.link.SendProfile(text);
        const QList<QByteArray> expected =
            compat ? QList<QByteArray>{"P02", "ABCDEFGHI", "JKLMNOPQR"}
                   : QList<QByteArray>{"P02", "ABCDEFGHIJ", "KLMNOPQRST"};
        EXPECT_EQ(reader.commands, expected) << "compat " << compat;
    }
}

TEST(Frames, ProfileEdgeCounts) {
    ScriptedReader reader;
    MemoryLink m(&reader);
    m.link.SendProfile("00");
    EXPECT_EQ(reader.commands, QList<QByteArray>{"P00"});

    reader.commands.clear();
    m.link.SendProfile("-1XXXXXXXXXX");  // a count below 1 sends only the announcement
    EXPECT_EQ(reader.commands, QList<QByteArray>{"P-1"});

    reader.commands.clear();
    m.link.SendProfile("03ABCDEFGHIJKLM");  // short text: short and empty lines, unchanged
    EXPECT_EQ(reader.commands, (QList<QByteArray>{"P03", "ABCDEFGHIJ", "KLM", ""}));

    reader.commands.clear();
    EXPECT_THROW(m.link.SendProfile("XY0123456789"), EConvertError);
    EXPECT_EQ(reader.commands, QList<QByteArray>{"PXY"});
}

TEST(Frames, ChecksumAndCheckFrame) {
    const QByteArray frame = Hex("02 52 41 30 03 22");
    EXPECT_EQ(TRedVexan::Checksum(frame, 5), 0x22);
    EXPECT_EQ(TRedVexan::Checksum(frame, 0), 0);
    EXPECT_TRUE(TRedVexan::CheckFrame(frame, 6));
    EXPECT_FALSE(TRedVexan::CheckFrame(frame, 5));
    EXPECT_FALSE(TRedVexan::CheckFrame(frame, 7));  // beyond the data
    EXPECT_FALSE(TRedVexan::CheckFrame(frame, 0));
    // The length counts modulo 256: 257 bytes check like 1.
    const QByteArray longer = QByteArray(1, 0x5A) + QByteArray(300, 0x11);
    EXPECT_EQ(TRedVexan::Checksum(longer, 257), 0x5A);

    QByteArray built;
    EXPECT_EQ(TRedVexan::BuildFrame(built, "A0"), 6);
    EXPECT_EQ(built, frame);
    EXPECT_EQ(TRedVexan::BuildFrame(built, "A500123"), 11);
    EXPECT_EQ(built, Hex("02 52 41 35 30 30 31 32 33 03 17"));
}

TEST(Frames, StatusRecordsDecodeOnlyWhenAllFieldsAreNumbers) {
    TRegistrador_Data d;
    Framing::DecodeStatusA(Sealed("A0012091405V1.000"), d);
    EXPECT_EQ(d.Mes, 12);
    EXPECT_EQ(d.Dia, 9);
    EXPECT_EQ(d.Hora, 14);
    EXPECT_EQ(d.Minuto, 5);
    EXPECT_EQ(d.Texto, "V1.00");
    Framing::DecodeStatusB(Sealed("B0311223344001270"), d);
    EXPECT_EQ(d.Estado2, 3);
    EXPECT_EQ(d.Mes2, 11);
    EXPECT_EQ(d.Dia2, 22);
    EXPECT_EQ(d.Hora2, 33);
    EXPECT_EQ(d.Minuto2, 44);
    EXPECT_EQ(d.Cantidad, 127);

    const TRegistrador_Data before = d;
    EXPECT_THROW(Framing::DecodeStatusB(Sealed("B031122334400X270"), d), EConvertError);
    EXPECT_THROW(Framing::DecodeStatusB(Sealed("B0311223344-01270"), d), EConvertError);
    EXPECT_THROW(Framing::DecodeStatusA(Sealed("A001209 405V1.000"), d), EConvertError);
    EXPECT_THROW(Framing::DecodeStatusA("A00120", d), EConvertError);
    EXPECT_EQ(d.Cantidad, before.Cantidad);
    EXPECT_EQ(d.Minuto, before.Minuto);
}

}  // namespace
