#include "DatabaseConnection.h"

#include <QSqlDriver>

namespace RPX::SQL {

DatabaseConnection::DatabaseConnection(QPointer<DatabasePool>& pool) : m_pool(pool)
{
    if (m_pool.isNull())
        return;
    const QString name = m_pool->dequeue();
    m_database = QSqlDatabase::database(name, true);
    m_cache = m_pool->statementCache(name);
}

DatabaseConnection::~DatabaseConnection()
{
    const QString name = m_database.connectionName();
    m_database = QSqlDatabase();
    if (m_pool.isNull())
        m_cache.reset();  // its queries must go before the connection does
    if (!m_pool.isNull()) {
        m_pool->enqueue(name);
    } else if (!name.isEmpty() && QSqlDatabase::contains(name)) {
        // The pool is gone and can no longer close it.
        QSqlDatabase::removeDatabase(name);
    }
}

bool DatabaseConnection::isOpen() const
{
    return m_database.isOpen();
}

QSqlQuery DatabaseConnection::query() const
{
    return QSqlQuery(m_database);
}

DatabaseType DatabaseConnection::dbType() const
{
    const QSqlDriver* driver = m_database.driver();
    if (driver != nullptr && driver->dbmsType() == QSqlDriver::PostgreSQL)
        return DatabaseType::PostgreSQL;
    return DatabaseType::SQLite;
}

const QSqlDatabase& DatabaseConnection::database() const
{
    return m_database;
}

}  // namespace RPX::SQL
