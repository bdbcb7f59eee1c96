#pragma once
// The selected reader's status inside the protocol object: its clock and the
// number of stored registrations as read from status records A and B, plus the
// link's bookkeeping for that reader. A plain record embedded in TRedVexan.

#include <QString>

struct TRegistrador_Data {
    QChar Direccion;          // address letter, set by SetAddress
    quint16 Dia = 0;          // record A: reader clock
    quint16 Mes = 0;
    quint16 Hora = 0;
    quint16 Minuto = 0;
    QString Texto;            // record A, characters 12-16, not interpreted
    quint8 Estado2 = 0;       // record B, character 3, not interpreted
    quint16 Dia2 = 0;         // record B, not interpreted
    quint16 Mes2 = 0;
    quint16 Hora2 = 0;
    quint16 Minuto2 = 0;
    qint32 Cantidad = 0;      // record B: number of stored registrations
    bool Inicializado = false;  // records A and B read since the last SetAddress
    qint32 Rechazadas = 0;    // records of the last pass that failed to decode
};
