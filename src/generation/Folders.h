#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QJsonObject>
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// One folder as written in one restore point. The rows of a folder in several restore points share
// its local path; lookups over a set of restore points (empty: all of them) read the newest row.
class Folders
{
public:
    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    int insert(const QString& prefix, DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    // By folder row: the row count of one child path, so 0 exactly when no child row qualifies.
    static CountResult countSubfolder(const quint64& folderId, const QList<quint64>& restorePointIds,
                                      bool notDeletedOnly, const QString& prefix, DatabaseConnection& connection);
    // By path: the child paths under any row of the path, each judged by its newest row.
    static CountResult countSubfolder(const QString& localPath, const QList<quint64>& restorePointIds,
                                      bool notDeletedOnly, const QString& prefix, DatabaseConnection& connection);
    // True when the newest row of the path, or a row on the chain of parents it names, is deleted.
    static TestResult checkPathIsDeleted(const QString& localPath, const QList<quint64>& restorePointIds,
                                         const QString& prefix, DatabaseConnection& connection);
    // The row of the path with the highest restore point of the set.
    static RowResult<Folders> select(const QString& localPath, const QList<quint64>& restorePointIds,
                                     const QString& prefix, DatabaseConnection& connection);
    static TestResult isFolder(const QString& localPath, const QList<quint64>& restorePointIds, bool notDeletedOnly,
                               const QString& prefix, DatabaseConnection& connection);
    static RowResult<Folders> select(const QString& localPath, quint64 restorePointId, const QString& prefix,
                                     DatabaseConnection& connection);
    static RowResult<Folders> select(quint64 parentId, const QString& displayName, quint64 restorePointId,
                                     const QString& prefix, DatabaseConnection& connection);
    // One row per child path, unordered; limit and offset apply when above 0.
    static ListResult<Folders> selectInFolder(const quint64& folderId, const QList<quint64>& restorePointIds,
                                              bool notDeletedOnly, qint64 limit, qint64 offset, const QString& prefix,
                                              DatabaseConnection& connection);
    // The children of every row of the path, the newest row of each child path (with notDeletedOnly,
    // the newest one not deleted).
    static ListResult<Folders> selectInFolder(const QString& localPath, const QList<quint64>& restorePointIds,
                                              bool notDeletedOnly, qint64 limit, qint64 offset, const QString& prefix,
                                              DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    void setId(quint64 value) { m_id = value; }
    QString displayName() const { return m_displayName; }
    void setDisplayName(const QString& value) { m_displayName = value; }
    quint64 parentId() const { return m_parentId; }
    void setParentId(quint64 value) { m_parentId = value; }
    quint64 restorePointId() const { return m_restorePointId; }
    void setRestorePointId(quint64 value) { m_restorePointId = value; }
    bool deleted() const { return m_deleted; }
    void setDeleted(bool value) { m_deleted = value; }
    QJsonObject metadata() const { return m_metadata; }
    void setMetadata(const QJsonObject& value) { m_metadata = value; }
    QString localPath() const { return m_localPath; }
    void setLocalPath(const QString& value) { m_localPath = value; }

private:
    quint64 m_id = 0;
    QString m_displayName;
    quint64 m_parentId = 0;
    quint64 m_restorePointId = 0;
    bool m_deleted = false;
    QJsonObject m_metadata;
    QString m_localPath;
};

}  // namespace RPX::SQL::Generation
