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

// Every object written to the backup storage for a generation.
class StorageFiles
{
public:
    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    int insert(const QString& prefix, DatabaseConnection& connection);
    int update(const QString& prefix, DatabaseConnection& connection) const;
    int remove(const QString& prefix, DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    // Total size of the stored objects; 0 for an empty table.
    static QPair<qint64, int> sizeOnStorage(const QString& prefix, DatabaseConnection& connection);
    // The latest modification time; the pointer holds an invalid date when the table is empty.
    static QPair<QSharedPointer<QDateTime>, int> lastUploadDateTime(const QString& prefix,
                                                                    DatabaseConnection& connection);
    static RowResult<StorageFiles> select(const QString& path, const QString& prefix, DatabaseConnection& connection);
    static RowResult<StorageFiles> select(quint64 id, const QString& prefix, DatabaseConnection& connection);
    // Every row with limit 0 or below, else at most `limit` rows after skipping `offset`.
    static ListResult<StorageFiles> select(const QString& prefix, qint64 limit, qint64 offset,
                                           DatabaseConnection& connection);
    // A LIKE match of `path` followed by "%": wildcards in `path` keep their meaning.
    static ListResult<StorageFiles> selectPathStartWith(const QString& path, const QString& prefix,
                                                        DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    QString path() const { return m_path; }
    void setPath(const QString& value) { m_path = value; }
    QString cloudId() const { return m_cloudId; }
    void setCloudId(const QString& value) { m_cloudId = value; }
    QString uploadId() const { return m_uploadId; }
    void setUploadId(const QString& value) { m_uploadId = value; }
    qint64 size() const { return m_size; }
    void setSize(qint64 value) { m_size = value; }
    KTL::Archive::BrokenType brokenType() const { return m_brokenType; }
    void setBrokenType(KTL::Archive::BrokenType value) { m_brokenType = value; }
    QDateTime lastModified() const { return m_lastModified; }
    void setLastModified(const QDateTime& value) { m_lastModified = value; }

private:
    quint64 m_id = 0;
    QString m_path;
    QString m_cloudId;
    QString m_uploadId;
    qint64 m_size = 0;
    KTL::Archive::BrokenType m_brokenType = KTL::Archive::BrokenType::NotBroken;
    QDateTime m_lastModified;
};

}  // namespace RPX::SQL::Generation
