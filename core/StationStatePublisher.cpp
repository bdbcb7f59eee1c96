#include "core/StationStatePublisher.h"

#include <QCoreApplication>
#include <QSysInfo>

#include "core/ReaderStatus.h"
#include "db/TDM.h"
#include "shell/TVersionInfo.h"

StationStatePublisher::StationStatePublisher(std::chrono::milliseconds interval)
    : m_interval(interval) {}

QStringList StationStatePublisher::Signature(const ReaderStatus& status) {
    QStringList out{QString::number(status.Estacion())};
    for (const ReaderStatus::Reader& r : status.Readers()) {
        if (!r.inStation)
            continue;
        out << QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8")
                   .arg(r.id)
                   .arg(r.virtualReader)
                   .arg(r.answered)
                   .arg(r.clockDiffMin ? QString::number(*r.clockDiffMin) : QStringLiteral("-"))
                   .arg(r.stored)
                   .arg(r.delivered)
                   .arg(r.failed)
                   .arg(r.lastResult);
    }
    return out;
}

bool StationStatePublisher::EndCycle(TDM& dm, const ReaderStatus& status, const QDateTime& when,
                                     int cycle) {
    const QStringList signature = Signature(status);
    const bool changed = !m_sinceWrite.isValid() || m_retry || signature != m_written;
    if (!changed && m_sinceWrite.elapsed() < m_interval.count())
        return false;
    m_retry = true;  // until this write succeeds

    TDM::AgentState agent;
    agent.estacion = status.Estacion();
    agent.equipo = QSysInfo::machineHostName();
    agent.proceso = QCoreApplication::applicationPid();
    agent.version = TVersionInfo().VersionText();
    agent.ciclo = cycle;
    agent.finCiclo = when;
    agent.respondieron = status.Answered();
    agent.conLinea = status.LineReaders();
    // The readers of the station's last collection; a reader met only
    // through a command of another station is that station's to tell.
    QList<TDM::ReaderState> readers;
    for (const ReaderStatus::Reader& r : status.Readers()) {
        if (!r.inStation)
            continue;
        TDM::ReaderState s;
        s.id = r.id;
        s.virtualReader = r.virtualReader;
        s.answered = r.answered;
        s.lastContact = r.lastContact;
        s.lastResultAt = r.lastResultAt;
        s.lastResult = r.lastResult;
        s.clockDiffMin = r.clockDiffMin;
        s.stored = r.stored;
        s.delivered = r.delivered;
        s.failed = r.failed;
        readers << s;
    }
    if (!dm.WriteStationState(agent, readers))
        return false;
    m_written = signature;
    m_sinceWrite.start();
    m_retry = false;
    return true;
}
