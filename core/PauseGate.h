#pragma once
// The halt/continue of the communication thread. The thread passes the gate
// only at safe points (before each cycle and at each request to the
// user-interface thread), so a pause never takes hold inside a serial
// exchange or a database step. While the gate is closed, Pass() blocks.
//
// Thread safety: Close, Open and IsClosed are called on the user-interface
// thread, Pass on the communication thread; all are safe together.

#include <QMutex>
#include <QWaitCondition>

class PauseGate {
public:
    explicit PauseGate(bool closed = false) : m_closed(closed) {}

    void Close();
    // Lets a thread blocked in Pass() go on.
    void Open();
    bool IsClosed() const;
    // Returns at once while open; blocks until Open() while closed.
    void Pass();

private:
    mutable QMutex m_mutex;
    QWaitCondition m_opened;
    bool m_closed;
};
