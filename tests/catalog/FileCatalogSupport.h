#pragma once

// Small helpers shared by the tests of the file-level catalog.

#include <rpxRepository/database/DatabaseConnection.h>

#include <QDate>
#include <QDateTime>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QVariant>

namespace filecatalog {

inline QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

inline bool run(RPX::SQL::DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql);
}

inline QVariant scalar(RPX::SQL::DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

inline int rows(RPX::SQL::DatabaseConnection& connection, const QString& table)
{
    return scalar(connection, QStringLiteral("select count(*) from ") + table).toInt();
}

// Display names of a listing of folders or files, in the order given.
template <typename Row>
QStringList displayNames(const QList<QSharedPointer<Row>>& list)
{
    QStringList names;
    for (const auto& row : list)
        names << row->displayName();
    return names;
}

}  // namespace filecatalog
