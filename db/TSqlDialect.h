#pragma once
// The dialect step: adapts a statement of the installation (db/Statements.h)
// for the Qt SQL drivers before it is prepared.
//
// - A double-quoted file name such as "INGREG.db" or "Reg.DB" becomes the bare
//   table name (INGREG, Reg); the engines here fold unquoted names themselves.
// - Any other double-quoted text such as "ID" becomes a string literal ('ID'):
//   PostgreSQL reads a double-quoted text as an identifier, and SQLite does so
//   too as soon as a column of that name exists.
// - Every named parameter (:Name) becomes a positional placeholder (?), and
//   its name is returned in placeholder order. Qt matches named placeholders
//   case-sensitively and binds a name it does not know as NULL without a word;
//   positional binding by a name looked up without regard to case (see
//   TSqlStatement) avoids both.
// - Single-quoted literals and PostgreSQL casts (::) are copied unchanged.
//
// Pure functions; any thread.

#include <QString>
#include <QStringList>

enum class TSqlDriver { SQLite, PostgreSQL };

struct TAdaptedSql {
    QString text;              // ready for QSqlQuery::prepare
    QStringList parameters;    // name of the i-th placeholder, as written
    QList<qsizetype> offsets;  // where the i-th placeholder stands in `text`
};

class TSqlDialect {
public:
    // Throws EDatabaseError for an unterminated quote.
    static TAdaptedSql Adapt(const QString& statement);

    // The column that identifies a stored row without a key of its own.
    static QString RowIdColumn(TSqlDriver driver);
    // Appended to a SELECT whose rows must stay locked until the transaction
    // ends (PostgreSQL); empty where the transaction itself locks (SQLite).
    static QString RowLockClause(TSqlDriver driver);
    // Starts a transaction. On SQLite it takes the write lock at once, so that
    // two writers never both read a counter before either writes it back.
    static QString BeginStatement(TSqlDriver driver);
};
