#include "SchemaPrefix.h"

namespace RPX::SQL::Generation {

bool isValidPrefix(const QString& prefix)
{
    for (int i = 0; i < prefix.size(); ++i) {
        const QChar c = prefix.at(i);
        const bool letter = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                            (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('_');
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        if (!letter && !(digit && i > 0))
            return false;
    }
    return true;
}

QString prefixed(const QString& statement, const QString& prefix)
{
    if (!isValidPrefix(prefix))
        return QString();
    return statement.arg(prefix.isEmpty() ? QString() : prefix + QLatin1Char('.'));
}

QDateTime utcDateTime(const QVariant& stored)
{
    if (stored.isNull())
        return QDateTime();
    QDateTime value = stored.toDateTime();
    if (!value.isValid())
        value = QDateTime::fromString(stored.toString(), Qt::ISODateWithMs);
    if (!value.isValid())
        return QDateTime();
    // Text without a zone is UTC by convention; text with an offset names its own instant.
    if (value.timeSpec() == Qt::LocalTime)
        value.setTimeSpec(Qt::UTC);
    return value.toUTC();
}

}  // namespace RPX::SQL::Generation
