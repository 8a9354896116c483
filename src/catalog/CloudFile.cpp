#include "CloudFile.h"

#include "CloudFileVersion.h"
#include "CloudFolder.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/KtlDebug.h>

namespace RPX::SQL {

namespace {

const QString Columns = QStringLiteral(
    "id, destination_id, local_path, parent_id, cloud_path, file_name, display_name, size, original_size, "
    "date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, drive_id, date_deleted_utc, flags");

QString selectFrom(const QString& tail)
{
    return QStringLiteral("select ") + Columns + QStringLiteral(" from cloud_files ") + tail;
}

QList<QSharedPointer<CloudFile>> listOf(Statement& statement)
{
    return selectAll<CloudFile>(statement).first;
}

}  // namespace

const QString CloudFile::DateFormat = QStringLiteral("yyyyMMddhhmmss");

QString CloudFile::createTable(DatabaseType type)
{
    const QString columns = QStringLiteral(
        "destination_id INTEGER,parent_id INTEGER DEFAULT 0,cloud_path TEXT,local_path TEXT,file_name TEXT,"
        "display_name TEXT,size NUMERIC,original_size NUMERIC,date_modified_utc NUMERIC,is_compressed INTEGER,"
        "is_encrypted INTEGER,is_simple INTEGER,is_broken INTEGER,drive_id INTEGER DEFAULT 0,"
        "date_deleted_utc NUMERIC DEFAULT 99999999999999,flags INTEGER DEFAULT 0,");
    // A PostgreSQL btree entry holds at most 2704 bytes and local paths run to 4 KiB, so there the
    // uniqueness of (destination, path) is kept by a unique index on a digest of the path
    // (uniqueIndex), created with the other indexes.
    return dialect(type,
                   QStringLiteral("CREATE TABLE cloud_files (id integer PRIMARY KEY ASC,") + columns +
                       QStringLiteral("UNIQUE (destination_id,local_path));"),
                   QStringLiteral("CREATE TABLE cloud_files (id SERIAL PRIMARY KEY,") + columns.chopped(1) +
                       QStringLiteral(");"));
}

QString CloudFile::uniqueIndex(DatabaseType type)
{
    // Not an exclusion constraint: two sessions inserting the same path at once deadlock on one,
    // while a unique index makes the later insert wait for the earlier one and then fail on the key.
    return type == DatabaseType::PostgreSQL
               ? QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS files_destination_path ON cloud_files "
                                "(destination_id, md5(local_path));")
               : QString();
}

void CloudFile::setName(const QString& name)
{
    m_displayName = name;
    m_name = name.toLower();
}

void CloudFile::bindFields(Statement& statement) const
{
    statement.bindU64(QStringLiteral(":destination_id"), m_destinationId)
        .bindText(QStringLiteral(":local_path"), m_localPath)
        .bindU64(QStringLiteral(":parent_id"), m_parentId)
        .bindText(QStringLiteral(":cloud_path"), utf8UpToZero(m_cloudPath))
        .bindText(QStringLiteral(":file_name"), m_name)
        .bindText(QStringLiteral(":display_name"), m_displayName)
        .bindU64(QStringLiteral(":size"), m_size)
        .bindU64(QStringLiteral(":original_size"), m_originalSize)
        .bind(QStringLiteral(":date_modified_utc"), DateCode::number(m_dateModified))
        .bind(QStringLiteral(":is_compressed"), int(m_isCompressed))
        .bind(QStringLiteral(":is_encrypted"), int(m_isEncrypted))
        .bind(QStringLiteral(":is_simple"), int(m_isSimple))
        .bind(QStringLiteral(":is_broken"), int(m_isBroken))
        .bind(QStringLiteral(":drive_id"), int(m_driveId))
        .bind(QStringLiteral(":date_deleted_utc"), m_dateDeleted.isValid() ? QVariant(DateCode::number(m_dateDeleted))
                                                                           : QVariant(DateCode::NotSet))
        .bind(QStringLiteral(":flags"), int(m_flags));
}

bool CloudFile::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_localPath.isEmpty() || m_destinationId == 0 || m_parentId == 0)
        return false;
    Statement statement(
        connection,
        QStringLiteral("insert into cloud_files (destination_id, local_path, parent_id, cloud_path, file_name, "
                       "display_name, size, original_size, date_modified_utc, is_compressed, is_encrypted, is_simple, "
                       "is_broken, drive_id, date_deleted_utc, flags) values (:destination_id, :local_path, :parent_id, "
                       ":cloud_path, :file_name, :display_name, :size, :original_size, :date_modified_utc, "
                       ":is_compressed, :is_encrypted, :is_simple, :is_broken, :drive_id, :date_deleted_utc, :flags)"), Statement::ReturnsId | Statement::MayConflict);
    bindFields(statement);
    if (statement.execInsert(m_id) != Result::Ok)
        return false;
    return true;
}

bool CloudFile::update(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return false;
    Statement statement(
        connection,
        QStringLiteral("update cloud_files set destination_id = :destination_id, local_path = :local_path, "
                       "parent_id = :parent_id, cloud_path = :cloud_path, file_name = :file_name, "
                       "display_name = :display_name , size = :size, original_size = :original_size, "
                       "date_modified_utc = :date_modified_utc, is_compressed = :is_compressed, "
                       "is_encrypted = :is_encrypted, is_simple = :is_simple, is_broken = :is_broken , "
                       "drive_id = :drive_id, date_deleted_utc = :date_deleted_utc, flags = :flags where id = :id"));
    bindFields(statement);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec() == Result::Ok;
}

bool CloudFile::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_destinationId = row.u64(QStringLiteral("destination_id"));
    m_parentId = row.u64(QStringLiteral("parent_id"));
    m_cloudPath = row.utf8(QStringLiteral("cloud_path"));
    m_localPath = row.text(QStringLiteral("local_path"));
    m_name = row.text(QStringLiteral("file_name"));
    m_displayName = row.text(QStringLiteral("display_name"));
    m_size = row.u64(QStringLiteral("size"));
    m_originalSize = row.u64(QStringLiteral("original_size"));
    m_dateModified = row.date14(QStringLiteral("date_modified_utc"));
    m_isCompressed = static_cast<signed char>(row.i32(QStringLiteral("is_compressed")));
    m_isEncrypted = static_cast<signed char>(row.i32(QStringLiteral("is_encrypted")));
    m_isSimple = static_cast<signed char>(row.i32(QStringLiteral("is_simple")));
    m_isBroken = static_cast<signed char>(row.i32(QStringLiteral("is_broken"))) != 0;
    m_driveId = static_cast<unsigned char>(row.u64(QStringLiteral("drive_id")));
    m_dateDeleted = row.date14(QStringLiteral("date_deleted_utc"));
    m_flags = static_cast<unsigned short>(row.u64(QStringLiteral("flags")));
    return true;
}

bool CloudFile::select(unsigned long long id, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || id == 0)
        return false;
    Statement statement(connection, selectFrom(QStringLiteral("where id = :id limit 1")));
    statement.bindU64(QStringLiteral(":id"), id);
    return statement.exec() == Result::Ok && init(statement.query());
}

bool CloudFile::select(unsigned long long destinationId, const QString& localPath, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0 || localPath.isEmpty())
        return false;
    // On PostgreSQL the digest condition lets the lookup use the index of the uniqueness constraint.
    Statement statement(
        connection,
        selectFrom(dialect(connection.dbType(),
                           QStringLiteral("where destination_id = :destination_id and local_path = :local_path limit 1"),
                           QStringLiteral("where destination_id = :destination_id and md5(local_path) = md5(:local_path) "
                                          "and local_path = :local_path limit 1"))));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindText(QStringLiteral(":local_path"), localPath);
    return statement.exec() == Result::Ok && init(statement.query());
}

bool CloudFile::select(DatabaseConnection& connection)
{
    return select(m_destinationId, m_localPath, connection);
}

QSharedPointer<CloudFile> CloudFile::select_(unsigned long long destinationId, const QString& localPath,
                                             DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0 || localPath.isEmpty())
        return {};
    QSharedPointer<CloudFile> file(new CloudFile());
    file->setDestinationId(destinationId);
    file->setLocalPath(localPath);
    if (!file->select(connection))
        return {};
    return file;
}

QList<QSharedPointer<CloudFile>> CloudFile::select_(unsigned long long destinationId, unsigned long long limit,
                                                    unsigned long long offset, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    Statement statement(connection,
                        selectFrom(QStringLiteral("where destination_id = :destination_id limit :limit offset :offset")));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

QList<QSharedPointer<CloudFile>> CloudFile::selectFolder(unsigned long long parentId, unsigned long long limit,
                                                         unsigned long long offset, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || parentId == 0)
        return {};
    if (limit == 0) {
        Statement statement(connection, selectFrom(QStringLiteral("where parent_id = :parent_id order by display_name")));
        statement.bindU64(QStringLiteral(":parent_id"), parentId);
        return listOf(statement);
    }
    Statement statement(connection, selectFrom(QStringLiteral("where parent_id = :parent_id order by display_name "
                                                              "limit :limit offset :offset")));
    statement.bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

QList<QSharedPointer<CloudFile>> CloudFile::selectFolderUploaded(unsigned long long parentId, unsigned long long limit,
                                                                 unsigned long long offset,
                                                                 const DatabaseConnection& connection)
{
    if (!connection.isOpen() || parentId == 0 || limit == 0)
        return {};
    Statement statement(connection, selectFrom(QStringLiteral("where parent_id = :parent_id and is_broken = 0 order by "
                                                              "display_name limit :limit offset :offset")));
    statement.bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

QList<QSharedPointer<CloudFile>> CloudFile::selectByName(unsigned long long limit, unsigned long long offset,
                                                         unsigned long long destinationId, const QString& nameFilter,
                                                         const DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    // The LIKE wildcards and the bracket characters some engines treat specially are matched literally.
    // The escape character itself is not escaped, so a "/" in the filter escapes the character after it.
    const QChar escape = QLatin1Char('/');
    QString escaped;
    escaped.reserve(nameFilter.size() * 2);
    for (const QChar character : nameFilter) {
        if (character == QLatin1Char('%') || character == QLatin1Char('_') || character == QLatin1Char('[') ||
            character == QLatin1Char('^'))
            escaped += escape;
        escaped += character;
    }
    Statement statement(connection, QStringLiteral("select * from cloud_files where destination_id = :destination_id "
                                                   "and file_name like :name_filter escape :escape limit :limit "
                                                   "offset :offset"));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindText(QStringLiteral(":name_filter"), QLatin1Char('%') + escaped + QLatin1Char('%'))
        .bindText(QStringLiteral(":escape"), QString(escape))
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

bool CloudFile::selectOrInsert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_destinationId == 0 || m_localPath.isEmpty())
        return false;
    if (select(connection))
        return true;

    // A path without "/" is its own folder path.
    const int lastSlash = m_localPath.lastIndexOf(QLatin1Char('/'));
    const QString folderPath = lastSlash < 0 ? m_localPath : m_localPath.left(lastSlash);
    const QSharedPointer<CloudFolder> folder = CloudFolder::selectOrInsert(m_destinationId, folderPath, connection);
    if (folder.isNull())
        return false;
    m_parentId = folder->id();
    return insert(connection);
}

bool CloudFile::delete_(bool withVersions, DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_id == 0)
        return false;
    if (withVersions) {
        // A version that cannot be deleted stays behind as an orphan; the file goes regardless.
        const QList<QSharedPointer<CloudFileVersion>> versions = CloudFileVersion::select_(m_id, connection);
        for (const QSharedPointer<CloudFileVersion>& version : versions)
            version->delete_(false, connection);
    }

    Statement statement(connection, QStringLiteral("delete from cloud_files where id = :id"));
    statement.bindU64(QStringLiteral(":id"), m_id);
    if (statement.exec() != Result::Ok)
        return false;

    if (!CloudFolder::isEmpty(m_parentId, connection)) {
        KTL::KtlDebug("SQL").debug() << "SQL::CloudFile: path is not empty, file path:" << m_localPath;
        return true;
    }
    KTL::KtlDebug("SQL").debug() << "SQL::CloudFile: it's last file in folder, remove path for file:" << m_localPath;
    CloudFolder folder;
    if (!folder.select(m_parentId, connection))
        return true;
    return folder.delete_(true, connection);
}

}  // namespace RPX::SQL
