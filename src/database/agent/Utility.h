#pragma once

#include <QString>
#include <QUuid>

namespace KTL::Utility {

namespace Uuid2String {
// 36 lower-case characters without braces, e.g. "0f8fad5b-d9cb-469f-a165-70867728950e".
QString windows(const QUuid& uuid);
}  // namespace Uuid2String

namespace StringFilters {
QString removeTrailingChar(const QString& text, QChar character);
}  // namespace StringFilters

namespace RandomString {
// Letters and digits from a cryptographically seeded generator.
QString generateSimple(int length);
}  // namespace RandomString

// A printable description of a path and what lies on it, for diagnostics.
QString listOfPathInfo(const QString& path);

}  // namespace KTL::Utility
