#include "Utitlity.h"

namespace RPX::SQL {

QDateTime Utitlity::modifiedDateTime(const QDateTime& value)
{
    const QTime time = value.time();
    return QDateTime(value.date(), QTime(time.hour(), time.minute(), time.second()), Qt::UTC);
}

}  // namespace RPX::SQL
