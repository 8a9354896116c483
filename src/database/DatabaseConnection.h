#pragma once

#include "DatabasePool.h"
#include "DatabaseType.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace RPX::SQL {

// One pooled connection, held for the lifetime of this stack object by the thread that made it.
class DatabaseConnection
{
public:
    explicit DatabaseConnection(QPointer<DatabasePool>& pool);
    ~DatabaseConnection();

    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    bool isOpen() const;
    QSqlQuery query() const;
    DatabaseType dbType() const;
    const QSqlDatabase& database() const;
    // Prepared statements kept with this pooled connection; null without a pool.
    StatementCache* statementCache() const { return m_cache.get(); }

private:
    QPointer<DatabasePool>& m_pool;
    QSqlDatabase m_database;
    std::shared_ptr<StatementCache> m_cache;
};

}  // namespace RPX::SQL
