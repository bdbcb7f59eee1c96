#include "link/Framing.h"

#include "link/TRegistrador_Data.h"
#include "shell/Errors.h"

namespace Framing {

namespace {

[[noreturn]] void NotANumber(const QByteArray& text) {
    throw EConvertError(
        QStringLiteral("'%1' no es un valor entero válido").arg(QString::fromLatin1(text)));
}

QByteArray TwoDigits(int v) {
    return QByteArray::number(v).rightJustified(2, '0');
}

}  // namespace

quint8 Checksum(const QByteArray& data, int len) {
    const int n = qMin(int(quint8(len)), int(data.size()));
    quint8 x = 0;
    for (int i = 0; i < n; ++i) x ^= quint8(data[i]);
    return x;
}

bool CheckFrame(const QByteArray& data, int len) {
    if (len <= 0 || len > data.size())
        return false;
    return quint8(data[len - 1]) == Checksum(data, len - 1);
}

int BuildFrame(QByteArray& frame, const QByteArray& body) {
    frame.clear();
    frame.reserve(body.size() + 4);
    frame.append(kStx);
    frame.append(kRequest);
    frame.append(body);
    frame.append(kEtx);
    // The check covers the whole frame; a length byte would wrap for frames
    // over 255 bytes, which no command text comes near, so fold directly.
    quint8 x = 0;
    for (char c : frame) x ^= quint8(c);
    frame.append(char(x));
    return int(frame.size());
}

QByteArray RequestFrame(QChar address, const QByteArray& command) {
    QByteArray body;
    body.append(char(address.toLatin1()));
    body.append(command);
    QByteArray frame;
    BuildFrame(frame, body);
    return frame;
}

QByteArray KeyText(qint32 key) {
    return QByteArray::number(key).rightJustified(5, ' ').replace(' ', '0');
}

QByteArray ClockText(const QDateTime& when, bool zeroBasedWeekday) {
    const QDate d = when.date();
    const QTime t = when.time();
    // Qt counts Monday 1 .. Sunday 7; the readers count Sunday 1 .. Saturday 7.
    int w = d.dayOfWeek() % 7 + 1;
    if (zeroBasedWeekday)
        w -= 1;
    QByteArray text;
    text += TwoDigits(d.year() % 100);
    text += TwoDigits(d.month());
    text += TwoDigits(d.day());
    text += QByteArray::number(w);
    text += TwoDigits(t.hour());
    text += TwoDigits(t.minute());
    return text;
}

qint32 NumberField(const QByteArray& record, int pos, int len) {
    const QByteArray text = record.mid(pos - 1, len);
    if (text.size() != len || len <= 0 || len > 9)
        NotANumber(text);
    qint32 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            NotANumber(text);
        v = v * 10 + (c - '0');
    }
    return v;
}

qint32 SignedNumber(const QByteArray& text) {
    QByteArray digits = text;
    bool negative = false;
    if (!digits.isEmpty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits.remove(0, 1);
    }
    if (digits.isEmpty() || digits.size() > 9)
        NotANumber(text);
    const qint32 v = NumberField(digits, 1, int(digits.size()));
    return negative ? -v : v;
}

void DecodeStatusA(const QByteArray& record, TRegistrador_Data& out) {
    const qint32 mes = NumberField(record, 4, 2);
    const qint32 dia = NumberField(record, 6, 2);
    const qint32 hora = NumberField(record, 8, 2);
    const qint32 minuto = NumberField(record, 10, 2);
    out.Mes = quint16(mes);
    out.Dia = quint16(dia);
    out.Hora = quint16(hora);
    out.Minuto = quint16(minuto);
    out.Texto = QString::fromLatin1(record.mid(11, 5));
}

void DecodeStatusB(const QByteArray& record, TRegistrador_Data& out) {
    const qint32 estado2 = NumberField(record, 3, 1);
    const qint32 mes2 = NumberField(record, 4, 2);
    const qint32 dia2 = NumberField(record, 6, 2);
    const qint32 hora2 = NumberField(record, 8, 2);
    const qint32 minuto2 = NumberField(record, 10, 2);
    const qint32 cantidad = NumberField(record, 12, 5);
    out.Estado2 = quint8(estado2);
    out.Mes2 = quint16(mes2);
    out.Dia2 = quint16(dia2);
    out.Hora2 = quint16(hora2);
    out.Minuto2 = quint16(minuto2);
    out.Cantidad = cantidad;
}

}  // namespace Framing
