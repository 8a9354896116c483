#pragma once

#include "DatabaseType.h"

#include <QSqlDatabase>
#include <QString>

namespace RPX::SQL {

// Locates, opens and prepares the repository database once per process.
class Database
{
public:
    static QString connectionString();
    static QString corruptedPath();

    static bool init(bool setAsideOnError);
    static bool initSQLite(const QString& path);
    static bool initPostgreSQL(const QString& connectionString);

    static bool dbLastError();
    static void resetDbLastError();

    static bool shrink();

    // Host, port, user, password and database of a "PGSQL;host:…;port:…;user:…;password:…;database:…"
    // location, set on a connection that is not yet open.
    static void setPostgreSQLLocation(QSqlDatabase& database, const QString& connectionString);

private:
    static bool open(const QString& connectionString);
    static void setAside(const QString& connectionString, const QString& folder);

    static bool _dbLastError;
};

}  // namespace RPX::SQL
