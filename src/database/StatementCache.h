#pragma once

#include <QSqlQuery>
#include <QString>
#include <list>
#include <memory>
#include <utility>

namespace RPX::SQL {

// Prepared queries of one pooled connection, kept for reuse by statement text. Only the thread
// that holds the connection touches it; the pool drops it with the connection.
class StatementCache
{
public:
    static constexpr int Capacity = 64;

    // A prepared query of that text, or null when none is kept.
    std::unique_ptr<QSqlQuery> take(const QString& sql);
    // Keeps a query that ran cleanly; the oldest one goes when the cache is full.
    void give(const QString& sql, std::unique_ptr<QSqlQuery> query);
    void clear();

    // Switches reuse off for the whole process (to measure what it brings): prepared queries, and
    // the folders a transaction has looked up. On by default.
    static void setEnabled(bool enabled);
    static bool enabled();
    int size() const { return int(m_entries.size()); }

private:
    std::list<std::pair<QString, std::unique_ptr<QSqlQuery>>> m_entries;  // most recently returned first
};

}  // namespace RPX::SQL
