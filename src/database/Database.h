#pragma once

#include "DatabaseType.h"

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

private:
    static bool open(const QString& connectionString);
    static void setAside(const QString& connectionString, const QString& folder);

    static bool _dbLastError;
};

}  // namespace RPX::SQL
