#pragma once

#include "DatabaseConnection.h"
#include "DatabaseType.h"

#include <QString>

namespace RPX::SQL {

// The one row that says which product and schema version created the repository.
class MetaData
{
public:
    static const QString Version;  // current schema version of the main database

    static QString createTable(DatabaseType type);
    bool init(DatabaseConnection& connection) const;
};

}  // namespace RPX::SQL
