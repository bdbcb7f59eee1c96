#pragma once
// The window agent's view of a station that the headless service serves.
//
// When the service holds the station lock, a window agent started with the
// desktop session must not start a second agent (the two would fight over the
// line) and has nothing to ask the operator: instead of an error box it shows
// the service's state, read-only, refreshed periodically:
//   - a line saying that the service serves the station (its process), or
//     that it is no longer running;
//   - the readers' status, the same text `agente --status` prints (the
//     station's newest status file, AgentPlaces::StatusReport);
//   - the last lines of the service's session log (found in the folder of
//     the service's --log-dir, read from its command line), or, when the
//     session log is off or not readable, of its journal (journalctl for its
//     process, when this user may read the journal).
// Nothing is written anywhere; the view never touches the line or the
// database.
//
// Waits: files are read in bounded pieces (the last 64 KiB of the log); the
// journal is asked asynchronously and its program killed after 3 s, so the
// event loop (and a SIGTERM) is never held up.
//
// Thread: user-interface thread only. Never throws.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>

#include "core/AgentPlaces.h"

class QLabel;
class QPlainTextEdit;
class QTimer;

class ServiceView : public QWidget {
    Q_OBJECT

public:
    struct Source {
        qint32 estacion = 1;
        QString holder;      // who holds the lock, as StationLock::Holder() says
        AgentPlaces places;  // where the status files are looked for
        // The service's session log folder; empty: taken from the holder's
        // command line (/proc/<pid>/cmdline), else the folder of its program.
        QString logFolder;
        // The journal's program; empty: the journal is not asked.
        QString journalctl = QStringLiteral("journalctl");
        int refreshMs = 10000;
        int lineCount = 20;
    };

    explicit ServiceView(Source source, QWidget* parent = nullptr);
    ~ServiceView() override;

    // Reads everything again (the timer calls it).
    void Refresh();

    QString Headline() const;
    QString StatusText() const;
    QString LinesText() const;

    // The process id in a holder text "proceso <pid> (...)"; 0 when none.
    static qint64 HolderPid(const QString& holder);
    // The session log folder of a running agent: its --log-dir, else the
    // folder of its program; empty when its command line cannot be read.
    static QString LogFolderOf(qint64 pid);
    // The last `count` lines of the newest session log ("AGK*") in `folder`;
    // empty when there is none or it cannot be read.
    static QStringList LastLogLines(const QString& folder, int count);

signals:
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void AskJournal(qint64 pid);

    Source m_source;
    qint64 m_pid = 0;
    QLabel* m_headline = nullptr;
    QPlainTextEdit* m_status = nullptr;
    QPlainTextEdit* m_lines = nullptr;
    QLabel* m_updated = nullptr;
    QTimer* m_timer = nullptr;
    std::unique_ptr<QProcess> m_journal;
};
