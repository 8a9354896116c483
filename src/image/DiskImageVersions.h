#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>

#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>

namespace RPX::SQL {

// One stored file version that a disk image is made of; an image has one row per version.
class DiskImageVersions
{
public:
    static QString createTable(DatabaseType type);

    bool insert(DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    // Every image that refers to the old version refers to the new one afterwards.
    static bool updateVersionId(quint64 oldVersionId, quint64 newVersionId, DatabaseConnection& connection);
    static QList<QSharedPointer<DiskImageVersions>> select(quint64 diskImageId, DatabaseConnection& connection);

    quint64 diskImageId() const { return m_diskImageId; }
    quint64 versionId() const { return m_versionId; }
    void setDiskImageId(quint64 diskImageId) { m_diskImageId = diskImageId; }
    void setVersionId(quint64 versionId) { m_versionId = versionId; }

private:
    quint64 m_diskImageId = 0;
    quint64 m_versionId = 0;
};

}  // namespace RPX::SQL
