#pragma once
// One run of the agent program of this build without a window:
//
//   agente --headless --registry SETTINGS --log-dir DIR --cycles N
//
// timed from just before the start to its exit, as a user would time it: the
// start-up, N cycles and the close are all in the figure. Its standard output
// and error go to files in DIR (a full pipe must never hold it up).
//
// Throws Exception when it cannot start, outlives the time-out (it is killed)
// or exits other than 0. One thread; several AgentProcess may run at once.

#include <QList>
#include <QProcess>
#include <QString>
#include <chrono>

class AgentProcess {
public:
    AgentProcess(QString settings, QString logDir, int cycles = 1);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    void Start();
    // Waits for the end; returns the seconds from Start to the exit.
    double Wait(int timeoutMs);
    // Waits for all of them in an event loop, so that each end is stamped
    // when it happens; then checks each as Wait does.
    static void WaitAll(const QList<AgentProcess*>& agents, int timeoutMs);
    // After the end: the seconds from Start to the exit.
    double Elapsed() const;
    std::chrono::steady_clock::time_point StartedAt() const { return m_start; }
    std::chrono::steady_clock::time_point EndedAt() const { return m_end; }
    const QString& LogDir() const { return m_logDir; }
    // While it runs: its process id (0 before the start and after the end).
    qint64 ProcessId() const { return m_process.processId(); }

private:
    void Check();

    QString m_settings;
    QString m_logDir;
    int m_cycles;
    QProcess m_process;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_end;
    bool m_finished = false;
};
