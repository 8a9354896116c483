#include "BulkRows.h"

#include "SqlSupport.h"

namespace RPX::SQL {

int BulkRows::valueLimit(DatabaseType type)
{
    return type == DatabaseType::PostgreSQL ? 65535 : 32766;
}

int BulkRows::rowsPerStatement(DatabaseType type, int width, int fixed)
{
    return qMax(1, (valueLimit(type) - fixed) / qMax(1, width));
}

QString BulkRows::row(int width)
{
    QString text = QStringLiteral("(");
    for (int i = 0; i < width; ++i)
        text += i == 0 ? QStringLiteral("?") : QStringLiteral(", ?");
    return text + QLatin1Char(')');
}

QString BulkRows::rows(int count, const QString& row)
{
    QString text;
    text.reserve(count * (row.size() + 2));
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text += QStringLiteral(", ");
        text += row;
    }
    return text;
}

QString BulkRows::textArray(const QStringList& texts, int first, int count)
{
    QString literal = QStringLiteral("{");
    for (int i = first; i < first + count; ++i) {
        if (i > first)
            literal += QLatin1Char(',');
        literal += QLatin1Char('"');
        for (const QChar c : texts.at(i)) {
            if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
                literal += QLatin1Char('\\');
            literal += c;
        }
        literal += QLatin1Char('"');
    }
    return literal + QLatin1Char('}');
}

int BulkRows::bind(Statement& statement, int position, const QVector<QVariant>& values)
{
    for (const QVariant& value : values)
        statement.bindAt(position++, value);
    return position;
}

}  // namespace RPX::SQL
