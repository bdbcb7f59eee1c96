#pragma once
// Compares the registrations stored in REGISTRA with what the readers held:
// every registration once, unaltered, none invented. The synthetic rows of
// the agent ("MEMERR", "FUEHOR") are counted apart.

#include <QDateTime>
#include <QMap>
#include <QString>
#include <string>

class AgentBench;
class SimulatedReader;

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

// Exit registrations ("21", stored as "SALHAB") handed to a reader in batches
// of `perBatch`, keys numbered in order from 1, a minute apart from `first`
// on; what was handed is kept for FaultCounts::Of.
class HeldBatches {
public:
    HeldBatches(SimulatedReader& reader, int perBatch, const QDateTime& first)
        : m_reader(reader), m_perBatch(perBatch), m_first(first) {}
    void Add(int batch);
    const QMap<qint32, HeldRegistration>& Held() const { return m_held; }

private:
    SimulatedReader& m_reader;
    int m_perBatch;
    QDateTime m_first;
    QMap<qint32, HeldRegistration> m_held;
};
