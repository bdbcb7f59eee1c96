#pragma once
// The prepared statements of one connection, kept for as long as it is open.
//
// A statement is adapted for the driver (TSqlDialect) and prepared the first
// time its text is asked for, and the same prepared statement serves every
// later registration and pass: preparing costs more than running the short
// statements of the storing path. Get returns a handle that clears the bound
// values before use and ends the statement's result when it goes out of
// scope, so that a SQLite statement never keeps a read snapshot open between
// uses. A statement already in use (the same text asked for again while a
// handle to it lives) is served by a fresh, uncached one.
//
// Owner: the data module's connection entry (TDM::ThreadConnection); it must
// be destroyed before its connection is closed. Thread: the connection's
// thread. Get throws EDatabaseError when the statement cannot be prepared.

#include <QSqlDatabase>
#include <QString>
#include <memory>
#include <unordered_map>
#include <vector>

#include "db/TSqlStatement.h"

class TStatementCache {
public:
    class Handle {
    public:
        Handle(TSqlStatement* statement, std::unique_ptr<TSqlStatement> own, bool* inUse);
        Handle(Handle&& other) noexcept;
        ~Handle();
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        Handle& operator=(Handle&&) = delete;
        TSqlStatement* operator->() const { return m_statement; }
        TSqlStatement& operator*() const { return *m_statement; }

    private:
        TSqlStatement* m_statement;
        std::unique_ptr<TSqlStatement> m_own;  // set for an uncached statement
        bool* m_inUse;                         // the cached entry's flag, or null
    };

    explicit TStatementCache(QString connectionName);
    ~TStatementCache();
    TStatementCache(const TStatementCache&) = delete;
    TStatementCache& operator=(const TStatementCache&) = delete;

    // `subject` names the table(s) in error messages, as for TSqlStatement.
    Handle Get(const QString& statement, const QString& subject);
    qsizetype Size() const { return m_entries.size(); }

private:
    struct Entry {
        std::unique_ptr<TSqlStatement> statement;
        bool inUse = false;
    };
    // The texts last asked for, as the callers hold them: a caller that keeps
    // its statement text in one string is found by that string's storage,
    // without building and hashing the key of a few hundred characters.
    struct Recent {
        QString statement, subject;
        Entry* entry;
    };
    Entry* FindRecent(const QString& statement, const QString& subject) const;

    QString m_connection;
    std::vector<Recent> m_recent;
    // By subject and text; nodes stay put, so a handle's flag pointer holds.
    std::unordered_map<QString, Entry> m_entries;
};
