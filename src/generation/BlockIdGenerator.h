#pragma once

#include <rpxRepository/database/DatabaseConnection.h>

#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// Hands out block ids from the row 'block_id_generator' of SQLite's SQLITE_SEQUENCE, which the
// AUTOINCREMENT of the otherwise unused table block_id_generator brings into existence.
class BlockIdGenerator
{
public:
    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);
    // The statement that sets the counter to 0 when a generation database is created.
    static QString init(const QString& prefix);

    // The next block id (the first is 1), or -1 on any failure. An id once handed out is never
    // handed out again by the same database, also to callers on other connections.
    static qint64 next(const QString& prefix, DatabaseConnection& connection);
};

}  // namespace RPX::SQL::Generation
