#include "link/TFichada.h"

#include "link/Framing.h"
#include "link/WallClock.h"
#include "shell/Errors.h"

namespace {

// The event code as it arrived. A reader writes printable characters there
// (digits, for the codes it knows); a NUL or another control character is a
// record damaged on its way or in the reader's memory, not a code to store:
// no engine could store a NUL in a text, and it would hold back the reader's
// good records with it.
QString EventCode(const QByteArray& record) {
    const QByteArray code = record.mid(1, 2);
    for (const char c : code) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            throw EConvertError(QStringLiteral("'%1' no es un código de evento válido")
                                    .arg(QString::fromLatin1(code.toHex(' '))));
    }
    return QString::fromLatin1(code);
}

QDateTime Decode(const QByteArray& record, const QDateTime& now, qint32* key) {
    *key = Framing::NumberField(record, 12, 5);
    const int month = Framing::NumberField(record, 4, 2);
    const int day = Framing::NumberField(record, 6, 2);
    const int hour = Framing::NumberField(record, 8, 2);
    const int minute = Framing::NumberField(record, 10, 2);
    const QString shown = QString::fromLatin1(record.mid(3, 8));
    // The year is not on the wire: a month still to come this year can only
    // be last year's (a December record read in January).
    int year = now.date().year();
    if (month > now.date().month())
        --year;
    const QDate date(year, month, day);
    if (!date.isValid()) {
        throw EConvertError(QStringLiteral("'%1' no es una fecha válida").arg(shown));
    }
    const QTime time(hour, minute, 0, 0);
    if (!time.isValid()) {
        throw EConvertError(QStringLiteral("'%1' no es una hora válida").arg(shown));
    }
    // The reader's own wall clock, also in the hour the computer's zone
    // skips in spring: the reader did not skip it, and its registrations
    // there are as real as any.
    return WallClock::Make(date, time);
}

}  // namespace

TFichada::TFichada(const QByteArray& record, const QDateTime& now)
    : m_nroLlave(0),
      m_fechaHora(Decode(record, now, &m_nroLlave)),
      m_estado(EventCode(record)) {}
