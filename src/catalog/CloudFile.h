#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QVector>

namespace RPX::SQL {

class Statement;

// One backed-up local file of a destination, identified by its local path; its stored
// versions are rows of cloud_file_versions.
class CloudFile
{
public:
    // How dates are written into the 14-digit date columns of the file-level catalog.
    static const QString DateFormat;

    static QString createTable(DatabaseType type);
    // PostgreSQL only (empty otherwise): the uniqueness of (destination, local path), kept on a
    // digest of the path; part of the schema's indexes.
    static QString uniqueIndex(DatabaseType type);

    bool insert(DatabaseConnection& connection);
    bool update(DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    // The selects fill this object only when a row is found.
    bool select(unsigned long long id, const DatabaseConnection& connection);
    bool select(unsigned long long destinationId, const QString& localPath, const DatabaseConnection& connection);
    bool select(DatabaseConnection& connection);

    static QSharedPointer<CloudFile> select_(unsigned long long destinationId, const QString& localPath,
                                             DatabaseConnection& connection);
    // One page of a destination's files, in no particular order.
    static QList<QSharedPointer<CloudFile>> select_(unsigned long long destinationId, unsigned long long limit,
                                                    unsigned long long offset, const DatabaseConnection& connection);
    // Files of a folder in display-name order; limit 0 lists them all.
    static QList<QSharedPointer<CloudFile>> selectFolder(unsigned long long parentId, unsigned long long limit,
                                                         unsigned long long offset, const DatabaseConnection& connection);
    // Files of a folder whose data is usable; limit 0 lists none.
    static QList<QSharedPointer<CloudFile>> selectFolderUploaded(unsigned long long parentId, unsigned long long limit,
                                                                 unsigned long long offset,
                                                                 const DatabaseConnection& connection);
    // Files whose lower-case name contains nameFilter literally.
    static QList<QSharedPointer<CloudFile>> selectByName(unsigned long long limit, unsigned long long offset,
                                                         unsigned long long destinationId, const QString& nameFilter,
                                                         const DatabaseConnection& connection);

    // Loads the stored file, or registers it together with its folder chain.
    bool selectOrInsert(DatabaseConnection& connection);
    // The same for files of one destination with distinct local paths, set-wise: a lookup per chunk
    // of paths, the folder chains of the new files, an insert per chunk. Fills the id of each (and
    // the parent id of the new ones); the result code. Runs in a transaction of its own unless one is
    // open on the connection.
    static int selectOrInsert(unsigned long long destinationId, QVector<CloudFile>& files,
                              DatabaseConnection& connection);
    // Deletes the file (and optionally its versions), then the folders it leaves empty.
    bool delete_(bool withVersions, DatabaseConnection& connection);

    unsigned long long id() const { return m_id; }
    unsigned long long destinationId() const { return m_destinationId; }
    unsigned long long parentId() const { return m_parentId; }
    const QByteArray& cloudPath() const { return m_cloudPath; }
    const QString& localPath() const { return m_localPath; }
    const QString& name() const { return m_name; }
    const QString& displayName() const { return m_displayName; }
    unsigned long long size() const { return m_size; }
    unsigned long long originalSize() const { return m_originalSize; }
    const QDateTime& dateModified() const { return m_dateModified; }
    signed char isCompressed() const { return m_isCompressed; }
    signed char isEncrypted() const { return m_isEncrypted; }
    signed char isSimple() const { return m_isSimple; }
    bool isBroken() const { return m_isBroken; }
    // Invalid while the file is not deleted locally.
    const QDateTime& dateDeleted() const { return m_dateDeleted; }

    void setId(unsigned long long id) { m_id = id; }
    void setDestinationId(unsigned long long destinationId) { m_destinationId = destinationId; }
    void setParentId(unsigned long long parentId) { m_parentId = parentId; }
    void setCloudPath(const QByteArray& cloudPath) { m_cloudPath = cloudPath; }
    void setLocalPath(const QString& localPath) { m_localPath = localPath; }
    // Stores the text as display name and its lower-case form as name.
    void setName(const QString& name);
    void setDisplayName(const QString& displayName) { m_displayName = displayName; }
    void setSize(unsigned long long size) { m_size = size; }
    void setOriginalSize(unsigned long long originalSize) { m_originalSize = originalSize; }
    void setDateModified(const QDateTime& dateModified) { m_dateModified = dateModified; }
    void setIsCompressed(signed char isCompressed) { m_isCompressed = isCompressed; }
    void setIsEncrypted(signed char isEncrypted) { m_isEncrypted = isEncrypted; }
    void setIsSimple(signed char isSimple) { m_isSimple = isSimple; }
    void setIsBroken(bool isBroken) { m_isBroken = isBroken; }
    void setDateDeleted(const QDateTime& dateDeleted) { m_dateDeleted = dateDeleted; }

private:
    // The values of the insert's columns, in their order.
    QVector<QVariant> fieldValues() const;
    void bindFields(Statement& statement) const;

    unsigned long long m_id = 0;
    unsigned long long m_destinationId = 0;
    unsigned long long m_parentId = 0;
    QByteArray m_cloudPath;
    QString m_localPath;
    QString m_name;
    QString m_displayName;
    unsigned long long m_size = 0;
    unsigned long long m_originalSize = 0;
    QDateTime m_dateModified;
    signed char m_isCompressed = 0;
    signed char m_isEncrypted = 0;
    signed char m_isSimple = 0;
    bool m_isBroken = false;
    // Kept for the agent: read by init and written back unchanged.
    unsigned char m_driveId = 0;
    QDateTime m_dateDeleted;
    unsigned short m_flags = 0;
};

}  // namespace RPX::SQL
