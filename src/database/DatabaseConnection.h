#pragma once

#include "DatabasePool.h"
#include "DatabaseType.h"

#include <QSqlDatabase>
#include <QSqlQuery>

class QSqlDriver;

namespace RPX::SQL {

// One pooled connection, held for the lifetime of this stack object by the thread that made it.
//
// A PostgreSQL session can go away under it (a server restart, a session ended by an administrator
// or a pooler): the connection then opens a new session, and drops first what belonged to the old
// one (its prepared statements), so that nothing prepared there is run again.
class DatabaseConnection
{
public:
    explicit DatabaseConnection(QPointer<DatabasePool>& pool);
    ~DatabaseConnection();

    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    // On PostgreSQL a connection closed while the server was away tries to open a new session first.
    bool isOpen() const;
    QSqlQuery query() const;
    DatabaseType dbType() const;
    const QSqlDatabase& database() const;
    // Prepared statements kept with this pooled connection; null without a pool.
    StatementCache* statementCache() const { return m_cache.get(); }

    // PostgreSQL: whether the session is known to be gone, from what the client library already
    // knows (no round trip), or closed after a failed reopen. Always false on SQLite.
    bool isBroken() const;
    // PostgreSQL: drops the prepared statements of the old session, then opens a new one. False
    // while the server cannot be reached (the connection is then closed; a later call tries again).
    bool reopen();
    // Numbers the sessions of connections: a new one for every session opened, so that what was
    // prepared in one is not run in another.
    quint64 session() const { return m_session; }
    // The connection this thread holds through that driver; null when there is none.
    static DatabaseConnection* heldThrough(const QSqlDriver* driver);

private:
    QPointer<DatabasePool>& m_pool;
    QSqlDatabase m_database;
    std::shared_ptr<StatementCache> m_cache;
    quint64 m_session = 0;
};

}  // namespace RPX::SQL
