#pragma once
// The registrations read from one reader in one pass, in the order the reader
// sent them. The list owns its entries (by value); Clear empties it.

#include <QList>

#include "link/TFichada.h"

class TListaFichadas {
public:
    void Clear() { m_items.clear(); }
    void Reserve(qsizetype n) { m_items.reserve(n); }
    void Add(const TFichada& f) { m_items.append(f); }
    qsizetype Count() const { return m_items.size(); }
    const TFichada& operator[](qsizetype i) const { return m_items.at(i); }
    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    QList<TFichada> m_items;
};
