#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>

#include <QHash>
#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

namespace RPX::SQL {

// One component of a backed-up folder path; a whole path is a chain of rows from parent 0 down.
class CloudFolder
{
public:
    static QString createTable(DatabaseType type);

    // Components of a slash-separated path: one trailing "/" dropped, empty parts kept.
    static QStringList splitPath(const QString& path);

    bool insert(DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    bool select(unsigned long long id, DatabaseConnection& connection);
    bool select(unsigned long long destinationId, unsigned long long parentId, const QString& displayName,
                DatabaseConnection& connection);
    // Reloads by this object's destination, parent and lower-case name.
    bool select(DatabaseConnection& connection);

    static QSharedPointer<CloudFolder> selectByFolderId(unsigned long long id, DatabaseConnection& connection);
    // Finds the folder of a path without creating anything.
    static QSharedPointer<CloudFolder> select(unsigned long long destinationId, const QString& path,
                                              DatabaseConnection& connection);
    // Finds the folder of a path, creating the missing tail of the chain.
    static QSharedPointer<CloudFolder> selectOrInsert(unsigned long long destinationId, const QString& path,
                                                      DatabaseConnection& connection);
    // The folders of every path of the list, found or inserted with their chains set-wise, level by
    // level of the tree: a lookup of the levels' known parents and an insert of what is missing.
    // Fills ids by path, and `created` (when given) with the paths whose folder this call inserted;
    // the result code. Meant to run inside a transaction.
    static int selectOrInsert(unsigned long long destinationId, const QStringList& paths,
                              QHash<QString, unsigned long long>& ids, DatabaseConnection& connection,
                              QSet<QString>* created = nullptr);

    static QString selectPath(unsigned long long folderId, DatabaseConnection& connection);
    QString selectPath(DatabaseConnection& connection);

    // Children of a folder in display-name order; limit 0 lists them all.
    static QList<QSharedPointer<CloudFolder>> select(unsigned long long parentId, unsigned long long limit,
                                                     unsigned long long offset, DatabaseConnection& connection);
    static QList<QSharedPointer<CloudFolder>> select(unsigned long long destinationId, const QString& path,
                                                     unsigned long long limit, unsigned long long offset,
                                                     DatabaseConnection& connection);

    static int subfolderCount(unsigned long long parentId, DatabaseConnection& connection);
    // True when the folder holds neither files nor folders.
    static bool isEmpty(unsigned long long folderId, DatabaseConnection& connection);

    // Deletes this row only (contents are the caller's), then optionally the ancestors it leaves empty.
    bool delete_(bool removeEmptyParents, DatabaseConnection& connection);

    unsigned long long id() const { return m_id; }
    const QString& name() const { return m_name; }
    const QString& displayName() const { return m_displayName; }
    unsigned long long parentId() const { return m_parentId; }
    unsigned long long destintionId() const { return m_destintionId; }

    void setId(unsigned long long id) { m_id = id; }
    // Stores the text as display name and its lower-case form as name.
    void setName(const QString& name);
    void setParentId(unsigned long long parentId) { m_parentId = parentId; }
    void setDestintionId(unsigned long long destinationId) { m_destintionId = destinationId; }

private:
    unsigned long long m_id = 0;
    QString m_name;
    QString m_displayName;
    unsigned long long m_parentId = 0;
    unsigned long long m_destintionId = 0;
};

}  // namespace RPX::SQL
