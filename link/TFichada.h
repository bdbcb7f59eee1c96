#pragma once
// One registration (a key presented at a reader) as read from the reader's
// memory. Immutable after construction.
//
// Wire layout of an 18-byte registration record (1-based positions, ASCII):
//   1 not examined | 2-3 event code | 4-5 month | 6-7 day | 8-9 hour
//   10-11 minute | 12-16 key number | 17 not examined | 18 check byte
//
// The year is not on the wire: it is the current year of `now`, minus one when
// the record's month is greater than the current month. The moment is the
// reader's wall clock (WallClock), also inside a daylight-saving gap.

#include <QByteArray>
#include <QDateTime>
#include <QString>

class TFichada {
public:
    // Decodes a record that passed its check. Throws EConvertError when a
    // numeric field is not a number, the date or time does not exist, or the
    // event code holds a control character (a NUL among them).
    TFichada(const QByteArray& record, const QDateTime& now);
    // A registration built from its parts (tests, the simulator's scripts).
    TFichada(qint32 nroLlave, const QDateTime& fechaHora, const QString& estado)
        : m_nroLlave(nroLlave), m_fechaHora(fechaHora), m_estado(estado.left(2)) {}

    qint32 NroLlave() const { return m_nroLlave; }
    const QDateTime& FechaHora() const { return m_fechaHora; }
    QString GetEstado() const { return m_estado; }

private:
    qint32 m_nroLlave;
    QDateTime m_fechaHora;  // to the minute; seconds are 0
    QString m_estado;       // at most two characters, as they arrived
};
