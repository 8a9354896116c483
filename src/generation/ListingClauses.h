#pragma once

// Pieces the folder and file lookups write into their statement texts. Only the validated schema
// prefix and numbers the classes format themselves get there; everything else is bound.

#include <QList>
#include <QString>
#include <QStringList>

namespace RPX::SQL::Generation {

// The restore-point ids as an "in (...)" list: decimal ids joined by ",".
QString joinedIds(const QList<quint64>& ids);

// "limit <n>" when limit is above 0, else empty.
QString limitClause(qint64 limit);
// "offset <n>" when offset is above 0, else empty.
QString offsetClause(qint64 offset);

// The statement with %1 the prefix (see prefixed) and %2, %3, ... the given clauses in order;
// empty when the prefix is refused.
QString filled(const QString& statement, const QString& prefix, const QStringList& clauses);

// The statement variant for a restore-point set: `withSet`, its %2 the joined ids and the clauses
// after them, or, for an empty set (all restore points), `withoutSet` with the clauses from %2 on.
QString forRestorePoints(const QList<quint64>& restorePointIds, const QString& withSet, const QString& withoutSet,
                         const QString& prefix, QStringList clauses = {});

}  // namespace RPX::SQL::Generation
