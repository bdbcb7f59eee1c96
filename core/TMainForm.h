#pragma once
// The agent's main window: the list of what the agent does (newest row
// first), the clock, the station and the database in the status bar, Play and
// Pausa for the communication thread, the options, the about box and the
// close. It owns the session log and the communication thread, and restarts
// the thread when an exception escapes an event handler.
//
// Life (the window agent drives the steps between construction and the event
// loop, see WindowAgent):
//   constructor  exception handler, single-instance check, title, session
//                log, clock and columns, start-up row, thread created paused,
//                tray icon (Refused() is true when another agent runs: then
//                nothing after the check was done)
//   CreateDialogs  about box, options and password windows
//   ShowStatus     status panels of the station and the database (the
//                  station panel follows the options once they are confirmed)
//   StartThread    the thread is let run
//   close          password (with PSW), refused while paused, otherwise the
//                  notice while the thread ends its cycle; Closed() follows
//
// Rows: newest first; a row's tool tip holds its whole message and state; after each new row the
// list keeps at most "Filas" rows, read at that moment. When "Filas" was lowered the list shrinks
// by one row per new row (two bottom rows go for each new one) until it is within the limit again.
//   destructor     the session log is released (its end lines)
//
// Ownership: the window owns the thread, the log, the dialogs and the tray
// icon. The settings object and the data module belong to the caller and
// must outlive the window.
//
// Threads: every method runs on the user-interface thread; the communication
// thread reaches the IAgentView methods through its dispatch.

#include <QMainWindow>
#include <functional>
#include <memory>

#include "core/IAgentView.h"
#include "core/ThreadTiming.h"
#include "shell/Clock.h"
#include "shell/TFPsw.h"
#include "shell/TLogFile.h"

class QAction;
class QLabel;
class QTimer;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class SingleInstance;
class TAboutBox;
class TComunicationThread;
class TConfig;
class TDM;
class TDlgConfig;
class TWinTaskbar;
class ReaderStatus;

struct MainFormSetup {
    TConfig* config = nullptr;  // the shared settings (Filas, PSW, the thread's copies)
    TDM* dm = nullptr;          // the data module the thread uses
    QString logFolder;          // folder of the session log
    RetryQuestion askRetry;     // the log's retry question; empty: a Yes/No box
    ClockFn clock = SystemClock();
    ThreadTiming timing;
    int restMs = 10000;  // the rest of a restart, between the old and the new thread
    SingleInstance* instance = nullptr;  // null: no single-instance check
    int cycleLimit = 0;                  // >0: the agent closes after this many cycles
    QString screenshot;                  // a picture of the window is saved here after every cycle
    ReaderStatus* status = nullptr;      // each reader's state, kept across restarts of the thread
};

class TMainForm : public QMainWindow, public IAgentView {
    Q_OBJECT

public:
    static constexpr int kDesignWidth = 543;
    static constexpr int kDesignHeight = 381;
    // Item data of column 0: the row's small picture and state picture indexes.
    static constexpr int kImageRole = Qt::UserRole;
    static constexpr int kStateRole = Qt::UserRole + 1;

    explicit TMainForm(const MainFormSetup& setup, QWidget* parent = nullptr);
    ~TMainForm() override;

    bool Refused() const { return m_refused; }
    void CreateDialogs(TFPsw::PasswordCheck isAdministrator, const QString& versionText);
    void ShowStatus(const QString& databaseText);
    // A start-up step failed (the database could not be opened, the settings
    // file could not be read): a log line at the level (0 error, 1 attention)
    // and a row; the agent goes on.
    void ReportStartupError(const QString& message, int level = 0);
    void StartThread();

    // IAgentView
    void AddLogRow(const QString& registrador, const QString& mensaje, const QDateTime& when,
                   const QString& estado, quint8 image, quint8 state) override;
    void UpdateLogRow(const QString& estado, quint8 state) override;
    bool AgentHidden() override;

    void UpdateButtons();
    void ClockTimer();
    void PlayClick();
    void PausaClick();
    void ItemOpcionesClick();
    void ItemSalirClick();
    void ItemAcercadeClick();
    // The restart after an exception reached the event loop.
    void ApplicationException(const QString& message);
    // A close that nobody is there to confirm (a termination signal, the
    // cycle limit): no password and no pause warning; a paused thread is let
    // go on to its end.
    void CloseUnattended();

    TComunicationThread* Thread() const { return m_thread.get(); }
    TLogFile* Log() const { return m_log.get(); }
    TWinTaskbar* WinTaskbar() const { return m_winTaskbar; }
    QTreeWidget* LogList() const { return m_logList; }

signals:
    // The close was accepted and the thread has ended.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void SetupLogColumns();
    void ShowStation();  // status panel 1, from the settings
    static void SetRowTip(QTreeWidgetItem* item);
    void WriteLog(const QString& message, int level);
    bool PasswordAccepted();
    void CreateThread(bool paused);
    void CycleEnded(int cyclesDone);
    void SetBusy(bool busy);
    void ThreadFinished();

    MainFormSetup m_setup;
    TConfig& m_config;
    bool m_refused = false;
    bool m_closing = false;
    bool m_restarting = false;
    bool m_unattended = false;  // a close that nobody is there to confirm
    int m_cyclesBefore = 0;     // cycles of the threads replaced by restarts

    std::unique_ptr<TLogFile> m_log;
    std::unique_ptr<TComunicationThread> m_thread;

    QTreeWidget* m_logList = nullptr;
    QToolButton* m_play = nullptr;
    QToolButton* m_pausa = nullptr;
    QToolButton* m_exitBtn = nullptr;
    QAction* m_itemOpciones = nullptr;
    QAction* m_itemSalir = nullptr;
    QAction* m_itemAcercade = nullptr;
    QLabel* m_clockPanel = nullptr;
    QLabel* m_stationPanel = nullptr;
    QLabel* m_databasePanel = nullptr;
    QTimer* m_clock = nullptr;
    TWinTaskbar* m_winTaskbar = nullptr;
    TAboutBox* m_aboutBox = nullptr;
    TDlgConfig* m_dlgConfig = nullptr;
    TFPsw* m_fPsw = nullptr;
};
