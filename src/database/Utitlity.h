#pragma once

#include <QDateTime>

namespace RPX::SQL {

class Utitlity
{
public:
    // Same date and clock time to the second, milliseconds dropped, marked UTC without conversion.
    static QDateTime modifiedDateTime(const QDateTime& value);
};

}  // namespace RPX::SQL
