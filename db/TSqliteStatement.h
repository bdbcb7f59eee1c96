#pragma once
// One statement of the data module run through SQLite's own interface, on the
// connection that Qt's SQLite driver opened.
//
// Qt's driver binds a value by position through a placeholder name it builds
// and looks up in a hash, and copies every row into a list of variants; on
// the storing path, a few short statements per registration, that was most
// of the agent's time. This class prepares the statement once and binds,
// steps and reads columns directly. Transactions, PRAGMAs and everything else
// stay with Qt on the same connection, so they share its transaction, its
// busy time-out and its errors.
//
// Values follow Qt's driver, so callers see no difference: Int, Bool (0/1)
// and the other integers are bound as integers, Double as a real, QByteArray
// as a blob, a null variant as NULL and everything else as its text; columns
// read back as qlonglong, double, QString or QByteArray, NULL as a null
// variant. Column names are those of the result without a table prefix.
//
// Owner: a TSqlStatement. Thread: the connection's. The statement must be
// finalized (destroyed) before its connection is closed: SQLite refuses to
// close a connection with a live statement. Prepare and step failures throw
// EDatabaseError with SQLite's message and `subject`.

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class TSqliteStatement {
public:
    // The connection's SQLite handle; null when it is not an open SQLite
    // connection of Qt's driver.
    static sqlite3* Handle(const QSqlDatabase& db);

    // `sql` uses '?' placeholders, numbered from 0 in Bind.
    TSqliteStatement(sqlite3* db, const QString& sql, const QString& subject);
    ~TSqliteStatement();
    TSqliteStatement(const TSqliteStatement&) = delete;
    TSqliteStatement& operator=(const TSqliteStatement&) = delete;

    void Bind(int index, const QVariant& value);
    // Runs the statement to its first row (or to its end); Next then walks
    // the rows, the first one included.
    void Exec();
    bool Next();
    // Ends the result; the bound values stay until bound again.
    void Reset();
    int RowsAffected() const { return m_changes; }

    // The column of that name, without regard to case; -1 when there is none.
    int ColumnIndex(const QString& name) const;
    QVariant Value(int column) const;
    bool IsNull(int column) const;

private:
    [[noreturn]] void Fail(int code) const;

    // The UTF-8 form of each bound text, kept until that parameter is bound
    // again, so SQLite reads it in place rather than copying and converting.
    std::vector<std::string> m_texts;
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    QString m_subject;
    bool m_haveRow = false;     // the current step stopped on a row
    bool m_rowPending = false;  // that row was stepped by Exec and not yet seen
    int m_changes = 0;
};
