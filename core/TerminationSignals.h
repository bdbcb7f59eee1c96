#pragma once
// Turns SIGTERM and SIGINT into a Qt signal on the user-interface thread, so
// that a service manager's stop (or Ctrl+C) closes the agent the way an
// accepted close does instead of killing it mid-cycle.
//
// A signal handler may do almost nothing: it writes the signal number into a
// socket pair, and a QSocketNotifier on the other end emits Received() from
// the event loop.
//
// One instance per process, created and destroyed on the user-interface
// thread; destruction restores the previous handlers. Throws EOSError when
// the socket pair or the handlers cannot be set up.

#include <signal.h>
#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void Received(int signalNumber);

private:
    static void Handler(int signalNumber);
    void Drain();

    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_oldTerm {};
    struct sigaction m_oldInt {};
};
