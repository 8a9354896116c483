#include "ArchiveTypes.h"

namespace KTL::Archive {

const QMap<FullReason, QString> FullReasonToString = {
    {FullReason::FirstRun, QStringLiteral("FirstRun")},
    {FullReason::ForceFull, QStringLiteral("ForceFull")},
    {FullReason::EncryptionKeyLength, QStringLiteral("EncryptionKeyLength")},
    {FullReason::EncryptionAlgorithm, QStringLiteral("EncryptionAlgorithm")},
    {FullReason::CompressionAlgorithm, QStringLiteral("CompressionAlgorithm")},
    {FullReason::BlockSize, QStringLiteral("BlockSize")},
    {FullReason::Broken, QStringLiteral("Broken")},
    {FullReason::ConsistencyCheckFailed, QStringLiteral("ConsistencyCheckFailed")},
    {FullReason::DeduplicationDatabaseMissing, QStringLiteral("DeduplicationDatabaseMissing")},
    {FullReason::Hash, QStringLiteral("Hash")},
    {FullReason::Unknown, QStringLiteral("Unknown")},
};

const QMap<BrokenType, QString> BrokenTypeToString = {
    {BrokenType::NotBroken, QStringLiteral("NotBroken")},
    {BrokenType::ToPurge, QStringLiteral("ToPurge")},
    {BrokenType::ToPurgeAfterSync, QStringLiteral("ToPurgeAfterSync")},
    {BrokenType::ToPurgeRemoved, QStringLiteral("ToPurgeRemoved")},
};

const QMap<BackupType, QString> BackupTypeToString = {
    {BackupType::Full, QStringLiteral("Full")},
    {BackupType::SyntheticFull, QStringLiteral("SyntheticFull")},
    {BackupType::Incremental, QStringLiteral("Incremental")},
    {BackupType::Unknown, QStringLiteral("Unknown")},
};

}  // namespace KTL::Archive
