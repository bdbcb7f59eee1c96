#pragma once
// The libpq side of one PostgreSQL connection that Qt's driver opened: the
// statements of the data module go through it (TPgStatement) in libpq's
// pipeline mode, while Qt keeps connecting, closing and its own queries.
//
// Inside a transaction begun here (Begin, called by TTransaction) nothing
// waits for the server until a result is needed: BEGIN, every statement that
// returns no rows and the preparation of a statement are only queued, and
// they travel together with the next statement whose rows are read, or with
// COMMIT. A pass of registrations then costs one round trip per row-returning
// statement instead of one per statement. Outside such a transaction every
// statement is sent and answered at once, in its own implicit transaction,
// as Qt's driver would run it.
//
// An error of a queued statement is reported at the next wait (the next
// statement whose rows are read, RowsAffected, Commit) with the failing
// statement's subject and the server's text in the shape of Qt's driver
// ("ERROR:  ...(SQLSTATE) QPSQL: Unable to create query"); the server fails
// the whole transaction with it, so nothing of the pass is stored.
//
// The session follows the connection: when Qt reopens it (another PGconn or
// another server process), everything queued and every statement prepared on
// the old one is forgotten (Generation changes) and statements prepare anew.
// Qt's driver keeps no transaction state of its own for BEGIN and COMMIT run
// as statements (TTransaction never used QSqlDatabase::transaction), so
// sending them through libpq on the same handle leaves Qt consistent; the
// pipeline is always left before Qt runs anything on the connection again
// (Commit, Abandon, every statement outside a transaction).
//
// Owner: the connection's QSqlDriver (the session is its child object, made
// by For on first use). Thread: the connection's. Waits are those of libpq's
// blocking connection, bounded by the server's time-outs and the connection's
// TCP keepalive settings set at connect (TAlias).

#include <QByteArray>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <deque>
#include <map>
#include <set>
#include <vector>

struct pg_conn;
struct pg_result;
typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

class TPgSession : public QObject {
public:
    // The session of an open connection of Qt's PostgreSQL driver; null for
    // any other connection.
    static TPgSession* For(const QSqlDatabase& db);

    // One queued request's place in the line of results.
    using Ticket = quint64;

    PGconn* Conn() const { return m_conn; }
    // Changes whenever the connection under the session was replaced.
    quint64 Generation() const { return m_generation; }
    // A statement name not used before on this connection.
    QByteArray NewName();

    // ---- Transactions (TTransaction) ----------------------------------------
    bool Batching() const { return m_batching; }
    // Queues BEGIN; until Commit or Abandon statements are queued.
    void Begin(const QString& subject);
    // Queues COMMIT and waits for everything queued. Throws EDatabaseError
    // (the first failing statement's, or "COMMIT falló"); the transaction is
    // then over on the server (rolled back), and the pipeline left.
    void Commit(const QString& subject);
    // Drops what is queued (its errors included) and leaves the pipeline; the
    // caller then rolls back. Never throws.
    void Abandon();

    // ---- Requests (TPgStatement) --------------------------------------------
    // Sends a preparation; its error is reported by the next wait.
    Ticket SendPrepare(const QByteArray& name, const QByteArray& sql, int params,
                       const QString& subject);
    // Sends a run of a prepared statement (`name` empty: `sql` parsed for
    // this run only). The arrays must live until the call returns.
    Ticket SendRun(const QByteArray& name, const QByteArray& sql, int params,
                   const char* const* values, const int* lengths, const int* formats,
                   const QString& subject);
    // Outside a transaction SendRun also marks a sync point, so the run is
    // answered (and committed) on its own.
    //
    // Waits for the result of `ticket` (and everything before it) and hands
    // it over (PQclear is the caller's); throws EDatabaseError for the first
    // error met on the way. Outside a transaction the pipeline is left
    // afterwards.
    PGresult* Take(Ticket ticket);
    // The rows a run changed, waiting for it when it is still queued.
    int Affected(Ticket ticket);
    // Whether `name` was prepared on this connection (or its preparation is
    // queued and has not failed).
    bool Prepared(const QByteArray& name) const { return m_prepared.count(name) > 0; }

    // The error text of `res` (or of the connection), in the shape of Qt's
    // driver.
    static QString ErrorText(PGconn* conn, const PGresult* res);

private:
    explicit TPgSession(QObject* driver);
    ~TPgSession() override;
    void Follow(PGconn* conn);
    void Forget();
    void Enter();
    struct Pending {
        Ticket ticket = 0;
        QString subject;
        QString step;          // "COMMIT", "BEGIN": said in front of the error
        QByteArray preparing;  // the statement name a preparation makes
        bool sync = false;     // a sync point, not a request
    };
    Ticket Queue(Pending p);
    void Sync();
    void FlushRequest();
    // Reads results in order until `ticket` is answered (0: until nothing is
    // left) and returns that one's result; notes the rows changed by the
    // others and the first error.
    PGresult* ReadUpTo(Ticket ticket);
    void Leave();
    void ThrowIfFailed();
    void NoteError(const Pending& p, const QString& text);

    PGconn* m_conn = nullptr;
    int m_pid = 0;
    quint64 m_generation = 0;
    quint64 m_names = 0;
    Ticket m_next = 1;
    bool m_batching = false;
    bool m_inPipeline = false;
    std::deque<Pending> m_pending;
    bool m_lost = false;                  // the connection went away inside a transaction
    std::set<QByteArray> m_prepared;
    std::map<Ticket, int> m_affected;     // rows changed by recent answered runs
    QString m_error;                      // the first error since the last check, as thrown
};
