#pragma once
// A simulador program of this build serving one simulated line, as a process
// of its own (the way a station's line is simulated in the multi-station
// benchmark and in the end-to-end runs). Started with a link path and reader
// options; Start returns once the link exists. No state file is asked for:
// rewriting it after every request would cost the simulator more than the
// line it simulates.
//
// Stop (also at destruction) ends it with SIGTERM and waits. Throws Exception
// when it cannot start or makes no link in time (with its standard error).
// One thread.

#include <QProcess>
#include <QString>
#include <QStringList>

class SimProcess {
public:
    SimProcess(QString link, QStringList readerOptions, QString errorFile);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    void Start();
    void Stop();
    const QString& Link() const { return m_link; }

private:
    QString m_link;
    QStringList m_options;
    QString m_errorFile;
    QProcess m_process;
};
