#pragma once

// Enumerations of the agent's archive library that the generation catalog stores as integers.
// Only the values the catalog names are listed; any other value of the underlying type is stored
// and returned unchanged.

#include <QMap>
#include <QString>

namespace KTL::Archive {

enum class Type : int {};
enum class GenerationType : int {};

enum class FullReason : int {
    FirstRun = 0,
    ForceFull = 1,
    EncryptionKeyLength = 2,
    EncryptionAlgorithm = 3,
    CompressionAlgorithm = 4,
    BlockSize = 5,
    Broken = 6,
    ConsistencyCheckFailed = 7,
    DeduplicationDatabaseMissing = 8,
    Hash = 9,
    Unknown = 1000,
};

enum class BrokenType : int {
    NotBroken = 0,
    ToPurge = 3,
    ToPurgeAfterSync = 10,
    ToPurgeRemoved = 11,
};

enum class BackupType : int {
    Full = 0,
    SyntheticFull = 1,
    Incremental = 2,
    Unknown = 1000,
};

enum class BackupResult : int {};
enum class ConsistencyCheckResult : int {};

namespace SnapshotType {
enum Value : int {};
}

// Names for log lines and user interfaces; built when the library is loaded, read-only afterwards.
extern const QMap<FullReason, QString> FullReasonToString;
extern const QMap<BrokenType, QString> BrokenTypeToString;
extern const QMap<BackupType, QString> BackupTypeToString;

}  // namespace KTL::Archive
