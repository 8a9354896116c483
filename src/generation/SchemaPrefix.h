#pragma once

// Statement texts of the generation tables and the schema prefix they carry.
//
// The prefix is the schema name under which the caller attached a generation database to its
// connection (empty for the connection's own database, "g2" after "ATTACH DATABASE ... AS g2").
// It is the one name pasted into the statements, so it must be the caller's attach name and never
// text from a user; a prefix that is not a plain identifier is refused.

#include <QDateTime>
#include <QString>
#include <QVariant>

namespace RPX::SQL::Generation {

bool isValidPrefix(const QString& prefix);

// The statement with "%1" replaced by "<prefix>." (by nothing for an empty prefix);
// empty when the prefix is refused.
QString prefixed(const QString& statement, const QString& prefix);

// A DATETIME column read back as a UTC date-time; invalid for NULL or unreadable text.
QDateTime utcDateTime(const QVariant& stored);

}  // namespace RPX::SQL::Generation
