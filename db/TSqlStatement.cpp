#include "db/TSqlStatement.h"

#include <cstdio>
#include <limits>

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlRecord>

#include "link/WallClock.h"
#include "shell/Errors.h"

namespace {
// The statement on SQLite's own interface, or null for the other engines.
std::unique_ptr<TSqliteStatement> NativeFor(const QSqlDatabase& db, const QString& sql,
                                            const QString& subject) {
    sqlite3* handle = TSqliteStatement::Handle(db);
    return handle ? std::make_unique<TSqliteStatement>(handle, sql, subject) : nullptr;
}
std::unique_ptr<TPgStatement> PgFor(const QSqlDatabase& db, const TAdaptedSql& sql,
                                    const QString& subject, bool kept) {
    return TPgStatement::Serves(db) ? std::make_unique<TPgStatement>(db, sql, subject, kept)
                                    : nullptr;
}
// Qt's query on `db`, or an idle one when an engine's own interface serves it.
QSqlQuery QueryFor(const QSqlDatabase& db, bool native) {
    return native ? QSqlQuery() : QSqlQuery(db);
}
}  // namespace

TSqlStatement::TSqlStatement(const QSqlDatabase& db, const QString& statement,
                             const QString& subject, bool kept)
    : m_subject(subject),
      m_sql(TSqlDialect::Adapt(statement)),
      m_native(NativeFor(db, m_sql.text, subject)),
      m_pg(m_native ? nullptr : PgFor(db, m_sql, subject, kept)),
      m_query(QueryFor(db, m_native || m_pg)) {
    m_bound.fill(false, m_sql.parameters.size());
    if (m_native || m_pg)
        return;
    m_query.setForwardOnly(true);
    if (!m_query.prepare(m_sql.text))
        Fail(QStringLiteral("preparar la sentencia"));
}

TSqlStatement::~TSqlStatement() = default;

const std::vector<int>& TSqlStatement::Positions(const QString& name) {
    for (const Slot& s : m_slots) {
        if (s.name.constData() == name.constData() && s.name.size() == name.size())
            return s.positions;
    }
    Slot slot{name, {}};
    for (qsizetype i = 0; i < m_sql.parameters.size(); ++i) {
        if (m_sql.parameters[i].compare(name, Qt::CaseInsensitive) == 0)
            slot.positions.push_back(int(i));
    }
    if (slot.positions.empty())
        throw EDatabaseError(QStringLiteral("Error de base de datos (%1): la sentencia no tiene el "
                                            "parámetro \"%2\"")
                                 .arg(m_subject, name));
    // Names built at run time would each add a slot: the list stays short.
    if (m_slots.size() >= 64)
        m_slots.clear();
    m_slots.push_back(std::move(slot));
    return m_slots.back().positions;
}

void TSqlStatement::Bind(const QString& name, const QVariant& value) {
    // A stored NULL (a null variant) stays NULL; an unset text is an empty
    // text, as Qt would otherwise bind a null QString as NULL.
    QVariant v = value;
    if (v.isNull()) {
    } else if (v.typeId() == QMetaType::QDateTime) {
        // A date-time that cannot be written is an error, never a NULL.
        const QDateTime dt = v.toDateTime();
        if (!dt.isValid())
            throw EConvertError(QStringLiteral("Error de base de datos (%1): la fecha y hora del "
                                               "campo %2 no es válida")
                                    .arg(m_subject, name));
        v = QVariant(DateTimeText(dt));
    } else if (v.typeId() == QMetaType::QString && v.toString().isNull()) {
        v = QStringLiteral("");
    }
    for (const int i : Positions(name)) {
        if (m_native)
            m_native->Bind(i, v);
        else if (m_pg)
            m_pg->Bind(i, m_sql.parameters[i], v);
        else
            m_query.bindValue(i, v);
        m_bound[i] = true;
    }
}

void TSqlStatement::Reset() {
    if (m_native)
        m_native->Reset();
    else if (m_pg)
        m_pg->Reset();
    else
        m_query.finish();
    m_bound.fill(false);
}

void TSqlStatement::BindNull(const QString& name) {
    Bind(name, QVariant());
}

void TSqlStatement::Exec() {
    for (qsizetype i = 0; i < m_bound.size(); ++i) {
        if (!m_bound[i])
            throw EDatabaseError(
                QStringLiteral("Error de base de datos (%1): el parámetro \"%2\" no tiene valor")
                    .arg(m_subject, m_sql.parameters[i]));
    }
    if (m_native) {
        m_native->Exec();
        return;
    }
    if (m_pg) {
        m_pg->Exec();
        return;
    }
    if (!m_query.exec())
        Fail(QStringLiteral("ejecutar la sentencia"));
}

bool TSqlStatement::Next() {
    if (m_native)
        return m_native->Next();
    if (m_pg)
        return m_pg->Next();
    if (m_query.next())
        return true;
    // A failure while stepping is not the end of the data.
    if (m_query.lastError().isValid())
        Fail(QStringLiteral("leer el resultado"));
    return false;
}

int TSqlStatement::RowsAffected() {
    if (m_native)
        return m_native->RowsAffected();
    if (m_pg)
        return m_pg->RowsAffected();
    return m_query.numRowsAffected();
}

void TSqlStatement::Fail(const QString& what) const {
    const QSqlError e = m_query.lastError();
    QString text = e.text().trimmed();
    if (text.isEmpty())
        text = QStringLiteral("error sin descripción al %1").arg(what);
    throw EDatabaseError(QStringLiteral("Error de base de datos (%1): %2").arg(m_subject, text));
}

int TSqlStatement::FieldIndex(const QString& field) const {
    if (m_native || m_pg) {
        const int i = m_native ? m_native->ColumnIndex(field) : m_pg->ColumnIndex(field);
        if (i >= 0)
            return i;
    } else {
        const QSqlRecord rec = m_query.record();
        for (int i = 0; i < rec.count(); ++i) {
            if (rec.fieldName(i).compare(field, Qt::CaseInsensitive) == 0)
                return i;
        }
    }
    throw EDatabaseError(QStringLiteral("Error de base de datos (%1): el resultado no tiene el "
                                        "campo \"%2\"")
                             .arg(m_subject, field));
}

QVariant TSqlStatement::Value(const QString& field) const {
    const int i = FieldIndex(field);
    if (m_pg)
        return m_pg->Value(i);
    return m_native ? m_native->Value(i) : m_query.value(i);
}

bool TSqlStatement::IsNull(const QString& field) const {
    const int i = FieldIndex(field);
    if (m_pg)
        return m_pg->IsNull(i);
    return m_native ? m_native->IsNull(i) : m_query.isNull(i);
}

std::optional<qint32> TSqlStatement::OptInt(const QString& field) const {
    return ToInt(Value(field), m_subject + '.' + field);
}

std::optional<QString> TSqlStatement::OptStr(const QString& field) const {
    return ToStr(Value(field));
}

std::optional<bool> TSqlStatement::OptBool(const QString& field) const {
    return ToBool(Value(field), m_subject + '.' + field);
}

std::optional<QDateTime> TSqlStatement::OptDateTime(const QString& field) const {
    return ToDateTime(Value(field), m_subject + '.' + field);
}

std::optional<qint32> TSqlStatement::ToInt(const QVariant& v, const QString& what) {
    if (v.isNull())
        return std::nullopt;
    bool ok = false;
    qint64 n = 0;
    switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::LongLong:
        case QMetaType::UInt:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
            n = v.toLongLong(&ok);
            break;
        case QMetaType::Bool:
            return v.toBool() ? 1 : 0;
        case QMetaType::Double: {
            const double d = v.toDouble();
            ok = d == double(qint64(d));
            n = qint64(d);
            break;
        }
        default: {
            // Decimal digits with an optional sign; blanks around are allowed.
            const QString s = v.toString().trimmed();
            static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]+$"));
            if (digits.match(s).hasMatch())
                n = s.toLongLong(&ok);
            break;
        }
    }
    if (!ok || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
        throw EConvertError(
            QStringLiteral("\"%1\" no es un número entero válido (%2)").arg(v.toString(), what));
    return qint32(n);
}

std::optional<QString> TSqlStatement::ToStr(const QVariant& v) {
    if (v.isNull())
        return std::nullopt;
    return v.toString();
}

std::optional<bool> TSqlStatement::ToBool(const QVariant& v, const QString& what) {
    if (v.isNull())
        return std::nullopt;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    const QString s = v.toString().trimmed().toLower();
    if (s == QLatin1String("1") || s == QLatin1String("true") || s == QLatin1String("t") ||
        s == QLatin1String("yes") || s == QLatin1String("y"))
        return true;
    if (s == QLatin1String("0") || s == QLatin1String("false") || s == QLatin1String("f") ||
        s == QLatin1String("no") || s == QLatin1String("n") || s.isEmpty())
        return false;
    bool ok = false;
    const qint64 n = s.toLongLong(&ok);
    if (ok)
        return n != 0;
    throw EConvertError(
        QStringLiteral("\"%1\" no es un valor lógico válido (%2)").arg(v.toString(), what));
}

std::optional<QDateTime> TSqlStatement::ToDateTime(const QVariant& v, const QString& what) {
    if (v.isNull())
        return std::nullopt;
    QDateTime dt;
    bool floating = false;
    if (v.typeId() == QMetaType::QDateTime) {
        dt = v.toDateTime();
    } else if (v.typeId() == QMetaType::QDate) {
        dt = QDateTime(v.toDate(), QTime(0, 0));
    } else {
        // "YYYY-MM-DD HH:MM:SS.SSS", also with 'T', without fractions or seconds.
        QString s = v.toString().trimmed();
        if (s.size() > 10 && s[10] == ' ')
            s[10] = 'T';
        dt = QDateTime::fromString(s, Qt::ISODateWithMs);
        if (!dt.isValid())
            dt = QDateTime::fromString(s, Qt::ISODate);
        // A wall-clock time in the hour the zone skips in spring (a reader's
        // registration stored as the reader showed it) parses as no local
        // time: it is read as the same wall clock, not refused.
        if (!dt.isValid() && s.size() >= 16 && s.size() <= 26 && s[10] == 'T') {
            const QDate date = QDate::fromString(s.left(10), Qt::ISODate);
            // Finer fractions than milliseconds (PostgreSQL's) are cut.
            QTime time = QTime::fromString(s.mid(11, 12), Qt::ISODateWithMs);
            if (!time.isValid())
                time = QTime::fromString(s.mid(11), Qt::ISODate);
            dt = WallClock::Make(date, time);
            floating = dt.isValid();
        }
    }
    if (!dt.isValid())
        throw EConvertError(
            QStringLiteral("\"%1\" no es una fecha y hora válida (%2)").arg(v.toString(), what));
    // Stored values are local wall-clock times; one written with a zone is
    // brought to the local clock. A floating value (parsed above) stays.
    if (dt.timeSpec() == Qt::LocalTime || floating)
        return dt;
    return dt.toLocalTime();
}

QString TSqlStatement::DateTimeText(const QDateTime& dt) {
    // Local and floating values (link/WallClock.h) are written as their own
    // wall clock: a reader's registration in a daylight-saving gap is stored
    // as the reader showed it. Only a value with a zone or offset of its own
    // is brought to the local clock first. Written from its fields: no
    // locale is looked up for a value bound thousands of times a pass.
    const bool wall = dt.timeSpec() == Qt::LocalTime || dt.timeSpec() == Qt::UTC;
    const QDateTime local = wall ? dt : dt.toLocalTime();
    const QDate d = local.date();
    const QTime t = local.time();
    const int year = d.year();
    if (year < 0 || year > 9999) {
        char text[40];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, d.month(),
                      d.day(), t.hour(), t.minute(), t.second(), t.msec());
        return QString::fromLatin1(text);
    }
    // "yyyy-MM-dd hh:mm:ss.zzz", digit by digit: this runs for every value
    // of every stored row, where a formatted print cost more than the insert.
    const struct {
        char16_t before;  // the separator in front, or 0
        int value, width;
    } parts[] = {{0, year, 4},        {u'-', d.month(), 2},  {u'-', d.day(), 2},
                 {u' ', t.hour(), 2}, {u':', t.minute(), 2}, {u':', t.second(), 2},
                 {u'.', t.msec(), 3}};
    QString text(23, Qt::Uninitialized);
    QChar* out = text.data();
    for (const auto& part : parts) {
        if (part.before)
            *out++ = QChar(part.before);
        int value = part.value;
        for (int i = part.width - 1; i >= 0; --i) {
            out[i] = QChar(u'0' + value % 10);
            value /= 10;
        }
        out += part.width;
    }
    return text;
}
