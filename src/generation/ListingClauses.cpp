#include "ListingClauses.h"

#include "SchemaPrefix.h"

namespace RPX::SQL::Generation {

QString joinedIds(const QList<quint64>& ids)
{
    QStringList numbers;
    numbers.reserve(ids.size());
    for (quint64 id : ids)
        numbers << QString::number(id);
    return numbers.join(QLatin1Char(','));
}

QString limitClause(qint64 limit)
{
    return limit > 0 ? QStringLiteral("limit ") + QString::number(limit) : QString();
}

QString offsetClause(qint64 offset)
{
    return offset > 0 ? QStringLiteral("offset ") + QString::number(offset) : QString();
}

QString filled(const QString& statement, const QString& prefix, const QStringList& clauses)
{
    QString sql = prefixed(statement, prefix);
    if (sql.isEmpty())
        return sql;
    // Each arg() takes the lowest placeholder left; no clause carries a "%" of its own.
    for (const QString& clause : clauses)
        sql = sql.arg(clause);
    return sql;
}

QString forRestorePoints(const QList<quint64>& restorePointIds, const QString& withSet, const QString& withoutSet,
                         const QString& prefix, QStringList clauses)
{
    if (restorePointIds.isEmpty())
        return filled(withoutSet, prefix, clauses);
    clauses.prepend(joinedIds(restorePointIds));
    return filled(withSet, prefix, clauses);
}

}  // namespace RPX::SQL::Generation
