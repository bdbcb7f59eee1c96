#include "link/TRedKelvorII.h"

#include "link/Framing.h"

namespace {

// Command texts travel as single bytes; characters outside Latin-1 cannot
// reach a reader and become "?".
QByteArray Bytes(const QString& text) {
    return text.toLatin1();
}

}  // namespace

TRedKelvorII::TRedKelvorII(bool compat, ClockFn clock)
    : TRedVexan(std::move(clock)), m_compat(compat) {}

TRedKelvorII::TRedKelvorII(bool compat, std::unique_ptr<BytePort> port, ClockFn clock)
    : TRedVexan(std::move(port), std::move(clock)), m_compat(compat) {}

void TRedKelvorII::AddKeyEx(qint32 key, QChar c1, QChar c2) {
    RequireOpen();
    if (c1 == '-' || c2 == '-') {
        AddKey(key);
        return;
    }
    SendCommand("5" + Framing::KeyText(key) + Bytes(QString(c1) + c2));
}

void TRedKelvorII::SendProfile(const QString& text) {
    RequireOpen();
    const QByteArray bytes = Bytes(text);
    const QByteArray nn = bytes.left(2);
    SendCommand("P" + nn);
    const int width = m_compat ? 9 : 10;
    const qint32 count = Framing::SignedNumber(nn);
    for (qint32 i = 0; i < count; ++i) {
        SendCommand(bytes.mid(2 + qsizetype(i) * width, width));
    }
}

void TRedKelvorII::ResetRegister() {
    RequireOpen();
    SendCommand("C");
}

void TRedKelvorII::EnableByProfile() {
    RequireOpen();
    SendCommand("R");
}

void TRedKelvorII::SetClock() {
    RequireOpen();
    SendCommand("1" + Framing::ClockText(Clock()(), false));
}

void TRedKelvorII::SetClockHta() {
    RequireOpen();
    SendCommand("1" + Framing::ClockText(Clock()(), true));
}

void TRedKelvorII::SetAlarm(quint8 d) {
    RequireOpen();
    SendCommand("L" + QByteArray::number(d));
}

void TRedKelvorII::EnableAlarms() {
    SetAlarm(3);
}
void TRedKelvorII::DisableAlarms() {
    SetAlarm(4);
}
void TRedKelvorII::AlarmOn() {
    SetAlarm(1);
}
void TRedKelvorII::AlarmOff() {
    SetAlarm(2);
}
