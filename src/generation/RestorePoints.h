#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/ArchiveTypes.h>

#include <QDateTime>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// One backup run inside a generation: a point a restore can go back to.
class RestorePoints
{
public:
    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    int insert(const QString& prefix, DatabaseConnection& connection);
    int update(const QString& prefix, DatabaseConnection& connection) const;
    int remove(const QString& prefix, DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    static RowResult<RestorePoints> selectBySequenceNumber(qint64 sequenceNumber, const QString& prefix,
                                                           DatabaseConnection& connection);
    // Matches the stored start date exactly as given (not cut to seconds).
    static RowResult<RestorePoints> selectByDateTime(const QDateTime& startDate, const QString& prefix,
                                                     DatabaseConnection& connection);
    static RowResult<RestorePoints> selectById(quint64 id, const QString& prefix, DatabaseConnection& connection);
    static RowResult<RestorePoints> selectLast(const QString& prefix, DatabaseConnection& connection);
    static RowResult<RestorePoints> selectPrev(qint64 sequenceNumber, const QString& prefix,
                                               DatabaseConnection& connection);
    // The latest earlier restore point that has a signature file.
    static RowResult<RestorePoints> selectPrevWithSignature(qint64 sequenceNumber, const QString& prefix,
                                                            DatabaseConnection& connection);
    static RowResult<RestorePoints> selectPrev(const QDateTime& startDate, const QString& prefix,
                                               DatabaseConnection& connection);
    // Every row with limit 0 or below, else at most `limit` rows after skipping `offset`; unordered.
    static ListResult<RestorePoints> select(const QString& prefix, qint64 limit, qint64 offset,
                                            DatabaseConnection& connection);
    static ListResult<RestorePoints> select(const QDateTime& upTo, const QString& prefix, qint64 limit, qint64 offset,
                                            DatabaseConnection& connection);

    // Counters still unknown (-1) although the run wrote parts or a table of contents.
    bool needSync() const;
    int restoreVerificationResult() const { return 0; }

    quint64 id() const { return m_id; }
    QDateTime startDate() const { return m_startDate; }
    void setStartDate(const QDateTime& value) { m_startDate = value; }
    QDateTime finishDate() const { return m_finishDate; }
    void setFinishDate(const QDateTime& value) { m_finishDate = value; }
    qint64 sequenceNumber() const { return m_sequenceNumber; }
    void setSequenceNumber(qint64 value) { m_sequenceNumber = value; }
    KTL::Archive::BackupType backupType() const { return m_backupType; }
    void setBackupType(KTL::Archive::BackupType value) { m_backupType = value; }
    quint64 tocId() const { return m_tocId; }
    void setTocId(quint64 value) { m_tocId = value; }
    qint64 totalBytes() const { return m_totalBytes; }
    void setTotalBytes(qint64 value) { m_totalBytes = value; }
    qint64 newBytes() const { return m_newBytes; }
    void setNewBytes(qint64 value) { m_newBytes = value; }
    qint64 compressedBytes() const { return m_compressedBytes; }
    void setCompressedBytes(qint64 value) { m_compressedBytes = value; }
    KTL::Archive::SnapshotType::Value snapshotType() const { return m_snapshotType; }
    void setSnapshotType(KTL::Archive::SnapshotType::Value value) { m_snapshotType = value; }
    qint64 filesBackedUp() const { return m_filesBackedUp; }
    void setFilesBackedUp(qint64 value) { m_filesBackedUp = value; }
    qint64 filesDeleted() const { return m_filesDeleted; }
    void setFilesDeleted(qint64 value) { m_filesDeleted = value; }
    qint64 foldersBackedUp() const { return m_foldersBackedUp; }
    void setFoldersBackedUp(qint64 value) { m_foldersBackedUp = value; }
    qint64 foldersDeleted() const { return m_foldersDeleted; }
    void setFoldersDeleted(qint64 value) { m_foldersDeleted = value; }
    QString metadata() const { return m_metadata; }
    void setMetadata(const QString& value) { m_metadata = value; }
    QString plan() const { return m_plan; }
    void setPlan(const QString& value) { m_plan = value; }
    qint64 blocksCount() const { return m_blocksCount; }
    void setBlocksCount(qint64 value) { m_blocksCount = value; }
    qint64 partsCount() const { return m_partsCount; }
    void setPartsCount(qint64 value) { m_partsCount = value; }
    QString sgnFileName() const { return m_sgnFileName; }
    void setSgnFileName(const QString& value) { m_sgnFileName = value; }
    quint64 sessionHistoryId() const { return m_sessionHistoryId; }
    void setSessionHistoryId(quint64 value) { m_sessionHistoryId = value; }
    KTL::Archive::BackupResult backupResult() const { return m_backupResult; }
    void setBackupResult(KTL::Archive::BackupResult value) { m_backupResult = value; }
    QString backupErrorList() const { return m_backupErrorList; }
    void setBackupErrorList(const QString& value) { m_backupErrorList = value; }
    KTL::Archive::ConsistencyCheckResult consistencyCheckResult() const { return m_consistencyCheckResult; }
    void setConsistencyCheckResult(KTL::Archive::ConsistencyCheckResult value) { m_consistencyCheckResult = value; }
    QDateTime consistencyCheckDateTime() const { return m_consistencyCheckDateTime; }
    void setConsistencyCheckDateTime(const QDateTime& value) { m_consistencyCheckDateTime = value; }
    QString consistencyCheckErrorList() const { return m_consistencyCheckErrorList; }
    void setConsistencyCheckErrorList(const QString& value) { m_consistencyCheckErrorList = value; }
    KTL::Archive::BrokenType brokenType() const { return m_brokenType; }
    void setBrokenType(KTL::Archive::BrokenType value) { m_brokenType = value; }
    qint64 totalFileCount() const { return m_totalFileCount; }
    void setTotalFileCount(qint64 value) { m_totalFileCount = value; }
    qint64 totalFileSize() const { return m_totalFileSize; }
    void setTotalFileSize(qint64 value) { m_totalFileSize = value; }

private:
    void bindFields(Statement& statement) const;
    static RowResult<RestorePoints> selectOneWhere(const QString& tail, const QString& prefix,
                                                   DatabaseConnection& connection,
                                                   const QList<QPair<QString, QVariant>>& values);

    quint64 m_id = 0;
    QDateTime m_startDate;
    QDateTime m_finishDate;
    qint64 m_sequenceNumber = 0;
    KTL::Archive::BackupType m_backupType = KTL::Archive::BackupType::Unknown;
    quint64 m_tocId = 0;
    qint64 m_totalBytes = 0;
    qint64 m_newBytes = -1;
    qint64 m_compressedBytes = -1;
    KTL::Archive::SnapshotType::Value m_snapshotType = KTL::Archive::SnapshotType::Value(10);
    qint64 m_filesBackedUp = -1;
    qint64 m_filesDeleted = -1;
    qint64 m_foldersBackedUp = -1;
    qint64 m_foldersDeleted = -1;
    QString m_metadata;
    QString m_plan;
    qint64 m_blocksCount = 0;
    qint64 m_partsCount = 0;
    QString m_sgnFileName;
    quint64 m_sessionHistoryId = 0;
    KTL::Archive::BackupResult m_backupResult = KTL::Archive::BackupResult(1000);
    QString m_backupErrorList;
    KTL::Archive::ConsistencyCheckResult m_consistencyCheckResult = KTL::Archive::ConsistencyCheckResult(0);
    QDateTime m_consistencyCheckDateTime;
    QString m_consistencyCheckErrorList;
    KTL::Archive::BrokenType m_brokenType = KTL::Archive::BrokenType::NotBroken;
    qint64 m_totalFileCount = 0;
    qint64 m_totalFileSize = 0;
};

}  // namespace RPX::SQL::Generation
