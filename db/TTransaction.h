#pragma once
// A database transaction for the duration of a scope.
//
// The outermost TTransaction on a connection begins the transaction (on SQLite
// with BEGIN IMMEDIATE, which takes the write lock at once); nested ones join
// it, so an operation that is atomic on its own (GetNewId) is part of the
// pass that calls it. Commit of the outermost one commits; leaving the scope
// without Commit (an exception) rolls everything back.
//
// A `batched` transaction on PostgreSQL begins and commits through the
// connection's TPgSession, so that the statements between them travel
// together (see there); an error of any of them fails the whole transaction,
// at the latest at Commit. Inside it only TSqlStatement may be used on the
// connection, never a QSqlQuery of its own (Qt's driver cannot run on a
// connection in pipeline mode). Without `batched` (the default) BEGIN and
// COMMIT go through Qt and every statement is answered when it runs.
//
// `depth` is the connection's nesting counter, owned by the caller and shared
// by every TTransaction on that connection. Thread: the connection's thread.

#include <QPointer>
#include <QSqlDatabase>
#include <QString>

#include "db/TPgSession.h"
#include "db/TSqlDialect.h"

class TTransaction {
public:
    // Throws EDatabaseError when the transaction cannot begin (for example a
    // SQLite database locked by another writer beyond the busy time-out).
    TTransaction(const QSqlDatabase& db, TSqlDriver driver, int& depth, const QString& subject,
                 bool batched = false);
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;

    void Commit();
    bool Outermost() const { return m_outermost; }

private:
    void Run(const QString& statement);

    QSqlDatabase m_db;
    QPointer<TPgSession> m_session;  // PostgreSQL, outermost only
    int& m_depth;
    QString m_subject;
    bool m_outermost;
    bool m_done = false;
};
