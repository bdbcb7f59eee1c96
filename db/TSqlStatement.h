#pragma once
// One prepared statement of the data module on one connection.
//
// The text is adapted by TSqlDialect, so parameters are bound by the name as
// written in the statement, found without regard to case ("NroLlave" binds
// :NroLLave). A name the statement does not have, or a parameter left without
// a value, is an EDatabaseError, never a silent NULL.
//
// Values: a QDateTime is bound as the text "yyyy-MM-dd hh:mm:ss.zzz" (local
// wall-clock time: a SQLite text date, a PostgreSQL timestamp without time
// zone, independent of the session's time zone); a local or floating value
// (link/WallClock.h) is written as its own date and time, so a reader's
// registration in a daylight-saving gap keeps the reader's wall clock. A
// null QString is bound as an empty text (BindNull binds NULL).
//
// Fields are read by name without regard to case (PostgreSQL returns folded
// names). Reading a value of the wrong kind throws EConvertError naming the
// subject, the field and the value; a missing field throws EDatabaseError.
//
// On SQLite the statement runs through SQLite's own interface on Qt's
// connection (TSqliteStatement), which spares Qt's per-value name look-up
// and row copies on the storing path.
//
// On PostgreSQL it runs through libpq on Qt's connection (TPgStatement):
// values bound apart from the text, byte for byte, a kept statement prepared
// on the server once per connection, and inside a transaction the statements
// that return no rows sent together with the next one that does.
//
// Thread: the thread that owns the connection. The statement lives no longer
// than the operation that made it, or than its connection when it is kept in
// the connection's TStatementCache and run again after Reset.

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>
#include <vector>

#include "db/TSqlDialect.h"
#include "db/TPgStatement.h"
#include "db/TSqliteStatement.h"

class TSqlStatement {
public:
    // `subject` names the table(s) in error messages ("CODIGO", "REGISTRA").
    // `kept`: the statement is run many times on this connection (a
    // TStatementCache's), worth preparing on a server that keeps prepared
    // statements.
    TSqlStatement(const QSqlDatabase& db, const QString& statement, const QString& subject,
                  bool kept = false);
    ~TSqlStatement();
    TSqlStatement(const TSqlStatement&) = delete;
    TSqlStatement& operator=(const TSqlStatement&) = delete;

    void Bind(const QString& name, const QVariant& value);
    void BindNull(const QString& name);
    void Exec();
    // Ends the current result and forgets every bound value, so that the
    // prepared statement can run again with new ones.
    void Reset();
    bool Next();
    int RowsAffected();

    bool IsNull(const QString& field) const;
    QVariant Value(const QString& field) const;
    std::optional<qint32> OptInt(const QString& field) const;
    std::optional<QString> OptStr(const QString& field) const;
    std::optional<bool> OptBool(const QString& field) const;
    std::optional<QDateTime> OptDateTime(const QString& field) const;
    // Null reads as 0, empty text and false.
    qint32 IntOr0(const QString& field) const { return OptInt(field).value_or(0); }
    QString Str(const QString& field) const { return OptStr(field).value_or(QString()); }
    bool Bool(const QString& field) const { return OptBool(field).value_or(false); }

    // Conversions of a stored value; nullopt for NULL. `what` names the value
    // in the error message ("CODIGO.DESCRIPCION").
    static std::optional<qint32> ToInt(const QVariant& v, const QString& what);
    static std::optional<QString> ToStr(const QVariant& v);
    static std::optional<bool> ToBool(const QVariant& v, const QString& what);
    static std::optional<QDateTime> ToDateTime(const QVariant& v, const QString& what);
    // The text form in which date-times are written, built from the fields
    // directly (QDateTime::toString goes through the locale for every call).
    static QString DateTimeText(const QDateTime& dt);

    const QString& Subject() const { return m_subject; }

private:
    [[noreturn]] void Fail(const QString& what) const;
    int FieldIndex(const QString& field) const;
    const std::vector<int>& Positions(const QString& name);

    // A parameter name as a caller passed it, and where it stands. Callers
    // name parameters with literals, so the same name comes back with the
    // same text storage and is found without a comparison of its letters.
    struct Slot {
        QString name;
        std::vector<int> positions;
    };

    QString m_subject;
    TAdaptedSql m_sql;
    std::unique_ptr<TSqliteStatement> m_native;  // SQLite
    std::unique_ptr<TPgStatement> m_pg;          // PostgreSQL
    QSqlQuery m_query;                           // the other engines
    QList<bool> m_bound;
    std::vector<Slot> m_slots;
};
