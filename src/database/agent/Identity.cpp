#include "Identity.h"

#include <QSysInfo>

namespace SHARED::defines::common {

QString build_version()
{
    return QStringLiteral(RPX_PROJECT_VERSION);
}

bool is_vro()
{
    return qEnvironmentVariable("RPX_VRO") == QLatin1String("1");
}

}  // namespace SHARED::defines::common

namespace KTL::Core {

QString Version::number()
{
    return QStringLiteral(RPX_PROJECT_VERSION);
}

int currentCpuArchitecture()
{
    const QString arch = QSysInfo::currentCpuArchitecture();
    if (arch == QLatin1String("x86_64"))
        return 1;
    if (arch == QLatin1String("i386"))
        return 2;
    if (arch == QLatin1String("arm64"))
        return 3;
    if (arch == QLatin1String("arm"))
        return 4;
    return 0;
}

}  // namespace KTL::Core

namespace KTL::Network::ComputerName {

QString name()
{
    return QSysInfo::machineHostName();
}

}  // namespace KTL::Network::ComputerName
