#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/agent/DiskImageMetaData.h>

#include <QDateTime>
#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>

namespace RPX::SQL {

// One disk or volume image stored at a destination; the file versions that make it up are rows
// of diskimage_versions.
class DiskImage
{
public:
    using PlatformType = RPX::Info::DiskImageMetaData::PlatformType;

    static QString createTable(DatabaseType type);

    // A new image described by the metadata; destination, folder name and the block-level and
    // need-decrypt flags are left to the caller.
    static QSharedPointer<DiskImage> create(const RPX::Info::DiskImageMetaData& metaData);

    bool insert(DatabaseConnection& connection);
    // Deletes the image, then its version rows; the rows stay when the image cannot be deleted.
    bool delete_(DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    // Whether the destination has an image that is readable as it is, or one that needs decrypting.
    static bool hasData(quint64 destinationId, DatabaseConnection& connection);
    static bool hasEncryptedData(quint64 destinationId, DatabaseConnection& connection);

    // The newest image created at or before upTo (any image when upTo is invalid); null when none.
    static QSharedPointer<DiskImage> select(quint64 destinationId, const QDateTime& upTo,
                                            DatabaseConnection& connection);
    static QSharedPointer<DiskImage> selectLatestVersion(quint64 destinationId, DatabaseConnection& connection);
    // Images oldest first; limit and offset both 0 list them all.
    static QList<QSharedPointer<DiskImage>> select(quint64 destinationId, quint64 limit, quint64 offset,
                                                   bool withoutNeedDecrypt, DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    quint64 size() const { return m_size; }
    quint64 originalSize() const { return m_originalSize; }
    const QDateTime& dateCreate() const { return m_dateCreate; }
    bool isCompressed() const { return m_isCompressed; }
    bool isEncrypted() const { return m_isEncrypted; }
    const QString& backupFolderName() const { return m_backupFolderName; }
    quint64 destinationId() const { return m_destinationId; }
    const QString& hostName() const { return m_hostName; }
    const QString& xml() const { return m_xml; }
    PlatformType platformType() const { return m_platformType; }
    bool needDecrypt() const { return m_needDecrypt; }
    bool isBlockLevel() const { return m_isBlockLevel; }
    bool isFull() const { return !m_isBlockLevel; }
    const QString& displayName() const { return m_hostName; }

    void setId(quint64 id) { m_id = id; }
    void setSize(quint64 size) { m_size = size; }
    void setOriginalSize(quint64 originalSize) { m_originalSize = originalSize; }
    void setDateCreate(const QDateTime& dateCreate) { m_dateCreate = dateCreate; }
    void setIsCompressed(bool isCompressed) { m_isCompressed = isCompressed; }
    void setIsEncrypted(bool isEncrypted) { m_isEncrypted = isEncrypted; }
    void setBackupFolderName(const QString& backupFolderName) { m_backupFolderName = backupFolderName; }
    void setDestinationId(quint64 destinationId) { m_destinationId = destinationId; }
    void setHostName(const QString& hostName) { m_hostName = hostName; }
    void setXml(const QString& xml) { m_xml = xml; }
    void setPlatformType(PlatformType platformType) { m_platformType = platformType; }
    void setNeedDecrypt(bool needDecrypt) { m_needDecrypt = needDecrypt; }
    void setIsBlockLevel(bool isBlockLevel) { m_isBlockLevel = isBlockLevel; }

private:
    quint64 m_id = 0;
    quint64 m_size = 0;
    quint64 m_originalSize = 0;
    QDateTime m_dateCreate;
    bool m_isCompressed = false;
    bool m_isEncrypted = false;
    QString m_backupFolderName;
    quint64 m_destinationId = 0;
    QString m_hostName;
    QString m_xml;
    // The column's default.
    PlatformType m_platformType = PlatformType(1);
    bool m_needDecrypt = false;
    bool m_isBlockLevel = false;
};

}  // namespace RPX::SQL
