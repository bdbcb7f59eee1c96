#include "db/TStatementCache.h"

TStatementCache::Handle::Handle(TSqlStatement* statement, std::unique_ptr<TSqlStatement> own,
                                bool* inUse)
    : m_statement(statement ? statement : own.get()), m_own(std::move(own)), m_inUse(inUse) {
    if (m_inUse)
        *m_inUse = true;
}

TStatementCache::Handle::Handle(Handle&& other) noexcept
    : m_statement(other.m_statement), m_own(std::move(other.m_own)), m_inUse(other.m_inUse) {
    other.m_statement = nullptr;
    other.m_inUse = nullptr;
}

TStatementCache::Handle::~Handle() {
    if (!m_inUse)
        return;  // uncached (or moved from): destroyed with the handle
    // The result is ended here rather than at the next use: an unfinished
    // SQLite SELECT keeps its read snapshot, and with it stale data and a
    // WAL file that cannot be checkpointed.
    m_statement->Reset();
    *m_inUse = false;
}

TStatementCache::TStatementCache(QString connectionName)
    : m_connection(std::move(connectionName)) {}

TStatementCache::~TStatementCache() = default;

TStatementCache::Entry* TStatementCache::FindRecent(const QString& statement,
                                                    const QString& subject) const {
    for (const Recent& r : m_recent) {
        if (r.statement.constData() == statement.constData() &&
            r.statement.size() == statement.size() && r.subject == subject)
            return r.entry;
    }
    return nullptr;
}

TStatementCache::Handle TStatementCache::Get(const QString& statement, const QString& subject) {
    Entry* entry = FindRecent(statement, subject);
    if (!entry) {
        const QString key = subject + QChar(0) + statement;
        auto it = m_entries.find(key);
        if (it == m_entries.end()) {
            const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            Entry e;
            e.statement = std::make_unique<TSqlStatement>(db, statement, subject, true);
            it = m_entries.emplace(key, std::move(e)).first;
        }
        entry = &it->second;
        // Texts built afresh for each call would only fill the list.
        if (m_recent.size() >= 32)
            m_recent.erase(m_recent.begin());
        m_recent.push_back({statement, subject, entry});
    }
    if (entry->inUse) {
        const QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        return Handle(nullptr, std::make_unique<TSqlStatement>(db, statement, subject), nullptr);
    }
    return Handle(entry->statement.get(), nullptr, &entry->inUse);
}
