#include "db/TPgStatement.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include <QRegularExpression>

#include "db/TSqlStatement.h"
#include "shell/Errors.h"

namespace {

// Type identities of the server's built-in types (pg_type.oid), stable
// across versions.
enum : Oid {
    kBool = 16,
    kBytea = 17,
    kInt8 = 20,
    kInt2 = 21,
    kInt4 = 23,
    kFloat4 = 700,
    kFloat8 = 701,
    kDate = 1082,
    kTime = 1083,
    kTimestamp = 1114,
    kTimestampTz = 1184,
    kNumeric = 1700,
};

// The statement's text with $1, $2, ... where the dialect put its '?'.
QByteArray Numbered(const TAdaptedSql& sql) {
    QString text = sql.text;
    for (qsizetype i = sql.offsets.size() - 1; i >= 0; --i)
        text.replace(sql.offsets[i], 1, QStringLiteral("$%1").arg(i + 1));
    return text.toUtf8();
}

// Whether the statement may answer rows: anything but a plain INSERT, UPDATE
// or DELETE (without RETURNING) is waited for at once.
bool ReturnsRows(const QString& text) {
    const QString t = text.trimmed();
    const QString first = t.section(QRegularExpression(QStringLiteral("\\s")), 0, 0).toUpper();
    if (first != QLatin1String("INSERT") && first != QLatin1String("UPDATE") &&
        first != QLatin1String("DELETE"))
        return true;
    return t.contains(QLatin1String("RETURNING"), Qt::CaseInsensitive);
}

QVariant Timestamp(const char* text, int length) {
    QString s = QString::fromLatin1(text, length);
    // "+01" as the server writes an offset; Qt reads "+01:00".
    if (s.size() > 3 && (s[s.size() - 3] == u'+' || s[s.size() - 3] == u'-'))
        s += QStringLiteral(":00");
    try {
        return QVariant(*TSqlStatement::ToDateTime(QVariant(s), QString()));
    } catch (const Exception&) {
        return QVariant(s);  // read as its text ("infinity")
    }
}

// The kind of value Qt's driver gives for a column type (a NULL is a null
// value of that kind there).
QMetaType::Type KindOf(Oid type) {
    switch (type) {
        case kBool:
            return QMetaType::Bool;
        case kInt2:
        case kInt4:
            return QMetaType::Int;
        case kInt8:
            return QMetaType::LongLong;
        case kFloat4:
        case kFloat8:
        case kNumeric:
            return QMetaType::Double;
        case kDate:
            return QMetaType::QDate;
        case kTime:
            return QMetaType::QTime;
        case kTimestamp:
        case kTimestampTz:
            return QMetaType::QDateTime;
        case kBytea:
            return QMetaType::QByteArray;
        default:
            return QMetaType::QString;
    }
}

}  // namespace

TPgStatement::TPgStatement(const QSqlDatabase& db, const TAdaptedSql& sql, const QString& subject,
                           bool kept)
    : m_db(db),
      m_subject(subject),
      m_sql(Numbered(sql)),
      m_kept(kept),
      m_returnsRows(ReturnsRows(sql.text)) {
    const size_t n = size_t(sql.parameters.size());
    m_values.resize(n);
    m_null.assign(n, true);
    m_formats.assign(n, 0);
}

TPgStatement::~TPgStatement() {
    PQclear(m_result);
}

void TPgStatement::Bind(int index, const QString& name, const QVariant& value) {
    const size_t i = size_t(index);
    m_formats[i] = 0;
    m_null[i] = value.isNull();
    if (m_null[i])
        return;
    QByteArray& out = m_values[i];
    switch (value.typeId()) {
        case QMetaType::Bool:
            out = value.toBool() ? QByteArrayLiteral("true") : QByteArrayLiteral("false");
            break;
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::LongLong:
            out = QByteArray::number(value.toLongLong());
            break;
        case QMetaType::UShort:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
            out = QByteArray::number(value.toULongLong());
            break;
        case QMetaType::Double:
            out = QByteArray::number(value.toDouble(), 'g', 17);
            break;
        case QMetaType::QByteArray:
            out = value.toByteArray();
            m_formats[i] = 1;  // binary: any byte, as it is
            break;
        case QMetaType::QDate:
            out = value.toDate().toString(Qt::ISODate).toLatin1();
            break;
        case QMetaType::QTime:
            out = value.toTime().toString(Qt::ISODateWithMs).toLatin1();
            break;
        default:
            out = value.typeId() == QMetaType::QString
                      ? static_cast<const QString*>(value.constData())->toUtf8()
                      : value.toString().toUtf8();
            // A text travels NUL-terminated; a NUL inside it would end it
            // there and store less than was given.
            if (out.contains('\0'))
                throw EDatabaseError(
                    QStringLiteral("Error de base de datos (%1): el valor del parámetro \"%2\" "
                                   "contiene un carácter nulo, que un texto de PostgreSQL no "
                                   "admite")
                        .arg(m_subject, name));
            break;
    }
}

void TPgStatement::Exec() {
    Reset();
    TPgSession* session = TPgSession::For(m_db);
    if (!session)
        throw EDatabaseError(
            QStringLiteral("Error de base de datos (%1): la conexión no está abierta")
                .arg(m_subject));
    const int n = int(m_values.size());
    // Outside a transaction a run refused for a table changed under its
    // prepared form is run once more, prepared anew; inside one the
    // transaction has failed with it, and the next pass prepares anew.
    for (int attempt = 0;; ++attempt) {
        TPgSession::Ticket ticket;
        if (m_kept) {
            if (m_name.isEmpty() || m_generation != session->Generation() ||
                !session->Prepared(m_name)) {
                m_name = session->NewName();
                m_generation = session->Generation();
                session->SendPrepare(m_name, m_sql, n, m_subject);
            }
            ticket = session->SendRun(m_name, {}, m_values, m_null, m_formats, m_subject);
        } else {
            ticket = session->SendRun({}, m_sql, m_values, m_null, m_formats, m_subject);
        }
        if (!m_returnsRows && session->Batching()) {
            m_queued = ticket;
            m_session = session;
            return;
        }
        const bool batching = session->Batching();
        try {
            m_result = session->Take(ticket);
        } catch (const EDatabaseError&) {
            if (!m_kept || batching || attempt > 0 || session->Prepared(m_name))
                throw;
            continue;
        }
        m_affected = m_result ? std::atoi(PQcmdTuples(m_result)) : 0;
        return;
    }
}

bool TPgStatement::Next() {
    if (!m_result)
        return false;
    if (m_row + 1 >= PQntuples(m_result))
        return false;
    ++m_row;
    return true;
}

void TPgStatement::Reset() {
    PQclear(m_result);
    m_result = nullptr;
    m_row = -1;
    m_affected = 0;
    m_queued = 0;
    m_session = nullptr;
}

int TPgStatement::RowsAffected() {
    if (m_queued) {
        // The session the run was kept on; gone with its connection, and
        // with it the run (never sent).
        const TPgSession::Ticket ticket = m_queued;
        m_queued = 0;
        m_affected = m_session ? m_session->Affected(ticket) : 0;
    }
    return m_affected;
}

int TPgStatement::ColumnIndex(const QString& name) const {
    if (!m_result)
        return -1;
    const int n = PQnfields(m_result);
    for (int c = 0; c < n; ++c) {
        if (QString::fromUtf8(PQfname(m_result, c)).compare(name, Qt::CaseInsensitive) == 0)
            return c;
    }
    return -1;
}

bool TPgStatement::IsNull(int column) const {
    return !m_result || m_row < 0 || PQgetisnull(m_result, m_row, column);
}

QVariant TPgStatement::Value(int column) const {
    if (!m_result || m_row < 0)
        return QVariant();
    if (PQgetisnull(m_result, m_row, column))
        return QVariant(QMetaType(KindOf(PQftype(m_result, column))));
    const char* text = PQgetvalue(m_result, m_row, column);
    const int length = PQgetlength(m_result, m_row, column);
    switch (PQftype(m_result, column)) {
        case kBool:
            return QVariant(text[0] == 't');
        case kInt2:
        case kInt4:
            return QVariant(int(std::strtol(text, nullptr, 10)));
        case kInt8:
            // As Qt's driver: a value without a sign as unsigned.
            if (text[0] == '-')
                return QVariant(qlonglong(std::strtoll(text, nullptr, 10)));
            return QVariant(qulonglong(std::strtoull(text, nullptr, 10)));
        case kFloat4:
        case kFloat8:
        case kNumeric:
            return QVariant(QByteArray(text, length).toDouble());
        case kDate:
            return QVariant(QDate::fromString(QString::fromLatin1(text, length), Qt::ISODate));
        case kTime:
            return QVariant(
                QTime::fromString(QString::fromLatin1(text, length).left(12), Qt::ISODateWithMs));
        case kTimestamp:
        case kTimestampTz:
            return Timestamp(text, length);
        case kBytea: {
            size_t size = 0;
            unsigned char* bytes =
                PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
            const QByteArray out(reinterpret_cast<const char*>(bytes), qsizetype(size));
            PQfreemem(bytes);
            return QVariant(out);
        }
        default:
            return QVariant(QString::fromUtf8(text, length));
    }
}
