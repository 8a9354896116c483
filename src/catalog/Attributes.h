#pragma once

#include <QSet>

// The kinds of stored version, as kept in cloud_file_versions.attributes.
namespace RPX::SQL::Constant::Attributes {

extern const QSet<int> isFileBackup;              // {-1, 0, 1, 4, 8, 9}
extern const QSet<int> isFileDifferentialBackup;  // {2, 3}; kind 3 owns a block map
extern const QSet<int> isDiskImageBackup;         // {5, 6, 7}; kind 6 owns a block map

}  // namespace RPX::SQL::Constant::Attributes
