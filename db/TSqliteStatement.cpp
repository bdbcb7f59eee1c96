#include "db/TSqliteStatement.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include <QSqlDriver>

#include "shell/Errors.h"

namespace {

// The UTF-8 form of `s` into `out`, reusing its storage.
void ToUtf8(const QString& s, std::string& out) {
    out.clear();
    const qsizetype n = s.size();
    const QChar* c = s.constData();
    for (qsizetype i = 0; i < n; ++i) {
        if (c[i].unicode() >= 0x80) {
            const QByteArray utf8 = s.toUtf8();
            out.assign(utf8.constData(), size_t(utf8.size()));
            return;
        }
        out.push_back(char(c[i].unicode()));
    }
}

// A result column's name, as Qt's record gives it ("t.Campo" and "\"Campo\""
// name the field Campo), equals `field` without regard to case.
bool SameField(const char* column, const QString& field) {
    if (const char* dot = std::strrchr(column, '.'))
        column = dot + 1;
    for (const char* c = column; *c; ++c) {
        if (static_cast<unsigned char>(*c) >= 0x80)
            return QString::fromUtf8(column).remove(u'"').compare(field, Qt::CaseInsensitive) == 0;
    }
    qsizetype i = 0;
    for (; *column; ++column) {
        if (*column == '"')
            continue;
        if (i >= field.size())
            return false;
        const char16_t f = field[i++].unicode();
        const char c = *column;
        const auto lower = [](char16_t x) {
            return x >= u'A' && x <= u'Z' ? char16_t(x - u'A' + u'a') : x;
        };
        if (lower(f) != lower(char16_t(static_cast<unsigned char>(c))))
            return false;
    }
    return i == field.size();
}

}  // namespace

sqlite3* TSqliteStatement::Handle(const QSqlDatabase& db) {
    if (db.driverName() != QLatin1String("QSQLITE") || !db.isOpen() || !db.driver())
        return nullptr;
    const QVariant v = db.driver()->handle();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(v.constData());
}

TSqliteStatement::TSqliteStatement(sqlite3* db, const QString& sql, const QString& subject)
    : m_db(db), m_subject(subject) {
    const QByteArray text = sql.toUtf8();
    // Kept for the connection's life: SQLite places it accordingly.
    const int rc = sqlite3_prepare_v3(m_db, text.constData(), int(text.size()),
                                      SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        Fail(rc);
    }
    m_texts.resize(size_t(std::max(0, sqlite3_bind_parameter_count(m_stmt))));
}

TSqliteStatement::~TSqliteStatement() {
    sqlite3_finalize(m_stmt);
}

void TSqliteStatement::Bind(int index, const QVariant& value) {
    const int i = index + 1;
    int rc;
    if (value.isNull()) {
        rc = sqlite3_bind_null(m_stmt, i);
    } else {
        switch (value.typeId()) {
            case QMetaType::Int:
            case QMetaType::Bool:
            case QMetaType::Short:
            case QMetaType::UShort:
            case QMetaType::UInt:
            case QMetaType::LongLong:
            case QMetaType::ULongLong:
                rc = sqlite3_bind_int64(m_stmt, i, value.toLongLong());
                break;
            case QMetaType::Double:
                rc = sqlite3_bind_double(m_stmt, i, value.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray b = value.toByteArray();
                rc = sqlite3_bind_blob(m_stmt, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
                break;
            }
            default: {
                if (size_t(index) >= m_texts.size())
                    return Fail(SQLITE_RANGE);
                std::string& text = m_texts[size_t(index)];
                if (value.typeId() == QMetaType::QString)
                    ToUtf8(*static_cast<const QString*>(value.constData()), text);
                else
                    ToUtf8(value.toString(), text);
                rc = sqlite3_bind_text(m_stmt, i, text.data(), int(text.size()), SQLITE_STATIC);
                break;
            }
        }
    }
    if (rc != SQLITE_OK)
        Fail(rc);
}

void TSqliteStatement::Exec() {
    Reset();
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        m_haveRow = m_rowPending = true;
    } else if (rc == SQLITE_DONE) {
        m_changes = sqlite3_changes(m_db);
    } else {
        Fail(rc);
    }
}

bool TSqliteStatement::Next() {
    if (m_rowPending) {
        m_rowPending = false;
        return true;
    }
    if (!m_haveRow)
        return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    m_haveRow = false;
    if (rc != SQLITE_DONE)
        Fail(rc);
    return false;
}

void TSqliteStatement::Reset() {
    // An error of the last step was reported then; reset returns it again.
    sqlite3_reset(m_stmt);
    m_haveRow = m_rowPending = false;
    m_changes = 0;
}

int TSqliteStatement::ColumnIndex(const QString& name) const {
    const int n = sqlite3_column_count(m_stmt);
    for (int c = 0; c < n; ++c) {
        const char* column = sqlite3_column_name(m_stmt, c);
        if (column && SameField(column, name))
            return c;
    }
    return -1;
}

QVariant TSqliteStatement::Value(int column) const {
    if (!m_haveRow || m_rowPending)
        return QVariant();
    switch (sqlite3_column_type(m_stmt, column)) {
        case SQLITE_INTEGER:
            return QVariant(qlonglong(sqlite3_column_int64(m_stmt, column)));
        case SQLITE_FLOAT:
            return QVariant(sqlite3_column_double(m_stmt, column));
        case SQLITE_BLOB: {
            const void* data = sqlite3_column_blob(m_stmt, column);
            return QVariant(
                QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(m_stmt, column)));
        }
        case SQLITE_NULL:
            return QVariant();
        default: {
            const void* data = sqlite3_column_text16(m_stmt, column);
            const int bytes = sqlite3_column_bytes16(m_stmt, column);
            return QVariant(QString(static_cast<const QChar*>(data), bytes / 2));
        }
    }
}

bool TSqliteStatement::IsNull(int column) const {
    return !m_haveRow || m_rowPending || sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

void TSqliteStatement::Fail(int code) const {
    QString text = QString::fromUtf8(sqlite3_errmsg(m_db)).trimmed();
    if (text.isEmpty())
        text = QString::fromUtf8(sqlite3_errstr(code));
    throw EDatabaseError(QStringLiteral("Error de base de datos (%1): %2").arg(m_subject, text));
}
