#pragma once

#include <QString>

// Who and what the agent is: versions, edition, machine.
namespace SHARED::defines::common {
QString build_version();  // the project version
// False unless RPX_VRO is "1"; read on every call so tests can switch it.
bool is_vro();
}  // namespace SHARED::defines::common

namespace KTL::Core {
namespace Version {
QString number();
}
// QSysInfo::currentCpuArchitecture() as a number: 1 x86_64, 2 i386, 3 arm64, 4 arm, 0 other.
int currentCpuArchitecture();
}  // namespace KTL::Core

namespace KTL::Network::ComputerName {
QString name();
}
