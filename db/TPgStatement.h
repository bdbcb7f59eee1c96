#pragma once
// One statement of the data module run through libpq on the connection that
// Qt's PostgreSQL driver opened (see TPgSession), the sibling of
// TSqliteStatement.
//
// Qt's driver would write every value into the statement's text and have the
// server parse and plan it anew each time; here the values travel apart from
// the text, byte for byte. A kept statement (one of a TStatementCache) is
// prepared on the server once per connection under a name of its own and run
// by that name; it is prepared again, under a new name, on a connection Qt
// reopened. Any other statement is parsed for each run as an unnamed one, so
// nothing is left behind on the server when it goes.
//
// Values follow Qt's driver, so callers see no difference. Bound: integers
// and Bool ("true"/"false") as their text, Double as its shortest exact
// text, QString as UTF-8, QByteArray in binary form (a bytea takes any byte),
// a null variant as NULL; the parameters' types are the server's inference,
// as for the literals Qt's driver writes. A text holding a NUL, which no
// PostgreSQL text can store, is refused with EDatabaseError naming the
// parameter (libpq would cut it short without a word). Read: int2/int4 as
// int, int8 as qlonglong, bool, float and numeric as double, date, time,
// timestamp as a local QDateTime (a wall clock the zone skips as a floating
// value, link/WallClock.h), bytea as QByteArray, the rest as QString; NULL as
// a null variant. Column names are those of the result.
//
// A statement returning no rows run inside a transaction of TPgSession is
// only queued: its error (and RowsAffected) comes with the next wait.
//
// Owner: a TSqlStatement. Thread: the connection's. Throws EDatabaseError
// with the server's text in the shape of Qt's driver and `subject`.

#include <QByteArray>
#include <QPointer>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <vector>

#include "db/TPgSession.h"
#include "db/TSqlDialect.h"

class TPgStatement {
public:
    // Whether `db` is an open connection of Qt's PostgreSQL driver.
    static bool Serves(const QSqlDatabase& db) { return TPgSession::For(db) != nullptr; }

    TPgStatement(const QSqlDatabase& db, const TAdaptedSql& sql, const QString& subject, bool kept);
    ~TPgStatement();
    TPgStatement(const TPgStatement&) = delete;
    TPgStatement& operator=(const TPgStatement&) = delete;

    // `name` is the parameter's as written, for the error message.
    void Bind(int index, const QString& name, const QVariant& value);
    void Exec();
    bool Next();
    // Ends the result; the bound values stay until bound again.
    void Reset();
    int RowsAffected();

    // The column of that name, without regard to case; -1 when there is none.
    int ColumnIndex(const QString& name) const;
    QVariant Value(int column) const;
    bool IsNull(int column) const;

    // The server-side name of the prepared statement (empty until prepared,
    // or for a statement that is not kept).
    const QByteArray& Name() const { return m_name; }

private:
    QSqlDatabase m_db;
    QString m_subject;
    QByteArray m_sql;  // with $1, $2, ... in place of the parameters
    bool m_kept;
    bool m_returnsRows;
    QByteArray m_name;
    quint64 m_generation = 0;  // of the session the name was prepared on
    std::vector<QByteArray> m_values;
    std::vector<bool> m_null;
    std::vector<int> m_formats;
    PGresult* m_result = nullptr;
    int m_row = -1;
    int m_affected = 0;
    TPgSession::Ticket m_queued = 0;  // a run whose answer was not read yet
    QPointer<TPgSession> m_session;   // that run's session
};
