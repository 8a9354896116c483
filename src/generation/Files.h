#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// One version of a file, stored under one folder row and so in that row's restore point. The
// versions of a file share its local path; the newest has the highest id.
class Files
{
public:
    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    int insert(const QString& prefix, DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    // The version stored before the given one, in whatever restore point.
    static RowResult<Files> selectPrev(QSharedPointer<Files> file, bool notDeletedOnly, const QString& prefix,
                                       DatabaseConnection& connection);
    // The version under the folder row with the highest restore point of the set (empty: all).
    static RowResult<Files> select(const QString& localPath, const QList<quint64>& restorePointIds,
                                   const QString& prefix, DatabaseConnection& connection);
    // The newest version of every file under any row of the folder path, deleted ones included.
    static ListResult<Files> selectInFolder(const QString& folderPath, const QList<quint64>& restorePointIds,
                                            qint64 limit, qint64 offset, const QString& prefix,
                                            DatabaseConnection& connection);
    // One version per file under that one folder row.
    static ListResult<Files> selectInFolder(quint64 folderId, const QList<quint64>& restorePointIds, qint64 limit,
                                            qint64 offset, const QString& prefix, DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    QString displayName() const { return m_displayName; }
    void setDisplayName(const QString& value) { m_displayName = value; }
    QString localPath() const { return m_localPath; }
    void setLocalPath(const QString& value) { m_localPath = value; }
    qint64 originalSize() const { return m_originalSize; }
    void setOriginalSize(qint64 value) { m_originalSize = value; }
    QDateTime dateModificationUtc() const { return m_dateModificationUtc; }
    void setDateModificationUtc(const QDateTime& value) { m_dateModificationUtc = value; }
    int attributes() const { return m_attributes; }
    void setAttributes(int value) { m_attributes = value; }
    bool isCompressed() const { return m_isCompressed; }
    void setIsCompressed(bool value) { m_isCompressed = value; }
    quint64 parentId() const { return m_parentId; }
    void setParentId(quint64 value) { m_parentId = value; }
    qint64 totalSize() const { return m_totalSize; }
    void setTotalSize(qint64 value) { m_totalSize = value; }
    QByteArray hash() const { return m_hash; }
    void setHash(const QByteArray& value) { m_hash = value; }
    QByteArray map() const { return m_map; }
    void setMap(const QByteArray& value) { m_map = value; }
    bool deleted() const { return m_deleted; }
    void setDeleted(bool value) { m_deleted = value; }
    QJsonObject metadata() const { return m_metadata; }
    void setMetadata(const QJsonObject& value) { m_metadata = value; }
    qint64 extentsSize() const { return m_extentsSize; }
    void setExtentsSize(qint64 value) { m_extentsSize = value; }

private:
    quint64 m_id = 0;
    QString m_displayName;
    QString m_localPath;
    qint64 m_originalSize = 0;
    QDateTime m_dateModificationUtc;
    int m_attributes = 0;
    bool m_isCompressed = false;
    quint64 m_parentId = 0;
    qint64 m_totalSize = 0;
    QByteArray m_hash;
    QByteArray m_map;
    bool m_deleted = false;
    QJsonObject m_metadata;
    qint64 m_extentsSize = 0;
};

}  // namespace RPX::SQL::Generation
