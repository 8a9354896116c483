#include "Attributes.h"

namespace RPX::SQL::Constant::Attributes {

const QSet<int> isFileBackup = {-1, 0, 1, 4, 8, 9};
const QSet<int> isFileDifferentialBackup = {2, 3};
const QSet<int> isDiskImageBackup = {5, 6, 7};

}  // namespace RPX::SQL::Constant::Attributes
