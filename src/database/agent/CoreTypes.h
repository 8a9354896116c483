#pragma once

// Enumerations of the agent's core library that a generation's metadata stores as integers.
// The catalog gives them no meaning of its own: every value is stored and returned unchanged.

namespace KTL::Core {

namespace Encryption {
enum class Algorithm : int {};
}

namespace Compression {
enum class Algorithm : int {};
}

namespace Platform {
enum class Type : int {};
}

}  // namespace KTL::Core
