#pragma once
// The libpq side of one PostgreSQL connection that Qt's driver opened: the
// statements of the data module go through it (TPgStatement) in libpq's
// pipeline mode, while Qt keeps connecting, closing and its own queries.
//
// Inside a transaction begun here (Begin, called by a batched TTransaction)
// nothing is sent until a result is needed: BEGIN, every statement that
// returns no rows and the preparation of a statement are kept in order, and
// they go, in libpq's pipeline mode and one round trip, together with the
// next statement whose rows are read, or with COMMIT. A pass of
// registrations then costs one round trip per row-returning statement
// instead of one per statement. Outside such a transaction every statement
// is sent and answered at once, as Qt's driver would run it. The connection
// is never left in pipeline mode between two calls, so Qt's own queries on
// it always work (inside a batched transaction they would run before what
// is still kept, and before BEGIN: only TSqlStatement belongs there).
//
// An error of a kept statement is reported at the next wait (the next
// statement whose rows are read, RowsAffected, Commit) with the failing
// statement's subject and the server's text in the shape of Qt's driver
// ("ERROR:  ...(SQLSTATE) QPSQL: Unable to create query"); the server fails
// the whole transaction with it, so nothing of the pass is stored.
//
// The session follows the connection: when Qt reopens it (another PGconn or
// another server process), everything kept and every statement prepared on
// the old one is forgotten (Generation changes) and statements prepare anew.
// Qt's driver keeps no transaction state of its own for BEGIN and COMMIT run
// as statements (TTransaction never used QSqlDatabase::transaction), so
// sending them through libpq on the same handle leaves Qt consistent.
//
// Owner: the connection's QSqlDriver (the session is its child object, made
// by For on first use). Thread: the connection's. Waits are those of libpq's
// blocking connection, bounded by the server's time-outs and the connection's
// TCP keepalive settings set at connect (TAlias).

#include <QByteArray>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
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

    // A request's place in the line of answers.
    using Ticket = quint64;

    PGconn* Conn() const { return m_conn; }
    // Changes whenever the connection under the session was replaced.
    quint64 Generation() const { return m_generation; }
    // A statement name not used before on this connection.
    QByteArray NewName();

    // ---- Transactions (TTransaction) ----------------------------------------
    bool Batching() const { return m_batching; }
    // Keeps BEGIN; until Commit or Abandon statements without rows are kept.
    void Begin(const QString& subject);
    // Sends what is kept with COMMIT and waits. Throws EDatabaseError (the
    // first failing statement's, or "COMMIT falló"); the transaction has then
    // failed on the server, and the caller rolls back.
    void Commit(const QString& subject);
    // Drops what is kept (it was never sent) and any error noted; the caller
    // then rolls back. Never throws.
    void Abandon();

    // ---- Requests (TPgStatement) --------------------------------------------
    // A preparation; its error is reported by the next wait.
    void SendPrepare(const QByteArray& name, const QByteArray& sql, int params,
                     const QString& subject);
    // A run of a prepared statement (`name` empty: `sql` parsed for this run
    // only); a null entry of `values` is NULL, `binary` marks values in
    // binary form. A run refused because a table changed under the prepared
    // statement (SQLSTATE 0A000, "cached plan must not change result type")
    // forgets the name, so the statement is prepared again.
    Ticket SendRun(const QByteArray& name, const QByteArray& sql, std::vector<QByteArray> values,
                   std::vector<bool> nulls, std::vector<int> binary, const QString& subject);
    // Sends what is kept, waits for the result of `ticket` and hands it over
    // (PQclear is the caller's); throws EDatabaseError for the first error
    // met on the way.
    PGresult* Take(Ticket ticket);
    // The rows a run changed, sending what is kept when the run is among it.
    int Affected(Ticket ticket);
    // Whether `name` was prepared on this connection (or its preparation is
    // kept and has not failed).
    bool Prepared(const QByteArray& name) const { return m_prepared.count(name) > 0; }

    // The error text of `res` (or of the connection), in the shape of Qt's
    // driver.
    static QString ErrorText(PGconn* conn, const PGresult* res);

private:
    explicit TPgSession(QObject* driver);
    ~TPgSession() override;
    void Follow(PGconn* conn);
    void Forget();

    enum class Kind { Prepare, Run, Statement };
    struct Request {
        Kind kind = Kind::Run;
        Ticket ticket = 0;
        QByteArray name, sql;
        int params = 0;
        std::vector<QByteArray> values;
        std::vector<bool> nulls;
        std::vector<int> binary;
        QString subject;
        QString step;  // "COMMIT", "BEGIN": said in front of the error
    };
    Ticket Keep(Request r);
    // Sends every kept request and a sync point in pipeline mode, reads the
    // answers in order and leaves the pipeline. Returns the result of
    // `wanted` (null when it is not among them); notes the rows changed and
    // the first error.
    PGresult* Send(Ticket wanted);
    bool SendOne(const Request& r);
    void Answer(const Request& r, PGresult* res);
    void ThrowIfFailed();
    void NoteError(const Request& r, const QString& text);

    PGconn* m_conn = nullptr;
    int m_pid = 0;
    quint64 m_generation = 0;
    quint64 m_names = 0;
    Ticket m_next = 1;
    bool m_batching = false;
    bool m_lost = false;  // the connection was replaced inside a transaction
    std::vector<Request> m_kept;
    std::set<QByteArray> m_prepared;
    std::map<Ticket, int> m_affected;  // rows changed by recent answered runs
    QString m_error;                   // the first error since the last check, as thrown
};
