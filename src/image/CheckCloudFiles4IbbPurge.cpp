#include "CheckCloudFiles4IbbPurge.h"

#include "DiskImageVersions.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/database/agent/DiskImageMetaData.h>
#include <rpxRepository/database/agent/KtlDebug.h>

namespace RPX::SQL {

namespace {

constexpr int MetadataKind = 7;
constexpr int BlockLevelBaseKind = 6;

const QString MetadataFilePath = QStringLiteral("/RPX_DiskImage/DiskImageMetadata.xml");

}  // namespace

CheckCloudFiles4IbbPurge::CheckCloudFiles4IbbPurge(Type type, quint64 destinationId)
    : m_type(type), m_destinationId(destinationId)
{
}

CheckCloudFiles4IbbPurge::~CheckCloudFiles4IbbPurge() = default;

QList<QSharedPointer<DiskImage>> CheckCloudFiles4IbbPurge::candidates(DatabaseConnection& connection) const
{
    return DiskImage::select(m_destinationId, 0, 0, true, connection);
}

QList<QSharedPointer<CloudFileVersion>> CheckCloudFiles4IbbPurge::fileVersions(
    QList<QSharedPointer<DiskImage>> images, qint64 destinationId, DatabaseConnection& connection)
{
    QList<QSharedPointer<CloudFileVersion>> result;
    if (!connection.isOpen() || destinationId <= 0)
        return result;
    QSharedPointer<CloudFile> metadataFile;
    for (const QSharedPointer<DiskImage>& image : images) {
        if (image.isNull())
            continue;
        if (metadataFile.isNull()) {
            metadataFile = CloudFile::select_(quint64(destinationId), MetadataFilePath, connection);
            if (metadataFile.isNull()) {
                KTL::KtlDebug("SQL").error() << "Error on load disk image metadata file.";
                return result;
            }
        }
        // The image's own metadata document was stored when the image was taken.
        const auto metadata =
            CloudFileVersion::select_(metadataFile->id(), image->dateCreate(), MetadataKind, connection);
        if (metadata.isNull()) {
            KTL::KtlDebug("SQL").error() << "Error on load IBB metadata file version";
            return result;
        }
        result.append(metadata);

        const auto rows = DiskImageVersions::select(image->id(), connection);
        for (const auto& row : rows) {
            const auto version = CloudFileVersion::selectById(row->versionId(), connection);
            if (version.isNull()) {
                KTL::KtlDebug("SQL").warning() << "cloud file version not exist, id:" << row->versionId();
                continue;
            }
            result.append(version);
            // A block-level revision is useless without the base it was taken against.
            const auto base = CloudFileVersion::selectPointInTime(version->fileId(), BlockLevelBaseKind,
                                                                  version->dateModified(), connection);
            if (!base.isNull())
                result.append(base);
        }
    }
    return result;
}

CheckCloudFiles4IbbPurgeAll::CheckCloudFiles4IbbPurgeAll(quint64 destinationId)
    : CheckCloudFiles4IbbPurge(All, destinationId)
{
}

CheckCloudFiles4IbbPurge::Selection CheckCloudFiles4IbbPurgeAll::versions(DatabaseConnection& connection)
{
    Selection selection;
    const auto images = candidates(connection);
    for (const auto& image : images)
        selection.append({image, Explicit});
    return selection;
}

CheckCloudFiles4IbbPurgeCurrent::CheckCloudFiles4IbbPurgeCurrent(quint64 destinationId, const QDateTime& pointInTime)
    : CheckCloudFiles4IbbPurge(Current, destinationId), m_pointInTime(pointInTime)
{
    m_pointInTime.setTimeSpec(Qt::UTC);
}

CheckCloudFiles4IbbPurge::Selection CheckCloudFiles4IbbPurgeCurrent::versions(DatabaseConnection& connection)
{
    Selection selection;
    const auto images = candidates(connection);
    for (const auto& image : images) {
        if (image.isNull())
            continue;
        if (selection.isEmpty()) {
            if (image->dateCreate() >= m_pointInTime)
                selection.append({image, Explicit});
            continue;
        }
        // The images that build on the selected one go with it, up to the next full image.
        const auto metaData = RPX::Info::DiskImageMetaData::createFromXml(image->xml());
        if (metaData.isNull())
            continue;
        if (!metaData->blockLevelBackup())
            break;
        selection.append({image, Explicit});
    }
    return selection;
}

CheckCloudFiles4IbbPurgePolicy::CheckCloudFiles4IbbPurgePolicy(quint64 destinationId)
    : CheckCloudFiles4IbbPurge(Policy, destinationId)
{
}

void CheckCloudFiles4IbbPurgePolicy::deleteVersionOlder(bool enabled, long days, bool ageRuleOption)
{
    m_deleteOlderEnabled = enabled;
    m_olderThanDays = days;
    m_ageRuleOption = ageRuleOption;
}

void CheckCloudFiles4IbbPurgePolicy::keepNumberOfVersion(bool enabled, qint64 count)
{
    m_keepNumberEnabled = enabled;
    m_keepNumber = count;
}

CheckCloudFiles4IbbPurge::Selection CheckCloudFiles4IbbPurgePolicy::versions(DatabaseConnection& connection)
{
    Selection selection;
    if (!m_deleteOlderEnabled && !m_keepNumberEnabled)
        return selection;
    QList<QSharedPointer<DiskImage>> remaining;
    for (const auto& image : candidates(connection)) {
        if (!image.isNull())
            remaining.append(image);
    }

    if (m_deleteOlderEnabled) {
        const QDateTime now = m_referenceTime.isValid() ? m_referenceTime.toUTC() : QDateTime::currentDateTimeUtc();
        const QDateTime limit = now.addDays(-qint64(m_olderThanDays));
        while (!remaining.isEmpty() && remaining.first()->dateCreate() < limit)
            selection.append({remaining.takeFirst(), Retention});
    }
    if (m_keepNumberEnabled) {
        while (qint64(remaining.size()) > m_keepNumber)
            selection.append({remaining.takeFirst(), VersionCount});
    }

    // A block-level image left behind needs the images it builds on: give back the selected tail
    // down to and including the newest full image.
    if (!remaining.isEmpty() && !remaining.first()->isBlockLevel())
        return selection;
    while (!selection.isEmpty()) {
        if (!selection.takeLast().first->isBlockLevel())
            break;
    }
    return selection;
}

}  // namespace RPX::SQL
