#pragma once

// The driver's own connection handle, for the few things Qt's SQL layer does not expose
// (a PostgreSQL session's status, bulk copy). Null when the driver is of the other engine or closed.

class QSqlDriver;
struct pg_conn;
struct sqlite3;

namespace RPX::SQL::NativeHandle {

pg_conn* postgres(const QSqlDriver* driver);
sqlite3* sqlite(const QSqlDriver* driver);

}  // namespace RPX::SQL::NativeHandle
