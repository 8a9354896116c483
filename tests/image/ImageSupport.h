#pragma once

// Helpers shared by the tests of the image catalog.

#include "catalog/FileCatalogSupport.h"

#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/agent/DiskImageMetaData.h>
#include <rpxRepository/image/DiskImage.h>
#include <rpxRepository/image/DiskImageVersions.h>

namespace image {

using filecatalog::utc;

// PostgreSQL enforces the destination key of diskimage, so images need a real destination row.
inline quint64 addDestination(RPX::SQL::DatabaseConnection& connection, const QString& account)
{
    RPX::SQL::Destination destination;
    destination.setCloudType("S3");
    destination.setAccountId(account);
    return destination.insert(connection) ? destination.id() : 0;
}

inline QSharedPointer<RPX::SQL::DiskImage> addImage(RPX::SQL::DatabaseConnection& connection, quint64 destinationId,
                                                    const QDateTime& created, bool blockLevel,
                                                    bool needDecrypt = false)
{
    RPX::Info::DiskImageMetaData metaData;
    metaData.setCreateDate(created);
    metaData.setBlockLevelBackup(blockLevel);
    auto image = RPX::SQL::DiskImage::create(metaData);
    image->setDestinationId(destinationId);
    image->setIsBlockLevel(blockLevel);
    image->setNeedDecrypt(needDecrypt);
    return image->insert(connection) ? image : nullptr;
}

inline QSharedPointer<RPX::SQL::CloudFileVersion> addVersion(RPX::SQL::DatabaseConnection& connection,
                                                             quint64 destinationId, const QString& path,
                                                             const QDateTime& modified, int kind)
{
    QSharedPointer<RPX::SQL::CloudFileVersion> version(new RPX::SQL::CloudFileVersion());
    version->setPath(path);
    version->setDateModified(modified);
    version->setAttribute(kind);
    return version->insert(destinationId, connection) ? version : nullptr;
}

inline bool link(RPX::SQL::DatabaseConnection& connection, quint64 imageId, quint64 versionId)
{
    RPX::SQL::DiskImageVersions row;
    row.setDiskImageId(imageId);
    row.setVersionId(versionId);
    return row.insert(connection);
}

}  // namespace image
