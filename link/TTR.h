#pragma once
// The descriptor of one reader as loaded from the database. A plain record,
// owned by whoever declares it (typically a local of the loop that visits the
// readers). The first character of Id is the reader's address letter on the line.

#include <QString>

struct TTR {
    QString Id;                  // Reg.Id
    QString Puerto = "COM1";     // Estacion.Puerto: the port of the station's line
    qint32 Velocidad = 9600;     // Reg.Velocidad, bit/s
    bool Virtual = false;        // Reg.VIRTUAL: registrations come from REGSIM
    bool Hta = false;            // Reg.HTA: takes only part of the command set
    bool CtrlActivo = false;     // Reg.CTRLACTIVO: keeps visitor presence in VISACT
};
