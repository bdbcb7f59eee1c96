#pragma once
// The agent's one worker thread. It runs cycles back to back: check whether
// the window is visible, read the log switch, copy the settings, collect the
// registrations of every reader of the station, send the queued commands,
// pause 100 ms. A failure that leaves a cycle is reported, the link is
// released, and after the recovery pause the link is rebuilt (and a broken
// database connection reopened) before the next cycle.
//
// Ownership: the thread owns its link (TRedKelvorII) and its registration
// list. The services (view, log, settings, data module) belong to the creator
// and must outlive the thread.
//
// Threads: construction, destruction and every public method run on the
// user-interface thread (the creator's). The cycle runs on the thread itself
// and reaches the view, the log and the settings only through UiDispatch,
// passing the pause gate at each such request and before each cycle. The
// thread opens its own database connection when it starts and closes it when
// it ends.
//
// After every cycle the readers' state goes to the status file and, when it
// changed or a minute passed, to the shared database (StationStatePublisher);
// both are auxiliary: a failure is told once and the cycles go on.
//
// Errors: nothing thrown in a cycle leaves the thread; per-reader and
// per-command failures are handled where they happen, the rest by the cycle's
// recovery.

#include <QDateTime>
#include <QSet>
#include <QThread>
#include <atomic>
#include <memory>

#include "core/AgentServices.h"
#include "core/PauseGate.h"
#include "core/ReaderStatus.h"
#include "core/StationStatePublisher.h"
#include "core/UiDispatch.h"
#include "link/TListaFichadas.h"
#include "link/TTR.h"

class TRedKelvorII;

class TComunicationThread : public QThread {
    Q_OBJECT

public:
    // Sets the priority from "Prioridad", creates the registration list and
    // the link, and stamps LastClockWarning (now) and LastErrorNotice (1
    // January 1999). Created paused, the thread body does not start before
    // Resume(); otherwise it starts at once.
    TComunicationThread(bool createPaused, const AgentServices& services);
    // Asks the thread to stop, lets a paused thread go on, and waits for the
    // end of the cycle in progress while serving the thread's requests; then
    // releases the link and the list.
    ~TComunicationThread() override;

    // Halts the thread at its next safe point.
    void Pause();
    // Lets a paused thread continue (or starts one created paused).
    void Resume();
    bool Paused() const;
    // The thread ends before its next cycle; a cycle in progress, including a
    // recovery pause, runs to its end.
    void RequestStop();
    // Waits until the thread has ended, serving its requests to the
    // user-interface thread meanwhile (a local event loop, never a bare
    // wait). A paused thread that was asked to stop is let go on first, and
    // a Resume() during the wait lets it go on too.
    void WaitForEnd();

    // After the given number of cycles (a failed cycle and its recovery count
    // as one) the thread asks itself to stop. 0: no limit. Call before the
    // thread runs.
    void SetCycleLimit(int cycles) { m_cycleLimit = cycles; }
    int CyclesDone() const { return m_cyclesDone.load(); }

    // "Prioridad" 0..6 (idle .. time-critical), clamped, as a Qt priority.
    static QThread::Priority PriorityFromSetting(qint32 prioridad);

signals:
    // Emitted by the thread after each cycle (queued to receivers on the
    // user-interface thread).
    void CycleEnded(int cyclesDone);
    // Also after each cycle: how many of the station's readers with a line
    // answered in it (the notification area's tip).
    void ReadersAnswered(int estacion, int answered, int readers);
    // Emitted by the thread as a cycle makes progress: each reader, each
    // registration record read, each command, each database step, each
    // reported step; at most once per kAliveIntervalMs (queued to receivers
    // on the user-interface thread). Nothing comes while a single step is
    // stuck, so a service watchdog fed from it still catches a hung agent
    // while a long read of many records keeps it fed.
    void Alive();

public:
    static constexpr int kAliveIntervalMs = 1000;

protected:
    void run() override;

private:
    // Cycle and recovery.
    void Cycle();
    void Recover(const QString& message);
    void CheckVisibility();
    void ReadLogSwitch();
    void LoadSettings();
    void CreateLink();
    TRedKelvorII& Link();
    void EnsureDatabase();
    // The data module's notices for the operator (TDM::TakeNotices): each an
    // attention line in the session log and a row.
    void ReportDatabaseNotices();

    // Registration collection.
    void CollectRegistrations();
    void ReadRegister(TTR& reader);
    void ReadRealRegister(const TTR& reader);
    void ErrorNotice(const TTR& reader);
    void RemovePendingNote(const TTR& reader);

    // Command processing.
    void ProcessCommands();
    bool DispatchCommand(const QString& idRegistrador, const QString& codComando,
                         const QString& texto);
    void SendCommand(const TTR& reader, bool hta, const QString& codComando, const QString& texto,
                     bool& known);

    // Reporting: a session log line (source "ComThread") and a list row.
    void WriteLog(const QString& text, int level);
    void PostRow(const QString& registrador, const QString& mensaje, const QDateTime& when,
                 const QString& estado, quint8 image, quint8 state);
    void ReportInfo(const QString& registrador, const QString& mensaje, const QDateTime& when,
                    const QString& estado, quint8 image, quint8 state);
    void ReportError(const QString& registrador, const QString& mensaje, const QDateTime& when,
                     const QString& estado, quint8 state);
    void ReportProgress(const QString& registrador, const QString& mensaje, const QDateTime& when,
                        const QString& estado);
    void SetRowState(const QString& estado, quint8 state);
    void ReportStateOk(const QString& estado, quint8 state);
    void ReportStateError(const QString& estado, quint8 state);
    void SetComError(bool failed);
    void ConnectRegister(const TTR& reader);
    void Wait(qint64 ms);
    // A step was made: Alive(), unless one went out less than
    // kAliveIntervalMs ago (monotonic clock).
    void Progressed();
    qint64 m_lastAliveMs = -1;
    QDateTime Now() const { return m_services.clock(); }

    AgentServices m_services;
    PauseGate m_gate;
    UiDispatch m_ui;
    bool m_started = false;
    QThread::Priority m_startPriority = QThread::NormalPriority;

    std::unique_ptr<TRedKelvorII> m_link;
    TListaFichadas m_fichadas;
    QString m_currentReader;
    // What the step in progress concerns ("registrador A1", "registrador A1,
    // comando 17 BAJA"), empty between steps: written after every line the
    // session log echoes to standard error, so that a service's journal names
    // the reader and the command also while the log file is off. The file's
    // lines stay as they are.
    QString m_subject;
    // Readers whose note of stored records could not be removed after their
    // erase was acknowledged; removed before anything else in their next pass.
    QSet<QString> m_staleNotes;

    // Copies of the settings, taken at the start of every cycle.
    qint32 m_prioridad = 3;
    qint32 m_estacion = 1;
    qint32 m_comandos = 10;
    qint32 m_logFileActivado = 0;
    qint32 m_espera = 3;
    bool m_actHora = false;

    bool m_visible = false;
    bool m_logOn = false;
    bool m_dbOpen = false;
    bool m_comErrorUnwritten = false;  // the failure to write "ComError" was told
    qint64 m_lastClockWarningMs = 0;   // on services.monotonic: the last clock warning
    QDateTime m_lastErrorNotice;

    ReaderStatus m_ownStatus;  // used when the services bring none
    ReaderStatus* m_status = &m_ownStatus;
    bool m_statusFileFailed = false;  // told once until it can be written again
    void EndStatusCycle(int cyclesDone);
    // The same state in the shared database, for every station at a glance.
    StationStatePublisher m_publisher;
    bool m_stateWriteFailed = false;  // told once until a write succeeds again
    void PublishState(const QDateTime& when, int cyclesDone);

    int m_cycleLimit = 0;
    std::atomic<int> m_cyclesDone{0};
};
