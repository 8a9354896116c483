#pragma once

// Helpers shared by the tests of the image catalog.

#include "catalog/FileCatalogSupport.h"

#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/agent/DiskImageMetaData.h>
#include <rpxRepository/image/DiskImage.h>
#include <rpxRepository/image/DiskImageVersions.h>

#include <type_traits>

namespace image {

using namespace RPX::SQL;
using filecatalog::utc;

// One getter's value for each row, in the order given.
template <typename Row, typename Value>
QList<std::decay_t<Value>> each(const QList<QSharedPointer<Row>>& rows, Value (Row::*get)() const)
{
    QList<std::decay_t<Value>> values;
    for (const auto& row : rows)
        values << (row.data()->*get)();
    return values;
}

// PostgreSQL enforces the destination key of diskimage, so images need a real destination row.
inline quint64 addDestination(DatabaseConnection& connection, const QString& account)
{
    Destination destination;
    destination.setCloudType("S3");
    destination.setAccountId(account);
    return destination.insert(connection) ? destination.id() : 0;
}

inline QSharedPointer<DiskImage> addImage(DatabaseConnection& connection, quint64 destinationId,
                                          const QDateTime& created, bool blockLevel, bool needDecrypt = false)
{
    RPX::Info::DiskImageMetaData metaData;
    metaData.setCreateDate(created);
    metaData.setBlockLevelBackup(blockLevel);
    auto image = DiskImage::create(metaData);
    image->setDestinationId(destinationId);
    image->setIsBlockLevel(blockLevel);
    image->setNeedDecrypt(needDecrypt);
    return image->insert(connection) ? image : nullptr;
}

inline QSharedPointer<CloudFileVersion> addVersion(DatabaseConnection& connection, quint64 destinationId,
                                                   const QString& path, const QDateTime& modified, int kind)
{
    QSharedPointer<CloudFileVersion> version(new CloudFileVersion());
    version->setPath(path);
    version->setDateModified(modified);
    version->setAttribute(kind);
    return version->insert(destinationId, connection) ? version : nullptr;
}

inline bool link(DatabaseConnection& connection, quint64 imageId, quint64 versionId)
{
    DiskImageVersions row;
    row.setDiskImageId(imageId);
    row.setVersionId(versionId);
    return row.insert(connection);
}

}  // namespace image
