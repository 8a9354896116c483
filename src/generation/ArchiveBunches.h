#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/ArchiveTypes.h>

#include <QSqlQuery>
#include <QString>
#include <QUuid>

namespace RPX::SQL {

// One chain of generations: a backup plan writing to one destination, kept in one cloud folder.
class ArchiveBunches
{
public:
    static QString createTable(DatabaseType type);

    // Needs a folder, a destination and a plan; the new row's id is stored in the object.
    int insert(DatabaseConnection& connection);
    // A closed connection is no failure here: nothing is removed and 0 is returned.
    int remove(DatabaseConnection& connection) const;
    static int updateMetaFileInfo(const QUuid& planId, quint64 destinationId, const QString& displayName,
                                  KTL::Archive::Type type, const QString& metaFileName,
                                  DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    static RowResult<ArchiveBunches> select(const QUuid& planId, quint64 destinationId,
                                            DatabaseConnection& connection);
    // Every bunch of the destination with limit 0 or below, else at most `limit` after skipping `offset`.
    static ListResult<ArchiveBunches> select(quint64 destinationId, qint64 limit, qint64 offset,
                                             DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    quint64 folderId() const { return m_folderId; }
    void setFolderId(quint64 value) { m_folderId = value; }
    QString displayName() const { return m_displayName; }
    void setDisplayName(const QString& value) { m_displayName = value; }
    KTL::Archive::Type type() const { return m_type; }
    void setType(KTL::Archive::Type value) { m_type = value; }
    quint64 destinationId() const { return m_destinationId; }
    void setDestinationId(quint64 value) { m_destinationId = value; }
    QUuid planId() const { return m_planId; }
    void setPlanId(const QUuid& value) { m_planId = value; }
    QString metaFileName() const { return m_metaFileName; }
    void setMetaFileName(const QString& value) { m_metaFileName = value; }

private:
    quint64 m_id = 0;
    quint64 m_folderId = 0;
    QString m_displayName;
    KTL::Archive::Type m_type = KTL::Archive::Type(1000);
    quint64 m_destinationId = 0;
    QUuid m_planId;
    QString m_metaFileName;
};

}  // namespace RPX::SQL
