#include "StatementCache.h"

#include "QueryInternals.h"

#include <QSqlError>
#include <atomic>

namespace RPX::SQL {

namespace {
std::atomic<bool> g_enabled{true};
}

void StatementCache::setEnabled(bool enabled)
{
    g_enabled = enabled;
}

bool StatementCache::enabled()
{
    return g_enabled;
}

std::unique_ptr<QSqlQuery> StatementCache::take(const QString& sql)
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->first == sql) {
            std::unique_ptr<QSqlQuery> query = std::move(it->second);
            m_entries.erase(it);
            return query;
        }
    }
    return nullptr;
}

void StatementCache::give(const QString& sql, std::unique_ptr<QSqlQuery> query)
{
    // A query that failed is prepared afresh next time rather than trusted again.
    if (!query || query->lastError().isValid())
        return;
    query->finish();
    // Values of this use must not leak into the next one.
    QueryInternals::boundValues(*query).fill(QVariant());
    m_entries.emplace_front(sql, std::move(query));
    if (int(m_entries.size()) > Capacity)
        m_entries.pop_back();
}

void StatementCache::clear()
{
    m_entries.clear();
}

}  // namespace RPX::SQL
