#pragma once

#include <QString>

// Where the agent keeps its configuration, its settings file and its block-map folders.
namespace SHARED::defines::Path {

namespace ETC::CONFIG {
// RPX_CONFIG_ROOT when set, else the per-user configuration folder + "rpx/"; always ends with '/'.
QString config_root();
// config_root() + "settings.xml".
QString default_settings();
}  // namespace ETC::CONFIG

// Shared disk-image map folder, ending with a separator.
QString diskImageMap();

}  // namespace SHARED::defines::Path

namespace SHARED::functions::files_operations {
// The value of the first XML attribute named `attributeName` anywhere in the file;
// empty when the file or the attribute is missing or the XML is malformed.
QString get_attrib_from_file(const QString& filePath, const QString& attributeName);
}  // namespace SHARED::functions::files_operations

namespace RPX::Defines {

// The process-wide application paths of the agent.
class AppPath
{
public:
    static const AppPath& to();

    QString differentialFileMap() const;  // config_root() + "maps/differential"
    QString diskImageMap() const;         // config_root() + "maps/diskimage"

private:
    AppPath() = default;
};

}  // namespace RPX::Defines
