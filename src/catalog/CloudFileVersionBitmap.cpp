#include "CloudFileVersionBitmap.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/ConfigPaths.h>
#include <rpxRepository/database/agent/KtlDebug.h>
#include <rpxRepository/database/agent/Utility.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace RPX::SQL {

namespace {

QString differentialMapPath(const QUuid& uuid)
{
    return QStringLiteral("%1/%2").arg(RPX::Defines::AppPath::to().differentialFileMap(), uuid.toString());
}

// The shared folder ends with a separator, so none is added here.
QString diskImageMapPathForRemoval(const QUuid& uuid)
{
    return QStringLiteral("%1%2").arg(SHARED::defines::Path::diskImageMap(), uuid.toString());
}

QString diskImageMapPath(const QUuid& uuid)
{
    return QStringLiteral("%1/%2").arg(RPX::Defines::AppPath::to().diskImageMap(), uuid.toString());
}

// Removes a map file when it exists; true when there was one (removed or not).
bool removeMapFile(const QString& path, const char* failure)
{
    if (!QFile::exists(path))
        return false;
    if (!QFile::remove(path)) {
        const int error = errno;
        KTL::KtlDebug("SQL").error() << failure << strerror(error);
        KTL::KtlDebug("SQL").infoH() << KTL::Utility::listOfPathInfo(path);
    }
    return true;
}

}  // namespace

CloudFileVersionBitmap::CloudFileVersionBitmap() = default;

CloudFileVersionBitmap::CloudFileVersionBitmap(unsigned long long versionId) : m_versionId(versionId) {}

QString CloudFileVersionBitmap::createTable(DatabaseType type)
{
    return bothDialects(type, QStringLiteral("CREATE TABLE IF NOT EXISTS cloud_file_version_bitmaps ( version_id INTEGER "
                                             "NOT NULL , uuid TEXT default NULL , UNIQUE(version_id) );"));
}

bool CloudFileVersionBitmap::insert(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection, QStringLiteral("insert into cloud_file_version_bitmaps (version_id, uuid) "
                                                   "values(:version_id, :uuid)"));
    statement.bindU64(QStringLiteral(":version_id"), m_versionId)
        .bindText(QStringLiteral(":uuid"), m_versionUuid.toString());
    return statement.exec() == Result::Ok;
}

bool CloudFileVersionBitmap::select(unsigned long long versionId, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection, QStringLiteral("select uuid from cloud_file_version_bitmaps "
                                                   "where version_id = :version_id limit 1"));
    statement.bindU64(QStringLiteral(":version_id"), versionId);
    if (statement.exec() != Result::Ok || !statement.next())
        return false;
    m_versionId = versionId;
    m_versionUuid = Row(statement.query()).value(QStringLiteral("uuid")).toUuid();
    return true;
}

bool CloudFileVersionBitmap::select(DatabaseConnection& connection)
{
    return select(m_versionId, connection);
}

bool CloudFileVersionBitmap::update(unsigned long long versionId, DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection, QStringLiteral("update cloud_file_version_bitmaps set uuid = :uuid "
                                                   "where version_id = :version_id"));
    statement.bindText(QStringLiteral(":uuid"), m_versionUuid.toString())
        .bindU64(QStringLiteral(":version_id"), versionId);
    return statement.exec() == Result::Ok;
}

bool CloudFileVersionBitmap::update(DatabaseConnection& connection) const
{
    return update(m_versionId, connection);
}

bool CloudFileVersionBitmap::updateVersionId(unsigned long long oldVersionId, unsigned long long newVersionId,
                                             DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection, QStringLiteral("update cloud_file_version_bitmaps set version_id = :new_version_id "
                                                   "where version_id = :old_version_id"));
    statement.bindU64(QStringLiteral(":new_version_id"), newVersionId)
        .bindU64(QStringLiteral(":old_version_id"), oldVersionId);
    return statement.exec() == Result::Ok;
}

bool CloudFileVersionBitmap::delete_(unsigned long long versionId, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection,
                        QStringLiteral("delete from cloud_file_version_bitmaps where version_id = :version_id"));
    statement.bindU64(QStringLiteral(":version_id"), versionId);
    return statement.exec() == Result::Ok;
}

bool CloudFileVersionBitmap::delete_(DatabaseConnection& connection) const
{
    if (!delete_(m_versionId, connection))
        return false;
    // A version has at most one map: the disk-image folder is only looked at without a differential map.
    if (!removeMapFile(differentialMapPath(m_versionUuid), "Error on remove differential backup map, message:"))
        removeMapFile(diskImageMapPathForRemoval(m_versionUuid), "Error on remove differential ibb backup map, message:");
    return true;
}

bool CloudFileVersionBitmap::checkOnDisk(bool diskImage) const
{
    if (m_versionUuid.isNull())
        return false;
    return QFile::exists(diskImage ? diskImageMapPath(m_versionUuid) : differentialMapPath(m_versionUuid));
}

}  // namespace RPX::SQL
