#pragma once

namespace RPX::SQL {

// The engine a connection speaks. Any other value is an unknown type.
enum class DatabaseType : int { SQLite = 1, PostgreSQL = 2 };

}  // namespace RPX::SQL
