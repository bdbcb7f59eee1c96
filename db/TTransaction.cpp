#include "db/TTransaction.h"

#include <QSqlError>
#include <QSqlQuery>

#include "shell/Errors.h"

TTransaction::TTransaction(const QSqlDatabase& db, TSqlDriver driver, int& depth,
                           const QString& subject, bool batched)
    : m_db(db), m_depth(depth), m_subject(subject), m_outermost(depth == 0) {
    if (m_outermost) {
        m_session = batched && driver == TSqlDriver::PostgreSQL ? TPgSession::For(db) : nullptr;
        if (m_session)
            m_session->Begin(subject);
        else
            Run(TSqlDialect::BeginStatement(driver));
    }
    ++m_depth;
}

TTransaction::~TTransaction() {
    --m_depth;
    if (m_outermost && !m_done) {
        // Reached only while an exception leaves the scope; that exception is
        // what the caller reports, and a failed rollback ends with the
        // connection anyway. What is still queued goes first: Qt's driver
        // cannot run its statements on a connection in pipeline mode.
        if (m_session)
            m_session->Abandon();
        QSqlQuery q(m_db);
        q.exec(QStringLiteral("ROLLBACK"));
    }
}

void TTransaction::Commit() {
    if (!m_outermost || m_done)
        return;
    if (m_session)
        m_session->Commit(m_subject);
    else
        Run(QStringLiteral("COMMIT"));
    m_done = true;
}

void TTransaction::Run(const QString& statement) {
    QSqlQuery q(m_db);
    if (!q.exec(statement))
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): %2 falló: %3")
                                 .arg(m_subject, statement, q.lastError().text().trimmed()));
}
