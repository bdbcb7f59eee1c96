#include "db/TPgSession.h"

#include <libpq-fe.h>

#include <QSqlDriver>
#include <QVariant>

#include "shell/Errors.h"

namespace {

const char* const kObjectName = "kelvor-libpq-session";
// Runs answered are remembered for their changed rows this far back; a pass
// asks (if at all) right after the run.
constexpr size_t kAffectedKept = 4096;
// More kept requests than this are sent in between: the answers to one
// round trip must fit the sockets' buffers while the server waits to write
// them and the client is still sending.
constexpr size_t kMaxKept = 1000;

}  // namespace

TPgSession* TPgSession::For(const QSqlDatabase& db) {
    if (db.driverName() != QLatin1String("QPSQL") || !db.isOpen())
        return nullptr;
    QSqlDriver* driver = db.driver();
    if (!driver)
        return nullptr;
    const QVariant v = driver->handle();
    // Qt's driver hands the handle over as "pg_conn*" (the struct behind
    // libpq's PGconn typedef).
    if (!v.isValid() ||
        (qstrcmp(v.typeName(), "pg_conn*") != 0 && qstrcmp(v.typeName(), "PGconn*") != 0))
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
    // this server process, neither what was kept nor its prepared statements.
    Forget();
    m_error.clear();
    m_conn = conn;
    m_pid = pid;
    ++m_generation;
}

void TPgSession::Forget() {
    if (m_batching)
        m_lost = true;
    m_batching = false;
    m_kept.clear();
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
        message = QString::fromUtf8(PQerrorMessage(conn));
    QString text = message;
    if (!text.isEmpty() && !text.endsWith(u'\n'))
        text += u' ';
    text += QStringLiteral("QPSQL: Unable to create query");
    return text.trimmed();
}

TPgSession::Ticket TPgSession::Keep(Request r) {
    r.ticket = m_next++;
    const Ticket ticket = r.ticket;
    m_kept.push_back(std::move(r));
    if (m_batching && m_kept.size() > kMaxKept)
        PQclear(Send(0));
    return ticket;
}

void TPgSession::Begin(const QString& subject) {
    m_lost = false;
    m_error.clear();
    m_kept.clear();
    Request r;
    r.kind = Kind::Statement;
    r.sql = "BEGIN";
    r.subject = subject;
    r.step = QStringLiteral("BEGIN");
    Keep(std::move(r));
    m_batching = true;
}

void TPgSession::Commit(const QString& subject) {
    if (m_lost || !m_batching) {
        m_lost = false;
        throw EDatabaseError(
            QStringLiteral("Error de base de datos (%1): COMMIT falló: la conexión "
                           "se volvió a abrir durante la transacción")
                .arg(subject));
    }
    m_batching = false;
    Request r;
    r.kind = Kind::Statement;
    r.sql = "COMMIT";
    r.subject = subject;
    r.step = QStringLiteral("COMMIT");
    const Ticket commit = Keep(std::move(r));
    PGresult* res = Send(commit);
    // COMMIT of a transaction that failed answers "ROLLBACK", not an error:
    // the first error of the pass is what is reported then.
    const bool rolledBack = res && qstrcmp(PQcmdStatus(res), "ROLLBACK") == 0;
    PQclear(res);
    if (rolledBack && m_error.isEmpty())
        m_error = QStringLiteral(
                      "Error de base de datos (%1): COMMIT falló: la transacción fue "
                      "deshecha")
                      .arg(subject);
    ThrowIfFailed();
}

void TPgSession::Abandon() {
    m_batching = false;
    m_kept.clear();
    m_error.clear();
}

void TPgSession::SendPrepare(const QByteArray& name, const QByteArray& sql, int params,
                             const QString& subject) {
    Request r;
    r.kind = Kind::Prepare;
    r.name = name;
    r.sql = sql;
    r.params = params;
    r.subject = subject;
    m_prepared.insert(name);
    Keep(std::move(r));
}

TPgSession::Ticket TPgSession::SendRun(const QByteArray& name, const QByteArray& sql,
                                       std::vector<QByteArray> values, std::vector<bool> nulls,
                                       std::vector<int> binary, const QString& subject) {
    Request r;
    r.kind = Kind::Run;
    r.name = name;
    r.sql = sql;
    r.params = int(values.size());
    r.values = std::move(values);
    r.nulls = std::move(nulls);
    r.binary = std::move(binary);
    r.subject = subject;
    return Keep(std::move(r));
}

PGresult* TPgSession::Take(Ticket ticket) {
    PGresult* res = Send(ticket);
    if (!m_error.isEmpty()) {
        PQclear(res);
        ThrowIfFailed();
    }
    return res;
}

int TPgSession::Affected(Ticket ticket) {
    for (const Request& r : m_kept) {
        if (r.ticket == ticket) {
            PQclear(Send(0));
            break;
        }
    }
    ThrowIfFailed();
    const auto it = m_affected.find(ticket);
    return it == m_affected.end() ? 0 : it->second;
}

bool TPgSession::SendOne(const Request& r) {
    switch (r.kind) {
        case Kind::Prepare:
            return PQsendPrepare(m_conn, r.name.constData(), r.sql.constData(), r.params,
                                 nullptr) == 1;
        case Kind::Statement:
            return PQsendQueryParams(m_conn, r.sql.constData(), 0, nullptr, nullptr, nullptr,
                                     nullptr, 0) == 1;
        case Kind::Run:
            break;
    }
    std::vector<const char*> values(r.values.size());
    std::vector<int> lengths(r.values.size());
    for (size_t i = 0; i < r.values.size(); ++i) {
        values[i] = r.nulls[i] ? nullptr : r.values[i].constData();
        lengths[i] = int(r.values[i].size());
    }
    if (r.name.isEmpty())
        return PQsendQueryParams(m_conn, r.sql.constData(), r.params, nullptr, values.data(),
                                 lengths.data(), r.binary.data(), 0) == 1;
    return PQsendQueryPrepared(m_conn, r.name.constData(), r.params, values.data(), lengths.data(),
                               r.binary.data(), 0) == 1;
}

PGresult* TPgSession::Send(Ticket wanted) {
    std::vector<Request> requests;
    requests.swap(m_kept);
    if (requests.empty())
        return nullptr;
    if (PQpipelineStatus(m_conn) == PQ_PIPELINE_OFF && PQenterPipelineMode(m_conn) != 1) {
        NoteError(requests.front(), ErrorText(m_conn, nullptr));
        return nullptr;
    }
    size_t sent = 0;
    for (; sent < requests.size(); ++sent) {
        if (!SendOne(requests[sent])) {
            NoteError(requests[sent], ErrorText(m_conn, nullptr));
            break;
        }
    }
    PGresult* result = nullptr;
    bool broken = PQpipelineSync(m_conn) != 1;
    // Every request's answer is one result and then null; after them the
    // sync point's own result.
    for (size_t i = 0; i < sent && !broken; ++i) {
        PGresult* last = nullptr;
        while (PGresult* res = PQgetResult(m_conn)) {
            PQclear(last);
            last = res;
        }
        if (!last) {
            NoteError(requests[i], ErrorText(m_conn, nullptr));
            broken = true;
            break;
        }
        Answer(requests[i], last);
        if (requests[i].ticket == wanted)
            result = last;
        else
            PQclear(last);
    }
    if (!broken) {
        PGresult* sync = PQgetResult(m_conn);
        broken = !sync || PQresultStatus(sync) != PGRES_PIPELINE_SYNC;
        PQclear(sync);
    }
    // Qt's driver runs its statements with calls libpq refuses in pipeline
    // mode: the connection leaves it after every round trip.
    if (broken || PQexitPipelineMode(m_conn) != 1) {
        if (m_error.isEmpty())
            NoteError(requests.front(), ErrorText(m_conn, nullptr));
        // Nothing more can be read in order on it; the cycle's recovery step
        // reopens it.
        Forget();
    }
    return result;
}

void TPgSession::Answer(const Request& r, PGresult* res) {
    switch (PQresultStatus(res)) {
        case PGRES_COMMAND_OK:
        case PGRES_TUPLES_OK:
        case PGRES_EMPTY_QUERY:
            if (r.kind == Kind::Run) {
                m_affected[r.ticket] = atoi(PQcmdTuples(res));
                if (m_affected.size() > kAffectedKept)
                    m_affected.erase(m_affected.begin());
            }
            return;
        case PGRES_PIPELINE_ABORTED:
            NoteError(r, QStringLiteral("no se ejecutó por un error anterior de la transacción "
                                        "QPSQL: Unable to create query"));
            return;
        default: {
            const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            if (r.kind == Kind::Run && !r.name.isEmpty() && state && qstrcmp(state, "0A000") == 0)
                m_prepared.erase(r.name);
            NoteError(r, ErrorText(m_conn, res));
            return;
        }
    }
}

void TPgSession::NoteError(const Request& r, const QString& text) {
    if (r.kind == Kind::Prepare)
        m_prepared.erase(r.name);
    if (!m_error.isEmpty())
        return;
    const QString step = r.step.isEmpty() ? QString() : r.step + QStringLiteral(" falló: ");
    m_error = QStringLiteral("Error de base de datos (%1): %2%3").arg(r.subject, step, text);
}

void TPgSession::ThrowIfFailed() {
    if (m_error.isEmpty())
        return;
    const QString error = m_error;
    m_error.clear();
    throw EDatabaseError(error);
}
