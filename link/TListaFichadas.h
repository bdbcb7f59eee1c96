#pragma once
// The registrations read from one reader in one pass, in the order the reader
// sent them. The list owns its entries (by value); Clear empties it.
//
// Each entry remembers the position of the raw record it was decoded from
// among all the records of the pass (TRedVexan::LastRecords), so that a
// caller can tell which records are behind an entry even when some records
// did not decode. An entry added without a position gets its own index.

#include <QList>

#include "link/TFichada.h"

class TListaFichadas {
public:
    void Clear() {
        m_items.clear();
        m_sources.clear();
    }
    void Reserve(qsizetype n) {
        m_items.reserve(n);
        m_sources.reserve(n);
    }
    void Add(const TFichada& f) { Add(f, m_items.size()); }
    void Add(const TFichada& f, qsizetype sourceRecord) {
        m_items.append(f);
        m_sources.append(sourceRecord);
    }
    qsizetype Count() const { return m_items.size(); }
    const TFichada& operator[](qsizetype i) const { return m_items.at(i); }
    // The raw record position of entry i.
    qsizetype SourceRecord(qsizetype i) const { return m_sources.at(i); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    QList<TFichada> m_items;
    QList<qsizetype> m_sources;
};
