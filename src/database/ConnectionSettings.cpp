#include "ConnectionSettings.h"

#include "agent/KtlDebug.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace RPX::SQL {

namespace {

constexpr qint64 MiB = 1024 * 1024;
// SQLite's own default page cache; below it nothing is gained.
constexpr qint64 MinCache = 2 * MiB;
// Each pooled connection has a cache of its own; with the map covering the file, the cache holds
// mostly pages being written. A larger one cost registration more in filling it than it saved
// (measured at 1 million files).
constexpr qint64 MaxCache = 8 * MiB;
// Reading through the map saves a system call and a copy per page; the map is address space, the
// pages in it are the operating system's cache, shared by every connection. Connections live
// long: the floor leaves a young database room to grow.
constexpr qint64 MinMap = 256 * MiB;
constexpr qint64 MaxMap = 2048 * MiB - 64 * 1024;  // under the 2 GiB default limit of the library

bool run(QSqlDatabase& database, const QString& statement, QVariant* value = nullptr)
{
    QSqlQuery query(database);
    if (!query.exec(statement)) {
        KTL::KtlDebug("SQL").error() << "Error on connection setting" << statement << query.lastError().text();
        return false;
    }
    if (value != nullptr)
        *value = query.next() ? query.value(0) : QVariant();
    return true;
}

}  // namespace

SQLiteCacheSettings sqliteCacheSettings(qint64 databaseBytes)
{
    const qint64 bytes = qMax<qint64>(databaseBytes, 0);
    // The map leaves room for the database to double before a new connection sizes it again.
    return {qBound(MinCache, bytes / 16, MaxCache) / 1024, qBound(MinMap, 2 * bytes, MaxMap)};
}

bool applyConnectionSettings(QSqlDatabase& database)
{
    const QSqlDriver* driver = database.driver();
    if (driver == nullptr || driver->dbmsType() != QSqlDriver::SQLite)
        return database.isOpen();
    QVariant pages, pageSize;
    if (!run(database, QStringLiteral("PRAGMA page_count"), &pages) ||
        !run(database, QStringLiteral("PRAGMA page_size"), &pageSize))
        return false;
    const SQLiteCacheSettings settings = sqliteCacheSettings(pages.toLongLong() * pageSize.toLongLong());
    // A negative cache size is in KiB rather than pages.
    return run(database, QStringLiteral("PRAGMA cache_size = -%1").arg(settings.cacheKiB)) &&
           run(database, QStringLiteral("PRAGMA mmap_size = %1").arg(settings.mmapBytes));
}

bool openConfigured(const QString& connectionName)
{
    QSqlDatabase database = QSqlDatabase::database(connectionName, true);
    if (!database.isOpen()) {
        KTL::KtlDebug("SQL").error() << "Error on open connection:" << database.lastError().text();
        return false;
    }
    return applyConnectionSettings(database);
}

}  // namespace RPX::SQL
