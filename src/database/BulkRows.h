#pragma once

// Multi-row statements: the rows of a set bound by position ("?") into as few statements as the
// engine's limit on bound values allows.

#include "DatabaseType.h"
#include "ExecQuery.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace RPX::SQL {

class Statement;

class BulkRows
{
public:
    // Values one statement may bind: SQLite's default limit, PostgreSQL's protocol limit.
    static int valueLimit(DatabaseType type);
    // Rows of `width` values that one statement takes when `fixed` other values are bound beside them.
    static int rowsPerStatement(DatabaseType type, int width, int fixed = 0);

    // "(?, ?, ?)" for a row of `width` values.
    static QString row(int width);
    // `count` copies of one row's text, separated by commas.
    static QString rows(int count, const QString& row);

    // A PostgreSQL array literal of the texts, to be bound as one value ("cast(? as text[])"): a
    // set of any size in one value, with no statement text growing with it.
    static QString textArray(const QStringList& texts, int first, int count);

    // Binds the values at consecutive positions from `position`; the position after them.
    static int bind(Statement& statement, int position, const QVector<QVariant>& values);

    // Calls chunk(first, count) over [0, total) in pieces of at most `size` items; the first
    // result that is not Ok ends the run and is returned.
    template <class Chunk>
    static int forEachChunk(int total, int size, Chunk chunk)
    {
        for (int first = 0; first < total; first += size) {
            const int code = chunk(first, qMin(size, total - first));
            if (code != Result::Ok)
                return code;
        }
        return Result::Ok;
    }
};

}  // namespace RPX::SQL
