#pragma once

#include <QSqlDatabase>
#include <QString>

namespace RPX::SQL {

// Settings that live on a connection rather than in the database, applied to every connection the
// pool opens (clones for new threads included). On PostgreSQL they travel in the connect options,
// which every clone inherits; on SQLite they are pragmas run once the connection is open.
//
// Opens the connection of that name and applies them; false when either fails (logged).
bool openConfigured(const QString& connectionName);
bool applyConnectionSettings(QSqlDatabase& database);

// What applyConnectionSettings gives an SQLite connection on a database of that many bytes: the
// page cache (KiB) and the memory map (bytes), both sized from the database and capped.
struct SQLiteCacheSettings
{
    qint64 cacheKiB;
    qint64 mmapBytes;
};
SQLiteCacheSettings sqliteCacheSettings(qint64 databaseBytes);

}  // namespace RPX::SQL
