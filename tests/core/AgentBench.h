#pragma once
// A test bench for the communication thread with real parts: a simulated
// line of readers on a real pseudo-terminal, a real database (a SQLite file,
// or a fresh database on the throwaway PostgreSQL server), a real settings
// file and session log. The test's main thread plays the user-interface
// thread; RecordingView stands in for the window and records its rows.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QSqlDatabase>
#include <QVariant>
#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

#include "core/AgentServices.h"
#include "core/IAgentView.h"
#include "core/TComunicationThread.h"
#include "core/ThreadTiming.h"
#include "shell/TConfig.h"
#include "tests/support/TestSupport.h"

class SimulatedLine;
class SimulatedReader;
class TDM;
class ReaderStatus;
class TLogFile;
class TComunicationThread;

// Readable QString values in assertion messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

// One row of the list as the window would show it, oldest first.
struct ViewRow {
    QString registrador, mensaje;
    QDateTime when;
    QString estado;
    quint8 image = 5, state = 4;
};

class RecordingView : public IAgentView {
public:
    void AddLogRow(const QString& registrador, const QString& mensaje, const QDateTime& when,
                   const QString& estado, quint8 image, quint8 state) override;
    void UpdateLogRow(const QString& estado, quint8 state) override;
    bool AgentHidden() override;

    bool hidden = false;
    int cycleStarts = 0;
    std::vector<ViewRow> rows;
    // Run on the user-interface thread while the communication thread waits:
    // at the start of each cycle (1, 2, ...) and after each new row.
    std::function<void(int cycle)> onCycleStart;
    std::function<void(const ViewRow& row)> onRow;

    // Rows whose message is exactly `mensaje` (or starts with it).
    std::vector<ViewRow> With(const QString& mensaje) const;
    std::vector<ViewRow> Starting(const QString& prefix) const;
    int Count(const QString& mensaje) const { return int(With(mensaje).size()); }
};

// "Now" for the thread, the data module and the readers: the computer's clock
// moved by an offset that a test may change. Advance is time passing (both
// clocks move); SetWallClock is the host's clock set back or forward (the
// monotonic one does not move).
class TestClock {
public:
    QDateTime Now() const { return QDateTime::currentDateTime().addMSecs(m_offsetMs.load()); }
    void Advance(qint64 ms) {
        m_offsetMs += ms;
        m_monotonicOffsetMs += ms;
    }
    void SetWallClock(qint64 stepMs) { m_offsetMs += stepMs; }
    ClockFn Fn() const {
        return [this] { return Now(); };
    }
    MonotonicFn Monotonic() const {
        return [this] { return m_steady() + m_monotonicOffsetMs.load(); };
    }

private:
    std::atomic<qint64> m_offsetMs{0};
    std::atomic<qint64> m_monotonicOffsetMs{0};
    MonotonicFn m_steady = MonotonicClock();
};

enum class BenchDb { SQLite, PostgreSQL };

class AgentBench {
public:
    explicit AgentBench(BenchDb db = BenchDb::SQLite);
    ~AgentBench();

    // True when the database could be made; otherwise SkipReason() says why
    // (PostgreSQL not available).
    bool Ready() const { return m_skip.isEmpty(); }
    QString SkipReason() const { return m_skip; }

    // Settings of the agent (station 1, Espera 0, TimeOut 1, Retrys 2, thread
    // lines logged), changed freely before a run.
    TConfig config;
    RecordingView view;
    TestClock clock;
    ThreadTiming timing;  // short waits: 20 ms recovery, 5 ms cycle, 100 ms per TimeOut unit
    std::function<void()> beforeLinkBuilt;  // see AgentServices
    ReaderStatus* status = nullptr;         // see AgentServices

    ScratchDir dir;
    QString registry;
    QString database;  // the SQLite file (or the PostgreSQL database name)

    SimulatedLine& Line() { return *m_line; }
    SimulatedReader& Reader(QChar address);
    // The path of the station's line as the agent opens it (a link to the
    // pseudo-terminal, kept across Unplug/Plug).
    QString LinePath() const { return m_linePath; }
    TDM& Dm() { return *m_dm; }

    // Database set-up and inspection through a connection of the test's own.
    void Exec(const QString& sql, const QVariantList& values = {});
    QList<QVariantList> Rows(const QString& sql, const QVariantList& values = {});
    QVariant Value(const QString& sql, const QVariantList& values = {});
    // Reopens the test's own connections (after a database server restart).
    void ReopenSetup();
    // Closes the test's own connection to the database (the next set-up
    // statement opens it again), so that it holds no session there.
    void CloseSetup();
    // Points the test's own connections at another server of the same data
    // (a standby promoted in place of the primary) and reopens them.
    void PointSetupAt(int port);
    int Count(const QString& table, const QString& where = {});
    void AddStation(int id, const QString& puerto);
    void AddReader(const QString& id, int estacion, bool virt = false, bool hta = false,
                   bool ctrlActivo = false, int velocidad = 9600);
    void SetIdCounter(qint64 next);  // CODIGO "ID"/"FICHADAS"
    void RemoveIdCounter();
    void QueueCommand(int estacion, const QString& reader, const QString& code,
                      const QString& texto, const QDateTime& when = {});
    QList<QVariantList> Commands();  // IdEstacion, IdRegistrador, CodComando, Texto, FechaHora
    // REGISTRA rows: IdRegistrador, NroLlave, CodEstado, FechaHora, in Id order.
    QList<QVariantList> Registrations();
    // A date-time column as either engine returns it (text or timestamp).
    static QDateTime DateTime(const QVariant& value);

    // Runs a thread of `cycles` cycles to its end, serving its requests.
    void RunCycles(int cycles);
    // A thread created paused on these services (the caller runs it).
    std::unique_ptr<TComunicationThread> MakeThread(bool paused = true);
    AgentServices Services();

    // The session log's lines written so far (after the bench's log closed
    // or while it is open); CloseLog ends the session.
    QStringList LogLines() const;
    void CloseLog();
    // The "ComError" value of the settings file; nullopt when never written.
    std::optional<qint32> ComError() const;

private:
    void CreateDatabase(BenchDb db);
    QSqlDatabase Setup() const;

    QString m_skip;
    QString m_setupName;
    QString m_linePath;
    QString m_logFile;
    QString m_pgAdminName;
    std::unique_ptr<SimulatedLine> m_line;
    std::unique_ptr<TDM> m_dm;
    std::unique_ptr<TLogFile> m_log;
};

// Environment of the throwaway PostgreSQL server; empty host when absent.
struct PgServer {
    QString host, user;
    int port = 0;
    QString skip;  // why the PostgreSQL tests are skipped
    static PgServer FromEnvironment();
};
