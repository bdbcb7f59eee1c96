#pragma once
// Publishes the station's state (ReaderStatus) in the shared database
// (TDM::WriteStationState), so that whoever looks after every station sees
// its readers (kelvordb estado).
//
// An idle cycle must stay cheap for a shared server: the rows are written at
// the end of a cycle only when the readers' state changed since the last
// write (a reader that stopped or started answering, another result, another
// clock difference, registrations stored, commands sent or failed), and
// otherwise at most once per interval (a minute) so that the station's last
// word stays fresh. The first cycle always writes. A write that fails is
// tried again at the next cycle.
//
// Ownership: the communication thread owns one. Thread: that thread. The
// interval runs on a monotonic clock. EndCycle throws what the data module
// throws (EDatabaseError).

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <chrono>

class ReaderStatus;
class TDM;

class StationStatePublisher {
public:
    explicit StationStatePublisher(std::chrono::milliseconds interval = std::chrono::minutes(1));

    // Writes when due. True when the rows were written, false when nothing
    // was due or the tables are missing (the data module says so).
    bool EndCycle(TDM& dm, const ReaderStatus& status, const QDateTime& when, int cycle);

private:
    // The part of the state whose change is written at once (no times).
    static QStringList Signature(const ReaderStatus& status);

    std::chrono::milliseconds m_interval;
    QElapsedTimer m_sinceWrite;  // invalid: never written
    QStringList m_written;       // signature of the last write
    bool m_retry = false;        // the last due write did not happen
};
