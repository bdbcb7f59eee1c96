#pragma once
// Compares the registrations stored in REGISTRA with what the readers held:
// every registration once, unaltered, none invented. The synthetic rows of
// the agent ("MEMERR", "FUEHOR") are counted apart.

#include <QDateTime>
#include <QMap>
#include <QString>
#include <string>

class AgentBench;

// What a reader held for one key (keys are unique within a test).
struct HeldRegistration {
    QDateTime moment;
    QString codEstado;  // as the agent must store it
};

struct FaultCounts {
    int stored = 0;        // rows of registrations (synthetic rows excluded)
    int duplicates = 0;    // extra rows of a held registration
    int lost = 0;          // held registrations with no row
    int altered = 0;       // rows of a held key with another moment or state
    int invented = 0;      // rows of a key no reader held
    int synthetic = 0;     // "MEMERR" and "FUEHOR" rows
    int twinsMissing = 0;  // REGISTRA rows without their RegExp twin

    static FaultCounts Of(AgentBench& b, const QMap<qint32, HeldRegistration>& held);
    std::string Text() const;
};
