#include "ConfigPaths.h"

#include <QFile>
#include <QStandardPaths>
#include <QXmlStreamReader>

namespace SHARED::defines::Path {

namespace ETC::CONFIG {

QString config_root()
{
    QString root = qEnvironmentVariable("RPX_CONFIG_ROOT");
    if (root.isEmpty())
        root = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/rpx/");
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return root;
}

QString default_settings()
{
    return config_root() + QStringLiteral("settings.xml");
}

}  // namespace ETC::CONFIG

QString diskImageMap()
{
    return ETC::CONFIG::config_root() + QStringLiteral("maps/diskimage/");
}

}  // namespace SHARED::defines::Path

namespace SHARED::functions::files_operations {

QString get_attrib_from_file(const QString& filePath, const QString& attributeName)
{
    QFile file(filePath);
    if (attributeName.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QString();

    QXmlStreamReader xml(&file);
    QString found;
    bool haveValue = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!haveValue && xml.isStartElement()) {
            const QXmlStreamAttributes attributes = xml.attributes();
            for (const QXmlStreamAttribute& attribute : attributes) {
                if (attribute.qualifiedName() == attributeName) {
                    found = attribute.value().toString();
                    haveValue = true;
                    break;
                }
            }
        }
    }
    // Read to the end: a value from a file that turns out malformed is not trusted.
    if (xml.hasError())
        return QString();
    return found;
}

}  // namespace SHARED::functions::files_operations

namespace RPX::Defines {

const AppPath& AppPath::to()
{
    static const AppPath instance;
    return instance;
}

QString AppPath::differentialFileMap() const
{
    return SHARED::defines::Path::ETC::CONFIG::config_root() + QStringLiteral("maps/differential");
}

QString AppPath::diskImageMap() const
{
    return SHARED::defines::Path::ETC::CONFIG::config_root() + QStringLiteral("maps/diskimage");
}

}  // namespace RPX::Defines
