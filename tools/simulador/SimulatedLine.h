#pragma once
// A simulated serial line: a pseudo-terminal whose far (master) side is
// served by simulated readers, told apart by their address letters. The agent
// opens the near (slave) side, or a symbolic link to it, as it opens any port.
//
// The line parses request frames (STX 'R' address text ETX check) from what
// the agent writes; a frame with a good check for a known address goes to
// that reader, anything else gets no answer. ACK and NAK bytes between frames
// go to the reader last addressed. Answers are written back after the
// reader's delay, paced at the line's byte time when asked (the speed and
// framing the agent set on its side of the terminal).
//
// Echo (SetEcho): the line's converter hands back every byte the agent
// writes, as two-wire RS-485 converters that keep their receiver on do: paced
// at the line's byte time (a byte comes back as it goes out) and held back by
// the adapter's latency timer, ahead of any answer. Collisions (SetCollisions)
// damage the next request frames on the bus: the readers hear the damaged
// frame (its check fails, so none answers) and the echo carries it too.
//
// Unplug closes the terminal (the agent's reads then report a lost line) and
// removes the link; Plug makes a new terminal and points the link at it, so
// the agent reconnects by the same path.
//
// Threads: Start runs the line in a thread of its own until Stop (or
// destruction). Every public method may be called from any thread; readers
// lock themselves (see SimulatedReader), and WaitUntil lets a test wait for
// the line to have served what the agent sent. A state file, when set, is
// rewritten (atomically) as JSON after every change.

#include <QJsonObject>
#include <QList>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "shell/Clock.h"
#include "tools/simulador/SimulatedReader.h"

class SimulatedLine {
public:
    // clock: the computer's clock for the readers; seed: for their faults.
    explicit SimulatedLine(ClockFn clock = SystemClock(), quint32 seed = 1);
    ~SimulatedLine();
    SimulatedLine(const SimulatedLine&) = delete;
    SimulatedLine& operator=(const SimulatedLine&) = delete;

    // The reader at an address, created when new. References stay valid for
    // the line's life.
    SimulatedReader& AddReader(QChar address);
    SimulatedReader* Reader(QChar address) const;
    QList<QChar> Addresses() const;

    // Before Start.
    void SetLinkPath(const QString& path);  // a symbolic link kept pointing at the terminal
    void SetStateFile(const QString& path);
    // A FIFO (created when missing) whose lines are handed to handler on the
    // line's thread; the handler may call any method of the line.
    void SetControl(const QString& fifoPath, std::function<void(const QString& line)> handler);

    // Throws Exception when the terminal, link or FIFO cannot be made.
    void Start();
    void Stop();

    QString SlavePath() const;   // the terminal's own path (/dev/pts/N); empty when unplugged
    QString DevicePath() const;  // what the agent opens: the link when set, else the terminal
    bool Plugged() const;
    void Unplug();
    void Plug();  // throws Exception when a new terminal cannot be made

    // Echo of the agent's bytes: on or off, with the adapter's latency timer
    // in ms (0: each byte as it has gone out). Any time, any thread.
    void SetEcho(bool on, int latencyMs = 0);
    bool Echo() const;
    // The next n request frames the agent sends are damaged on the bus (the
    // check byte changed), each counted when its first byte arrives.
    void SetCollisions(qint64 n);
    // Bytes handed back so far, and frames damaged so far.
    qint64 EchoedBytes() const;
    qint64 Collided() const;

    // The speed the agent set on its side of the line (9600 until it does).
    qint32 LineBaud() const;
    // Waits until pred holds, re-checking after everything the line serves;
    // false when timeoutMs passed first.
    bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);
    QJsonObject Snapshot() const;
    void WriteStateFile() const;

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Pending {
        TimePoint due;
        char byte;
    };

    void Loop();
    void RunOnLoop(const std::function<void()>& task);
    void DoPlug();
    void DoUnplug();
    void OpenControl();
    void ServeInput(const char* bytes, qsizetype n);
    void Deliver(const QByteArray& frame);
    void Schedule(const SimAnswer& answer);
    void FlushDue();
    // False when no answer byte waits; else the time until the next is due.
    bool TimeToNextDue(timespec* wait) const;
    void ReadControl();
    std::chrono::microseconds ByteTime() const;
    void Changed();

    ClockFn m_clock;
    quint32 m_seed;

    mutable std::mutex m_mutex;  // readers map, fds, paths, tasks
    std::map<QChar, std::unique_ptr<SimulatedReader>> m_readers;
    QString m_linkPath;
    QString m_statePath;
    QString m_controlPath;
    std::function<void(const QString&)> m_controlHandler;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    std::deque<std::function<void()>> m_tasks;
    bool m_echo = false;
    int m_echoLatencyMs = 0;
    qint64 m_collisionsLeft = 0;
    qint64 m_echoedBytes = 0;
    qint64 m_collided = 0;

    // Touched by the line's thread only (or before Start / after Stop).
    int m_wake = -1;
    int m_control = -1;
    int m_controlKeepOpen = -1;
    bool m_createdFifo = false;
    QByteArray m_controlBuffer;
    QByteArray m_frame;
    bool m_inFrame = false;
    bool m_wantCheck = false;
    bool m_damaging = false;  // the frame being received is a collision
    SimulatedReader* m_current = nullptr;
    std::deque<Pending> m_output;

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_controlApplied{0};
    QString m_controlError;

    std::mutex m_eventMutex;
    std::condition_variable m_event;
    quint64 m_events = 0;
};
