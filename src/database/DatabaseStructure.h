#pragma once

#include "DatabaseConnection.h"

namespace RPX::SQL {

// Gives a database without tables the whole main schema: tables, the metadata row, indexes.
bool createDatabaseStructure(DatabaseConnection& connection);

}  // namespace RPX::SQL
