#include "db/TPgSession.h"

#include <libpq-fe.h>

#include <QSqlDriver>
#include <QVariant>

#include "shell/Errors.h"

namespace {

const char* const kObjectName = "kelvor-libpq-session";
// Runs answered but not asked about are remembered for their changed rows
// this far back; a pass asks (if at all) right after the run.
constexpr size_t kAffectedKept = 4096;
// More queued runs than this are read in between, so that neither side's
// socket buffer fills while the other waits to write.
constexpr size_t kMaxQueued = 1000;

QString Text(const char* s) {
    return QString::fromUtf8(s ? s : "").trimmed();
}

}  // namespace

TPgSession* TPgSession::For(const QSqlDatabase& db) {
    if (db.driverName() != QLatin1String("QPSQL") || !db.isOpen())
        return nullptr;
    QSqlDriver* driver = db.driver();
    if (!driver)
        return nullptr;
    const QVariant v = driver->handle();
    if (!v.isValid() || qstrcmp(v.typeName(), "PGconn*") != 0)
        return nullptr;
    PGconn* conn = *static_cast<PGconn* const*>(v.constData());
    if (!conn)
        return nullptr;
    auto* session = static_cast<TPgSession*>(
        driver->findChild<QObject*>(QLatin1String(kObjectName), Qt::FindDirectChildrenOnly));
    if (!session)
        session = new TPgSession(driver);
    session->Follow(conn);
    return session;
}

TPgSession::TPgSession(QObject* driver) : QObject(driver) {
    setObjectName(QLatin1String(kObjectName));
}

TPgSession::~TPgSession() = default;

void TPgSession::Follow(PGconn* conn) {
    const int pid = PQbackendPID(conn);
    if (conn == m_conn && pid == m_pid)
        return;
    // Another connection (Qt reopened it): nothing of the old one exists on
    // this server process, neither its queue nor its prepared statements.
    Forget();
    m_error.clear();
    m_conn = conn;
    m_pid = pid;
    ++m_generation;
}

void TPgSession::Forget() {
    if (m_batching)
        m_lost = true;
    m_batching = m_inPipeline = false;
    m_pending.clear();
    m_prepared.clear();
    m_affected.clear();
}

QByteArray TPgSession::NewName() {
    return "kelvor_" + QByteArray::number(++m_names);
}

QString TPgSession::ErrorText(PGconn* conn, const PGresult* res) {
    // What Qt's driver reports: the server's message with the SQLSTATE in
    // parentheses, then the driver's own words.
    QString message = QString::fromUtf8(res ? PQresultErrorMessage(res) : PQerrorMessage(conn));
    if (res) {
        const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        if (state)
            message += QStringLiteral("(%1)").arg(QLatin1String(state));
    }
    if (message.trimmed().isEmpty())
        message = Text(PQerrorMessage(conn));
    QString text = message;
    if (!text.isEmpty() && !text.endsWith(u'\n'))
        text += u' ';
    text += QStringLiteral("QPSQL: Unable to create query");
    return text.trimmed();
}

void TPgSession::Enter() {
    if (m_inPipeline)
        return;
    if (PQpipelineStatus(m_conn) == PQ_PIPELINE_OFF && PQenterPipelineMode(m_conn) != 1)
        throw EDatabaseError(QStringLiteral("Error de base de datos: la conexión no admite el "
                                            "envío en serie: %1")
                                 .arg(Text(PQerrorMessage(m_conn))));
    m_inPipeline = true;
}

TPgSession::Ticket TPgSession::Queue(Pending p) {
    p.ticket = m_next++;
    m_pending.push_back(std::move(p));
    return m_pending.back().ticket;
}

void TPgSession::Sync() {
    if (PQpipelineSync(m_conn) != 1)
        throw EDatabaseError(QStringLiteral("Error de base de datos: %1")
                                 .arg(ErrorText(m_conn, nullptr)));
    Pending p;
    p.sync = true;
    Queue(std::move(p));
}

void TPgSession::FlushRequest() {
    // The server holds its answers until a sync or a flush request; the
    // client's own buffer is sent with PQflush (a blocking connection waits
    // until it is written).
    if (PQsendFlushRequest(m_conn) != 1 || PQflush(m_conn) != 0)
        throw EDatabaseError(QStringLiteral("Error de base de datos: %1")
                                 .arg(ErrorText(m_conn, nullptr)));
}

void TPgSession::Begin(const QString& subject) {
    m_lost = false;
    m_error.clear();
    Enter();
    if (PQsendQueryParams(m_conn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) != 1)
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): BEGIN falló: %2")
                                 .arg(subject, ErrorText(m_conn, nullptr)));
    Pending p;
    p.subject = subject;
    p.step = QStringLiteral("BEGIN");
    Queue(std::move(p));
    m_batching = true;
}

void TPgSession::Commit(const QString& subject) {
    if (m_lost || !m_batching) {
        m_lost = false;
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): COMMIT falló: la conexión "
                                            "se volvió a abrir durante la transacción")
                                 .arg(subject));
    }
    m_batching = false;
    try {
        Ticket commit = 0;
        if (PQsendQueryParams(m_conn, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1) {
            Pending p;
            p.subject = subject;
            p.step = QStringLiteral("COMMIT");
            commit = Queue(std::move(p));
        } else {
            NoteError({0, subject, QStringLiteral("COMMIT"), {}, false},
                      ErrorText(m_conn, nullptr));
        }
        Sync();
        PGresult* res = commit ? ReadUpTo(commit) : nullptr;
        // COMMIT of a transaction that failed answers "ROLLBACK", not an
        // error: the first error of the pass is what is reported then.
        const bool rolledBack = res && qstrcmp(PQcmdStatus(res), "ROLLBACK") == 0;
        PQclear(res);
        ReadUpTo(0);
        Leave();
        if (rolledBack && m_error.isEmpty())
            m_error = QStringLiteral("Error de base de datos (%1): COMMIT falló: la transacción "
                                     "fue deshecha")
                          .arg(subject);
    } catch (...) {
        Abandon();
        throw;
    }
    ThrowIfFailed();
}

void TPgSession::Abandon() {
    m_batching = false;
    try {
        if (m_inPipeline && PQstatus(m_conn) == CONNECTION_OK) {
            Sync();
            ReadUpTo(0);
        }
    } catch (...) {
        // The caller rolls back, and a connection that fails here is
        // reopened by the cycle's recovery step.
    }
    m_pending.clear();
    Leave();
    m_error.clear();
}

TPgSession::Ticket TPgSession::SendPrepare(const QByteArray& name, const QByteArray& sql,
                                           int params, const QString& subject) {
    Enter();
    if (PQsendPrepare(m_conn, name.constData(), sql.constData(), params, nullptr) != 1)
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): %2")
                                 .arg(subject, ErrorText(m_conn, nullptr)));
    Pending p;
    p.subject = subject;
    p.preparing = name;
    m_prepared.insert(name);
    return Queue(std::move(p));
}

TPgSession::Ticket TPgSession::SendRun(const QByteArray& name, const QByteArray& sql, int params,
                                       const char* const* values, const int* lengths,
                                       const int* formats, const QString& subject) {
    Enter();
    if (m_pending.size() > kMaxQueued) {
        FlushRequest();
        PQclear(ReadUpTo(m_pending.back().ticket));
    }
    const int sent = name.isEmpty()
                         ? PQsendQueryParams(m_conn, sql.constData(), params, nullptr, values,
                                             lengths, formats, 0)
                         : PQsendQueryPrepared(m_conn, name.constData(), params, values, lengths,
                                               formats, 0);
    if (sent != 1)
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): %2")
                                 .arg(subject, ErrorText(m_conn, nullptr)));
    Pending p;
    p.subject = subject;
    const Ticket ticket = Queue(std::move(p));
    if (!m_batching)
        Sync();
    return ticket;
}

PGresult* TPgSession::Take(Ticket ticket) {
    PGresult* res = nullptr;
    try {
        if (m_batching)
            FlushRequest();
        res = ReadUpTo(ticket);
        if (!m_batching) {
            ReadUpTo(0);
            Leave();
        }
        ThrowIfFailed();
    } catch (...) {
        PQclear(res);
        if (!m_batching)
            Abandon();
        throw;
    }
    return res;
}

int TPgSession::Affected(Ticket ticket) {
    for (const Pending& p : m_pending) {
        if (p.ticket == ticket) {
            PQclear(Take(ticket));
            break;
        }
    }
    ThrowIfFailed();
    const auto it = m_affected.find(ticket);
    return it == m_affected.end() ? 0 : it->second;
}

void TPgSession::NoteError(const Pending& p, const QString& text) {
    if (!p.preparing.isEmpty())
        m_prepared.erase(p.preparing);
    if (!m_error.isEmpty())
        return;
    const QString step = p.step.isEmpty() ? QString() : p.step + QStringLiteral(" falló: ");
    m_error = p.subject.isEmpty()
                  ? QStringLiteral("Error de base de datos: %1%2").arg(step, text)
                  : QStringLiteral("Error de base de datos (%1): %2%3").arg(p.subject, step, text);
}

PGresult* TPgSession::ReadUpTo(Ticket ticket) {
    PGresult* wanted = nullptr;
    while (!m_pending.empty()) {
        const Pending p = m_pending.front();
        if (p.sync) {
            PGresult* res = PQgetResult(m_conn);
            const bool ok = res && PQresultStatus(res) == PGRES_PIPELINE_SYNC;
            PQclear(res);
            m_pending.pop_front();
            if (!ok) {
                NoteError(p, ErrorText(m_conn, nullptr));
                Forget();
                break;
            }
            continue;
        }
        // A request's answer is one result, then null.
        PGresult* last = nullptr;
        while (PGresult* res = PQgetResult(m_conn)) {
            PQclear(last);
            last = res;
        }
        m_pending.pop_front();
        if (!last) {
            // No answer at all: the connection is gone.
            NoteError(p, ErrorText(m_conn, nullptr));
            Forget();
            break;
        }
        switch (PQresultStatus(last)) {
            case PGRES_COMMAND_OK:
            case PGRES_TUPLES_OK:
            case PGRES_EMPTY_QUERY:
                if (p.preparing.isEmpty()) {
                    m_affected[p.ticket] = atoi(PQcmdTuples(last));
                    if (m_affected.size() > kAffectedKept)
                        m_affected.erase(m_affected.begin());
                }
                break;
            case PGRES_PIPELINE_ABORTED:
                NoteError(p, QStringLiteral("la transacción fue interrumpida por un error "
                                            "anterior QPSQL: Unable to create query"));
                break;
            default:
                NoteError(p, ErrorText(m_conn, last));
                break;
        }
        if (p.ticket == ticket) {
            wanted = last;
            break;
        }
        PQclear(last);
    }
    return wanted;
}

void TPgSession::Leave() {
    if (!m_inPipeline)
        return;
    m_inPipeline = false;
    // Qt's driver runs its own statements with the synchronous calls, which
    // libpq refuses in pipeline mode.
    if (m_conn && PQpipelineStatus(m_conn) != PQ_PIPELINE_OFF)
        PQexitPipelineMode(m_conn);
}

void TPgSession::ThrowIfFailed() {
    if (m_error.isEmpty())
        return;
    const QString error = m_error;
    m_error.clear();
    throw EDatabaseError(error);
}
