#pragma once

#include "Attributes.h"
#include "CloudFile.h"

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

// One stored state of a cloud file (or one piece of a disk image): where its data lies, the local
// state it was taken from, how it was stored and when it may be purged.
class CloudFileVersion
{
public:
    static QString createTable(DatabaseType type);

    // Registers the file first when fileId is 0.
    bool insert(unsigned long long destinationId, DatabaseConnection& connection);
    // Registers every version of the list as insert() would, one after the other: a version whose file id is 0
    // gets its file row (and its folder chain) found or inserted, an existing file row is taken as it is. Fills
    // each version's id and file id. Runs in a transaction of its own unless the caller's Transaction is open on
    // the connection; in its own transaction it keeps all of the batch or nothing. Returns Result::Ok or the code
    // of the first failure.
    static int insertBatch(unsigned long long destinationId, QVector<CloudFileVersion>& versions,
                           DatabaseConnection& connection);
    // Finds the row by file, modification time and kind, not by id.
    bool update(DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    // Fills this object when the version exists.
    bool select(unsigned long long fileId, const QDateTime& dateModified, int attributes,
                DatabaseConnection& connection);
    bool select(DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> select_(unsigned long long fileId, const QDateTime& dateModified,
                                                    int attributes, DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectById(unsigned long long id, DatabaseConnection& connection);
    // Newest by modification time.
    static QSharedPointer<CloudFileVersion> selectLastVersion(unsigned long long fileId, DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectLastVersionUploaded(unsigned long long fileId,
                                                                      DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectLastVersion4Attribute(unsigned long long fileId, int attributes,
                                                                        DatabaseConnection& connection);
    // Newest version not newer than the point in time.
    static QSharedPointer<CloudFileVersion> selectPointInTime(unsigned long long fileId, const QDateTime& pointInTime,
                                                              DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectPointInTimeUploaded(unsigned long long fileId,
                                                                      const QDateTime& pointInTime,
                                                                      DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectPointInTime(unsigned long long fileId, int attributes,
                                                              const QDateTime& pointInTime,
                                                              DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectRevisionData(unsigned long long fileId, unsigned int revision,
                                                               int attributes, DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectDifferentialRevisionData(unsigned long long fileId,
                                                                           unsigned int revision,
                                                                           DatabaseConnection& connection);
    static QSharedPointer<CloudFileVersion> selectDiskImageRevisionData(unsigned long long fileId,
                                                                        unsigned int revision,
                                                                        DatabaseConnection& connection);
    // Lists, oldest first.
    static QList<QSharedPointer<CloudFileVersion>> select_(unsigned long long fileId, DatabaseConnection& connection);
    static QList<QSharedPointer<CloudFileVersion>> selectUploaded(unsigned long long fileId,
                                                                  DatabaseConnection& connection);
    static QList<QSharedPointer<CloudFileVersion>> selectBackupBefore(unsigned long long fileId, const QDateTime& date,
                                                                      DatabaseConnection& connection);

    static bool isEmpty(unsigned long long fileId, DatabaseConnection& connection);
    // The highest block-level revision stored for the file (not the one after it).
    static int getNextRevisionNumber(unsigned long long fileId, DatabaseConnection& connection);

    // Deletes the row and its block map; the last version can take its file and empty folders with it.
    bool delete_(bool removeFileIfLast, DatabaseConnection& connection);

    unsigned long long id() const { return m_id; }
    unsigned long long fileId() const { return m_fileId; }
    const QByteArray& cloudPath() const { return m_cloudPath; }
    const QString& path() const { return m_path; }
    unsigned long long size() const { return m_size; }
    unsigned long long originalSize() const { return m_originalSize; }
    const QDateTime& dateModified() const { return m_dateModified; }
    // Invalid while no purge time is set.
    const QDateTime& datePurgeDelay() const { return m_datePurgeDelay; }
    int attribute() const { return m_attribute; }
    signed char isCompressed() const { return m_isCompressed; }
    signed char isEncrypted() const { return m_isEncrypted; }
    signed char isSimple() const { return m_isSimple; }
    bool isBroken() const { return m_isBroken; }
    const QByteArray& uploadId() const { return m_uploadId; }
    const QDateTime& dateBackup() const { return m_dateBackup; }
    const QByteArray& fileNameIv() const { return m_fileNameIv; }
    unsigned int blockLevelRevision() const { return m_blockLevelRevision; }
    bool blockLevelIsFull() const { return m_blockLevelIsFull; }
    const QString& versionDelimiter() const { return m_versionDelimiter; }
    const QByteArray& encryptionIv() const { return m_encryptionIv; }
    const QByteArray& kdfsalt() const { return m_kdfsalt; }
    const QByteArray& encryptionKey() const { return m_encryptionKey; }

    void setId(unsigned long long id) { m_id = id; }
    void setFileId(unsigned long long fileId) { m_fileId = fileId; }
    void setCloudPath(const QByteArray& cloudPath) { m_cloudPath = cloudPath; }
    void setPath(const QString& path) { m_path = path; }
    void setSize(unsigned long long size) { m_size = size; }
    void setOriginalSize(unsigned long long originalSize) { m_originalSize = originalSize; }
    void setDateModified(const QDateTime& dateModified) { m_dateModified = dateModified; }
    void setDatePurgeDelay(const QDateTime& datePurgeDelay) { m_datePurgeDelay = datePurgeDelay; }
    void setAttribute(int attribute) { m_attribute = attribute; }
    void setIsCompressed(signed char isCompressed) { m_isCompressed = isCompressed; }
    void setIsEncrypted(signed char isEncrypted) { m_isEncrypted = isEncrypted; }
    void setIsSimple(signed char isSimple) { m_isSimple = isSimple; }
    void setIsBroken(bool isBroken) { m_isBroken = isBroken; }
    void setUploadId(const QByteArray& uploadId) { m_uploadId = uploadId; }
    void setDateBackup(const QDateTime& dateBackup) { m_dateBackup = dateBackup; }
    void setFileNameIv(const QByteArray& fileNameIv) { m_fileNameIv = fileNameIv; }
    void setBlockLevelRevision(unsigned int blockLevelRevision) { m_blockLevelRevision = blockLevelRevision; }
    void setBlockLevelIsFull(bool blockLevelIsFull) { m_blockLevelIsFull = blockLevelIsFull; }
    void setVersionDelimiter(const QString& versionDelimiter) { m_versionDelimiter = versionDelimiter; }
    void setEncryptionIv(const QByteArray& encryptionIv) { m_encryptionIv = encryptionIv; }
    void setKdfsalt(const QByteArray& kdfsalt) { m_kdfsalt = kdfsalt; }
    void setEncryptionKey(const QByteArray& encryptionKey) { m_encryptionKey = encryptionKey; }

private:
    // The file row insert() registers for this version.
    CloudFile fileRow(unsigned long long destinationId) const;
    // The values of the insert's columns, in their order.
    QVector<QVariant> fieldValues() const;

    unsigned long long m_id = 0;
    unsigned long long m_fileId = 0;
    QByteArray m_cloudPath;
    QString m_path;
    unsigned long long m_size = 0;
    unsigned long long m_originalSize = 0;
    QDateTime m_dateModified;
    QDateTime m_datePurgeDelay;
    int m_attribute = 0;
    signed char m_isCompressed = 0;
    signed char m_isEncrypted = 0;
    signed char m_isSimple = 0;
    bool m_isBroken = false;
    QByteArray m_uploadId;
    QDateTime m_dateBackup;
    QByteArray m_fileNameIv;
    unsigned int m_blockLevelRevision = 0;
    bool m_blockLevelIsFull = false;
    QString m_versionDelimiter = QStringLiteral("$");
    QByteArray m_encryptionIv;
    QByteArray m_kdfsalt;
    QByteArray m_encryptionKey;
};

}  // namespace RPX::SQL
