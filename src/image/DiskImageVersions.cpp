#include "DiskImageVersions.h"

#include <rpxRepository/database/SqlSupport.h>

namespace RPX::SQL {

QString DiskImageVersions::createTable(DatabaseType type)
{
    // PostgreSQL enforces the keys: without the cascade an image that has versions could never be
    // deleted there, since DiskImage::delete_ removes the image row before its version rows.
    return dialect(type,
                   QStringLiteral("CREATE TABLE diskimage_versions ( diskimage_id INTEGER NOT NULL, version_id "
                                  "INTEGER NOT NULL, FOREIGN KEY(diskimage_id) REFERENCES diskimage(id) , FOREIGN "
                                  "KEY(version_id) REFERENCES cloud_file_versions(id))"),
                   QStringLiteral("CREATE TABLE diskimage_versions ( diskimage_id INTEGER NOT NULL, version_id "
                                  "INTEGER NOT NULL, FOREIGN KEY(diskimage_id) REFERENCES diskimage(id) ON DELETE "
                                  "CASCADE , FOREIGN KEY(version_id) REFERENCES cloud_file_versions(id))"));
}

bool DiskImageVersions::insert(DatabaseConnection& connection) const
{
    if (!connection.isOpen() || m_diskImageId == 0 || m_versionId == 0)
        return false;
    Statement statement(connection, QStringLiteral("insert into diskimage_versions (diskimage_id, version_id) values "
                                                   "(:diskimage_id, :version_id)"));
    statement.bindU64(QStringLiteral(":diskimage_id"), m_diskImageId)
        .bindU64(QStringLiteral(":version_id"), m_versionId);
    return statement.exec() == Result::Ok;
}

bool DiskImageVersions::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_diskImageId = row.u64(QStringLiteral("diskimage_id"));
    m_versionId = row.u64(QStringLiteral("version_id"));
    return true;
}

bool DiskImageVersions::updateVersionId(quint64 oldVersionId, quint64 newVersionId, DatabaseConnection& connection)
{
    if (!connection.isOpen() || oldVersionId == 0 || newVersionId == 0)
        return false;
    Statement statement(connection, QStringLiteral("update diskimage_versions set version_id = :new_version_id where "
                                                   "version_id = :old_version_id"));
    statement.bindU64(QStringLiteral(":new_version_id"), newVersionId)
        .bindU64(QStringLiteral(":old_version_id"), oldVersionId);
    return statement.exec() == Result::Ok;
}

QList<QSharedPointer<DiskImageVersions>> DiskImageVersions::select(quint64 diskImageId,
                                                                   DatabaseConnection& connection)
{
    if (!connection.isOpen() || diskImageId == 0)
        return {};
    Statement statement(connection, QStringLiteral("select diskimage_id, version_id from diskimage_versions where "
                                                   "diskimage_id = :diskimage_id"));
    statement.bindU64(QStringLiteral(":diskimage_id"), diskImageId);
    return selectAll<DiskImageVersions>(statement).first;
}

}  // namespace RPX::SQL
