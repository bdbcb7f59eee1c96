#include "tests/faults/FaultCounts.h"

#include "tests/core/AgentBench.h"
#include "tools/simulador/SimulatedReader.h"

FaultCounts FaultCounts::Of(AgentBench& b, const QMap<qint32, HeldRegistration>& held) {
    FaultCounts c;
    QMap<qint32, int> seen;
    for (const QVariantList& row : b.Registrations()) {
        const QString cod = row[2].toString();
        if (cod == "MEMERR" || cod == "FUEHOR") {
            ++c.synthetic;
            continue;
        }
        ++c.stored;
        const qint32 key = row[1].toInt();
        const auto it = held.find(key);
        if (it == held.end()) {
            ++c.invented;
            continue;
        }
        if (AgentBench::DateTime(row[3]) != it->moment || cod != it->codEstado) {
            ++c.altered;
            continue;
        }
        if (++seen[key] > 1)
            ++c.duplicates;
    }
    for (auto it = held.begin(); it != held.end(); ++it)
        if (!seen.contains(it.key()))
            ++c.lost;
    c.twinsMissing =
        b.Value("SELECT COUNT(*) FROM REGISTRA WHERE Id NOT IN (SELECT Id FROM RegExp)").toInt();
    return c;
}

std::string FaultCounts::Text() const {
    return QString("%1 stored, %2 duplicates, %3 lost, %4 altered, %5 invented, %6 synthetic")
        .arg(stored)
        .arg(duplicates)
        .arg(lost)
        .arg(altered)
        .arg(invented)
        .arg(synthetic)
        .toStdString();
}

void HeldBatches::Add(int batch) {
    for (int i = 0; i < m_perBatch; ++i) {
        const qint32 key = batch * m_perBatch + i + 1;
        const QDateTime moment = m_first.addSecs(60 * qint64(key));
        m_reader.AddRegistration("21", key, moment);
        m_held.insert(key, {moment, "SALHAB"});
    }
}
