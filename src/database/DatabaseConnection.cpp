#include "DatabaseConnection.h"

#include "NativeHandle.h"
#include "agent/KtlDebug.h"

#include <QHash>
#include <QSqlDriver>
#include <QSqlError>
#include <atomic>
#include <libpq-fe.h>

namespace RPX::SQL {

namespace {

// The connections this thread holds, by driver: a failing query knows its driver only.
QHash<const QSqlDriver*, DatabaseConnection*>& heldConnections()
{
    thread_local QHash<const QSqlDriver*, DatabaseConnection*> connections;
    return connections;
}

quint64 newSession()
{
    static std::atomic<quint64> last{0};
    return ++last;
}

}  // namespace

DatabaseConnection::DatabaseConnection(QPointer<DatabasePool>& pool) : m_pool(pool)
{
    if (m_pool.isNull())
        return;
    const QString name = m_pool->dequeue();
    m_database = QSqlDatabase::database(name, true);
    m_cache = m_pool->statementCache(name);
    m_session = newSession();
    if (m_database.driver() != nullptr)
        heldConnections().insert(m_database.driver(), this);
    // An idle connection whose session the client library already knows to be gone is not handed out as it is.
    if (m_database.isOpen() && isBroken())
        reopen();
}

DatabaseConnection::~DatabaseConnection()
{
    heldConnections().remove(m_database.driver());
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
    // A PostgreSQL connection left closed by a server that was away is tried again when next used.
    if (!m_database.isOpen() && m_database.isValid() && dbType() == DatabaseType::PostgreSQL)
        const_cast<DatabaseConnection*>(this)->reopen();
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

bool DatabaseConnection::isBroken() const
{
    if (!m_database.isValid() || dbType() != DatabaseType::PostgreSQL)
        return false;
    const PGconn* session = NativeHandle::postgres(m_database.driver());
    return session == nullptr || PQstatus(session) == CONNECTION_BAD;
}

bool DatabaseConnection::reopen()
{
    if (!m_database.isValid() || dbType() != DatabaseType::PostgreSQL)
        return false;
    // Statements prepared in the old session must not outlive it: released now, while the session
    // is gone, their release fails at once instead of naming statements the new session never had.
    if (m_cache)
        m_cache->clear();
    // Closing a lost session sends at most one message on a dead socket: it does not wait.
    m_database.close();
    m_session = newSession();
    if (m_database.open()) {
        KTL::KtlDebug("SQL").info() << "Connection to the database opened again:" << m_database.connectionName();
        return true;
    }
    KTL::KtlDebug("SQL").warning() << "Error on connect to database:" << m_database.lastError().text();
    return false;
}

DatabaseConnection* DatabaseConnection::heldThrough(const QSqlDriver* driver)
{
    return driver == nullptr ? nullptr : heldConnections().value(driver, nullptr);
}

}  // namespace RPX::SQL
