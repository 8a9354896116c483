#include "NativeHandle.h"

#include "QtCompat.h"

#include <QSqlDriver>
#include <QVariant>
#include <cstring>

namespace RPX::SQL::NativeHandle {

namespace {

// The handle is a pointer wrapped in a QVariant whose type name says which one.
void* pointer(const QSqlDriver* driver, const char* typeName)
{
    if (driver == nullptr || !driver->isOpen())
        return nullptr;
    const QVariant handle = driver->handle();
    if (!handle.isValid() || std::strcmp(handle.typeName(), typeName) != 0)
        return nullptr;
    return *static_cast<void* const*>(handle.constData());
}

}  // namespace

pg_conn* postgres(const QSqlDriver* driver)
{
    return static_cast<pg_conn*>(pointer(driver, QtCompat::PostgresHandleType));
}

sqlite3* sqlite(const QSqlDriver* driver)
{
    return static_cast<sqlite3*>(pointer(driver, "sqlite3*"));
}

}  // namespace RPX::SQL::NativeHandle
