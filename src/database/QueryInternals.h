#pragma once

// Two things QSqlQuery keeps behind copies: its bound values (handed out as a freshly built map)
// and the current result's columns (handed out with the row's values copied in). Both are read
// here from the query's QSqlResult through its protected accessors, reached the standard way: a
// member pointer taken through a derived class.

#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVariant>
#include <QVector>

namespace RPX::SQL::QueryInternals {

struct ResultAccess : QSqlResult {
    using QSqlResult::boundValues;
    using QSqlResult::prepare;
    using QSqlResult::record;
    using QSqlResult::setQuery;
};

// The values bound to the query, by position, in place.
inline QVector<QVariant>& boundValues(const QSqlQuery& query)
{
    return (query.result()->*(&ResultAccess::boundValues))();
}

// Names and types of the current result's columns, without the row's values.
inline QSqlRecord columns(const QSqlQuery& query)
{
    return (query.result()->*(&ResultAccess::record))();
}

// Prepares the text as it is written, by the driver itself. QSqlQuery::prepare turns each "?" into
// a named placeholder for SQLite, which numbers named placeholders by searching a list of them: a
// statement of many rows would take a time growing with the square of its values to prepare.
inline bool prepareAsWritten(QSqlQuery& query, const QString& sql)
{
    auto* result = const_cast<QSqlResult*>(query.result());
    (result->*(&ResultAccess::setQuery))(sql);
    return (result->*(&ResultAccess::prepare))(sql);
}

}  // namespace RPX::SQL::QueryInternals
