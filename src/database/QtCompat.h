#pragma once

// The few spellings that differ between Qt 5.15 and Qt 6. Everything else in the library is written
// in forms both accept; a version check belongs here and nowhere else.

#include <QMap>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>
#include <QString>
#include <QVariant>
#include <QtGlobal>

namespace RPX::SQL::QtCompat {

// A null value of type T, bound as NULL of that type. Qt 6 deprecates QVariant(QVariant::Type) and
// reads a QMetaType::Type given to QVariant as a value; Qt 5's QVariant(int, nullptr) would hold a 0
// that binds as 0, not NULL.
template <typename T>
QVariant null()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QVariant(QMetaType::fromType<T>());
#else
    return QVariant(QVariant::Type(qMetaTypeId<T>()));
#endif
}

// Whether a value binds as NULL, as the SQL drivers of both versions decide: Qt 6's QVariant::isNull
// no longer looks inside, so a null string or byte array counts only here.
inline bool isNull(const QVariant& value)
{
    if (value.isNull())
        return true;
    switch (value.userType()) {
    case QMetaType::QString: return value.toString().isNull();
    case QMetaType::QByteArray: return value.toByteArray().isNull();
    default: return false;
    }
}

// The type name of the PostgreSQL driver's handle: Qt 6 names the struct behind libpq's typedef.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
inline constexpr char PostgresHandleType[] = "pg_conn*";
#else
inline constexpr char PostgresHandleType[] = "PGconn*";
#endif

namespace Detail {
struct ResultAccess : QSqlResult {
    using QSqlResult::boundValueName;
    using QSqlResult::boundValues;
};
}  // namespace Detail

// The bound values by placeholder name, built as Qt 5's QSqlQuery::boundValues() builds its map
// (Qt 6 returns a list by position): the same on both, for binding again and for the log.
inline QMap<QString, QVariant> boundValueMap(const QSqlQuery& query)
{
    const QSqlResult* result = query.result();
    QMap<QString, QVariant> map;
    const auto& values = (result->*(&Detail::ResultAccess::boundValues))();
    for (int i = 0; i < values.size(); ++i)
        map[(result->*(&Detail::ResultAccess::boundValueName))(i)] = values.at(i);
    return map;
}

// SQLite's primary result code as text: Qt 6's driver reports the extended code (2067 for a unique
// constraint), Qt 5's the primary one (19), which is the extended code's low byte.
inline QString sqliteErrorCode(const QSqlError& error)
{
    bool isNumber = false;
    const int code = error.nativeErrorCode().toInt(&isNumber);
    return isNumber ? QString::number(code & 0xff) : error.nativeErrorCode();
}

// The error code as Qt 5 reports it, for every engine (PostgreSQL's SQLSTATE stands as it is).
inline QString nativeErrorCode(const QSqlError& error, const QSqlDriver* driver)
{
    return driver != nullptr && driver->dbmsType() == QSqlDriver::SQLite ? sqliteErrorCode(error)
                                                                         : error.nativeErrorCode();
}

}  // namespace RPX::SQL::QtCompat
