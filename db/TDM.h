#pragma once
// The data module: the agent's one way into the shared access database.
//
// Ownership: one instance per process, created at start-up and reachable as
// DM() while it lives. It owns one Qt SQL connection per thread that uses it
// (a Qt connection may only be used by the thread that opened it). The
// user-interface thread's connection is named "LocalAgKelvor" (without a
// QCoreApplication: the first thread's), the others "LocalAgKelvor-<n>". Every
// connection goes to the alias "Kelvor" of RegistryFile::Process() (see
// TAlias), read at the first Open.
//
// Threads: any thread may call any method; each works on the calling thread's
// connection, opened on first use. The communication thread calls
// CloseThreadConnection when it ends (it is also closed when a QThread
// finishes, and all are closed when the module is destroyed).
//
// Failures: engine errors are EDatabaseError with the driver's text and the
// table concerned; a stored value of the wrong kind is EConvertError naming
// the table, the field and the value; the storing operations raise EIdError
// "No pudo obtenerse el id" when the id counter yields 0 (or has no row).
//
// Atomicity: each storing pass (StoreRegistrations, StoreVirtualRegistrations,
// StoreOutOfHours, StoreMemoryError) runs in one transaction together with its
// follow-up steps: all of it is stored or nothing, so the caller may simply
// repeat a failed pass. A pass draws its ids beforehand as one block in a
// short transaction of its own (the counter row is locked for that step
// only), so a failed pass leaves a gap in the ids; after a failed pass the
// next block starts past the ids used in REGISTRA and RegExp, so a counter
// set back behind them heals. GetNewId and ReturnKey are atomic on their own
// and join a transaction when called inside one.
//
// Settings: the station number ("Estacion"), the switch "IV" and the master
// keys are read from a TConfig (Config() unless SetConfig is called) when an
// operation needs them.

#include <QDateTime>
#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "db/TAlias.h"
#include "db/TStatementCache.h"
#include "link/TListaFichadas.h"
#include "link/TTR.h"
#include "shell/Clock.h"

class QThread;
class TCommandTable;
class TConfig;

class TDM {
public:
    explicit TDM(ClockFn clock = SystemClock());
    ~TDM();
    TDM(const TDM&) = delete;
    TDM& operator=(const TDM&) = delete;

    // ---- Connection --------------------------------------------------------
    // Opens the calling thread's connection (no-op when open). Throws
    // EDatabaseError: alias missing (naming the settings file and key), file
    // missing, server unreachable.
    void Open();
    void CloseThreadConnection();
    // Recovery step: when the calling thread's connection is broken (a failed
    // probe, a server that went away, a SQLite file that was replaced or
    // removed) it is closed and opened again. True when it was reopened (or
    // had not been opened), false when it was sound. Throws EDatabaseError
    // when it cannot be reopened; the next call tries again.
    // `probe` false: a PostgreSQL connection is not asked (no statement, no
    // transaction on the server); only what the client knows counts (closed,
    // or a failure seen). The caller then finds a server that went away by
    // its first statement failing, and calls again with a probe.
    bool ReconnectIfBroken(bool probe = true);
    // "Directorio", or the SQLite file's folder; empty for PostgreSQL without
    // "Directorio" (anti-passback is then off).
    QString DatabaseDirectory() const;
    // The folder, or "host:port/database" (after "Base de datos: ").
    QString StatusText() const;
    TSqlDriver Driver() const;

    // ---- Readers -----------------------------------------------------------
    struct ReaderRow {  // one row of QryRegistradores, nulls kept as nullopt
        std::optional<QString> Id, Puerto;
        std::optional<qint32> Velocidad;
        std::optional<bool> CtrlActivo, Virtual, Hta;
    };
    QList<ReaderRow> QueryReaders(qint32 estacion);  // in query order
    struct ReaderKind {                              // both nullopt without a row
        std::optional<bool> Hta, Virtual;
    };
    ReaderKind QueryReaderKind(const QString& idRegistrador);
    // Velocidad and Puerto of the reader; a null reads as 9600 and "COM1" (a
    // speed of 0 would hang up the line); without a row nothing changes.
    void LoadReader(TTR& reader);

    // ---- Commands ------------------------------------------------------------
    // The command table of the calling thread's connection (see TCommandTable),
    // whole or the part of it that one pass may use.
    std::unique_ptr<TCommandTable> OpenCommands();
    std::unique_ptr<TCommandTable> OpenCommands(qint32 estacion, qint64 rows, qint64 countUpTo);

    // ---- Ids and registrations --------------------------------------------
    // Hands out the counter's value and advances it by one, atomically (the
    // counter row stays locked until the transaction ends). 0 when the counter
    // has no row; EConvertError when it holds no number.
    qint32 GetNewId(const QString& tabla);
    // Hands out `n` consecutive ids (the first is returned) and advances the
    // counter by `n`, atomically. With `pastUsed` the block starts no lower
    // than one past the highest Id of REGISTRA and RegExp. A counter at 0
    // yields 0 and is advanced to 1, as GetNewId; 0 without a counter row.
    qint32 GetNewIds(const QString& tabla, qint32 n, bool pastUsed);
    void StoreRegistrations(const TTR& reader, const TListaFichadas& list);
    // Stores one reader pass exactly once. `records` are every raw record
    // the reader gave in this pass, in order (TRedVexan::LastRecords), and
    // list's SourceRecord indexes into them. When the reader's note
    // (AGPENDIENTE, written by the previous stored pass and removed by
    // ClearPending once the reader acknowledged the erase) equals the first
    // records of `records`, in order, those records were stored already and
    // only the entries decoded from later records are stored; otherwise
    // every entry is. In the same transaction the note becomes `records`.
    // Returns how many records were skipped. Without records (and no
    // entries) nothing is done. Without AGPENDIENTE (see PendingNoteOn)
    // every entry is stored and no note is kept. A note that cannot be read
    // is set aside (every entry is stored, the note replaced) and a note
    // that the records do not begin with is reported (Notices). `stored`,
    // when set, is called on the calling thread after each registration
    // written (a long store is progress to the caller); it must not throw.
    qsizetype StoreRegistrations(const TTR& reader, const TListaFichadas& list,
                                 const QList<QByteArray>& records,
                                 const std::function<void()>& stored = {});
    // Whether the calling thread's connection keeps the note: AGPENDIENTE is
    // created at every (re)connection where it is missing; where it cannot
    // be, registrations are stored without it, and Notices says so once per
    // data module.
    bool PendingNoteOn();
    // Texts for the operator (attention level) gathered since the last call:
    // the missing note, a note set aside or not matched. Any thread.
    QStringList TakeNotices();
    // Removes the reader's note; a reader without one is no error.
    void ClearPending(const QString& idRegistrador);
    // The reader's note (empty without one).
    QList<QByteArray> PendingRecords(const QString& idRegistrador);
    // Moves the REGSIM rows present when it starts into the registration
    // tables and deletes exactly those rows.
    void StoreVirtualRegistrations(const TTR& reader);
    void StoreOutOfHours(const TTR& reader);
    void StoreMemoryError(const TTR& reader);

    // ---- The station's state (AGESTACION, AGESTADO) ------------------------------
    // What the agent of a station says of itself and of its readers, for
    // whoever looks after every station (kelvordb estado). Both tables are
    // created where missing at every (re)connection, with AGPENDIENTE; where
    // they may not be, StateTablesOn is false, nothing is written and
    // Notices says so once per data module.
    struct AgentState {
        qint32 estacion = 0;
        QString equipo, version;  // host name, the agent's version text
        qint64 proceso = 0;       // process id
        int ciclo = 0;            // cycles done by the thread
        QDateTime finCiclo;       // end of the last cycle
        int respondieron = 0, conLinea = 0;
    };
    struct ReaderState {
        QString id;
        bool virtualReader = false, answered = false;
        QDateTime lastContact, lastResultAt;  // invalid: never (NULL)
        QString lastResult;
        std::optional<qint64> clockDiffMin;  // reader's clock minus the computer's
        qint64 stored = 0, delivered = 0, failed = 0;
    };
    bool StateTablesOn();
    // Writes the station's row and one row per reader in one transaction of
    // its own, and removes the station's rows of readers not listed. Without
    // the tables, or without an open connection on the calling thread (none
    // is opened for it), it does nothing and returns false. Throws
    // EDatabaseError.
    bool WriteStationState(const AgentState& agent, const QList<ReaderState>& readers);

    // ---- Keys, anti-passback, generated commands -----------------------------
    // Id of the key's holder and its Tipo; -1 and empty without a holder.
    qint32 FindKeyHolder(qint32 nroLlave, QString& tipo);
    void QueueAntiPassBack(qint32 nroLlave, const TTR& reader);
    void QueueClockSync(const TTR& reader);
    // Clears the holder's key, stamps the return in LLAVE and, with "IV" on,
    // queues "BAJA" for every reader the holder is enrolled on. A holder that
    // is gone, or holds no key, changes nothing and queues nothing; so does
    // one that no longer holds `returned` (the key presented at the door),
    // when given: the front end has assigned another key meanwhile. The
    // holder's row is locked from the read to the commit.
    void ReturnKey(qint32 idIngresante, std::optional<qint32> returned = std::nullopt);
    // QryUsuario: the last row's Administrador decides; no row: false.
    bool IsAdministrator(const QString& password);

    // ---- Texts of generated commands -------------------------------------------
    static QString KeyText(qint32 nroLlave);            // "%5.5d"
    static QString ClockSyncText(const QDateTime& at);  // "1yymmdd" + weekday (1 Sunday) + "hhmm"

    // ---- Settings and test seams -------------------------------------------
    void SetConfig(const TConfig* config);
    // The pause after each queued command (50 ms).
    void SetCommandPause(std::chrono::milliseconds pause);
    // SQLite busy time-out for connections opened afterwards (10 s).
    void SetBusyTimeout(int milliseconds);
    // Runs inside StoreVirtualRegistrations after the rows were copied and
    // before they are deleted (tests add rows "meanwhile" there).
    void SetAfterVirtualCopyHook(std::function<void()> hook);
    // Runs inside the exactly-once StoreRegistrations after the rows and the
    // note were written and before the commit (tests fail a pass there).
    void SetAfterPendingHook(std::function<void()> hook) { m_afterPendingHook = std::move(hook); }

private:
    friend class TCommandTable;
    struct QueuedCommand {
        qint32 estacion;
        QString idRegistrador, codComando, texto;
    };
    struct ThreadConnection {
        QString name;
        int transactionDepth = 0;
        QString file;                      // SQLite: the database file
        quint64 device = 0, inode = 0;     // SQLite: the file that was opened
        bool pendingTable = false;         // AGPENDIENTE exists (or was created) on this connection
        bool stateTables = false;          // AGESTACION and AGESTADO exist on this connection
        QDateTime lastStateStamp;          // AGESTADO.FechaHora of this connection's last write
        // Readers known to have no note: the agent alone writes its readers'
        // notes, so once one was found missing or removed outside a pass it
        // stays missing until a pass of that reader writes it. Spares an
        // idle reader's look-up every cycle.
        QSet<QString> noNote;
        qint32 nextId = 0, endId = 0;      // the running pass's block of ids [next, end)
        bool drawPastUsed = false;         // a pass failed: the next block skips used ids
        bool inPass = false;               // a storing pass runs (StorePass)
        // Commands generated inside a transaction, posted after its commit.
        QList<QueuedCommand> commands;
        std::optional<bool> antiPassBack;  // the marker as found at the pass's first look
        // Prepared statements of this connection; dropped (before the
        // connection is closed) with the entry.
        std::shared_ptr<TStatementCache> statements;
        QMetaObject::Connection finished;
    };

    TAlias Alias() const;
    ThreadConnection& Current();
    ThreadConnection* FindCurrent();
    QSqlDatabase Db();
    // The calling thread's prepared statement for `statement` (see
    // TStatementCache): for the statements run per registration or command.
    TStatementCache::Handle Statement(const QString& statement, const QString& subject);
    void Close(QThread* thread);
    bool IsBroken(ThreadConnection& c, bool probe = true);

    bool AntiPassBackOn();  // looked up once per storing pass
    bool IsMasterKey(qint32 nroLlave) const;
    qint32 Station() const;
    bool DisableOnExit() const;
    void InsertCommand(qint32 estacion, const QString& idRegistrador, const QString& codComando,
                       const QString& texto, const QDateTime& when);
    void Pause() const;
    // Appends a generated command to COMANDO and pauses. Inside a
    // transaction it is queued instead, and PostQueuedCommands appends it,
    // stamped then, once the outermost transaction has committed: the pause
    // is for the other users of COMANDO, and inside a transaction it would
    // only hold the transaction's locks.
    void PostCommand(qint32 estacion, const QString& idRegistrador, const QString& codComando,
                     const QString& texto);
    // Appends the queued commands in their order, each committed on its own
    // and followed by the pause. Outside a transaction only. One that cannot
    // be appended stays queued with those after it, for the next post (what
    // was committed before is never undone for it), and is reported in
    // Notices.
    void PostQueuedCommands();
    // Draws a block of `ids` ids, then runs one storing pass in a transaction.
    void StorePass(const QString& subject, qint32 ids, const std::function<void()>& pass);
    qint32 DrawId();   // the next id of the running pass's block
    qint32 IdsLeft();  // how many of the block are left
    void StoreEntry(const TTR& reader, const TFichada& f);
    void ReturnKeyIn(ThreadConnection& c, qint32 idIngresante, std::optional<qint32> returned);
    void EnsurePendingTable(ThreadConnection& c);
    void EnsureStateTables(ThreadConnection& c);
    void Notice(const QString& text);
    void StoreSynthetic(const TTR& reader, const QString& codEstado, bool ackRegistra,
                        bool ackRegExp);
    void EnterVisit(const QVariant& nroLlave, const QVariant& fechaHora, const QVariant& reader,
                    const QVariant& idIngresante);
    void ExitVisit(const QVariant& nroLlave, const QVariant& fechaHora, const QVariant& reader);

    ClockFn m_clock;
    const TConfig* m_config;
    std::chrono::milliseconds m_pause{50};
    int m_busyTimeoutMs = 10000;
    std::function<void()> m_afterVirtualCopy;
    std::function<void()> m_afterPendingHook;

    mutable QMutex m_mutex;  // guards m_alias and m_connections (the map, not the entries)
    mutable std::optional<TAlias> m_alias;
    std::map<QThread*, ThreadConnection> m_connections;
    // Queued commands of a thread whose connection was closed, taken up by
    // its next connection (guarded by m_mutex).
    std::map<QThread*, QList<QueuedCommand>> m_carried;
    mutable QStringList m_notices;     // guarded by m_mutex
    bool m_noPendingNoticed = false;   // guarded by m_mutex
    bool m_noStateNoticed = false;     // guarded by m_mutex
};

// The data module of the process; throws Exception when none exists.
TDM& DM();
