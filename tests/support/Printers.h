#pragma once

// Readable values in test failure messages.

#include <rpxRepository/database/DatabaseType.h>

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <ostream>

inline void PrintTo(const QString& value, std::ostream* os)
{
    *os << '"' << value.toStdString() << '"';
}

inline void PrintTo(const QStringList& value, std::ostream* os)
{
    *os << '{';
    for (int i = 0; i < value.size(); ++i)
        *os << (i ? ", \"" : "\"") << value[i].toStdString() << '"';
    *os << '}';
}

inline void PrintTo(const QByteArray& value, std::ostream* os)
{
    *os << "QByteArray(" << value.toHex().toStdString() << ')';
}

inline void PrintTo(const QDateTime& value, std::ostream* os)
{
    *os << (value.isValid() ? value.toString(Qt::ISODateWithMs).toStdString() : std::string("invalid"));
}

namespace RPX::SQL {
inline void PrintTo(DatabaseType type, std::ostream* os)
{
    *os << (type == DatabaseType::PostgreSQL ? "PostgreSQL" : type == DatabaseType::SQLite ? "SQLite" : "unknown");
}
}  // namespace RPX::SQL
