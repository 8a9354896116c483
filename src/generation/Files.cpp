#include "Files.h"

#include "ListingClauses.h"
#include "SchemaPrefix.h"

#include <rpxRepository/database/Utitlity.h>
#include <rpxRepository/database/agent/KtlDebug.h>

#include <QJsonDocument>
#include <QJsonParseError>

namespace RPX::SQL::Generation {

namespace {

// The lookups by path and of the previous version.
const QString RowColumns = QStringLiteral(
    "select f.id as id, f.display_name as display_name, f.local_path as local_path, f.original_size as "
    "original_size, f.date_modified_utc as date_modified_utc, f.attributes as attributes, f.is_compressed as "
    "is_compressed, f.parent_id as parent_id, f.total_size as total_size, f.hash as hash, f.map as map,  f.deleted "
    "as deleted, f.metadata as metadata, f.extents_size as extents_size");

// The folder listings, after "select " and the id column.
const QString ListColumns = QStringLiteral(
    " as id, f.display_name as display_name, f.local_path as local_path, f.original_size as original_size, "
    "f.date_modified_utc as date_modified_utc, f.attributes as attributes, f.is_compressed as is_compressed, "
    "f.parent_id as parent_id, f.total_size as total_size, f.hash as hash, f.map as map, f.deleted as deleted, "
    "f.metadata as metadata, f.extents_size as extents_size  from %1files as f , %1folders as d where f.parent_id = "
    "d.id");

}  // namespace

QString Files::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1files (id INTEGER PRIMARY KEY ASC, display_name TEXT, local_path "
                                   "TEXT, original_size INTEGER NOT NULL, date_modified_utc DATETIME NOT NULL, "
                                   "attributes INTEGER, is_compressed INTEGER, parent_id INTEGER NOT NULL, total_size "
                                   "INTEGER not NULL, hash BLOB, map BLOB, deleted INTEGER, metadata TEXT, "
                                   "extents_size INTEGER, UNIQUE (display_name, parent_id), FOREIGN KEY(parent_id) "
                                   "REFERENCES folders(id) ON UPDATE RESTRICT ON DELETE CASCADE);"),
                    prefix);
}

QStringList Files::createIndex(const QString& prefix)
{
    if (!isValidPrefix(prefix))
        return {};
    // SQLite takes a schema name before the index name only, so an attached generation gets it there.
    const QString pathIndex =
        prefix.isEmpty() ? QStringLiteral("CREATE INDEX file_path ON files(local_path, display_name);")
                         : QStringLiteral("CREATE INDEX %1.file_path ON files(local_path, display_name);").arg(prefix);
    return {prefixed(QStringLiteral("CREATE INDEX IF NOT EXISTS %1files_parent_id ON files (parent_id);"), prefix),
            pathIndex};
}

QStringList Files::update(const QVersionNumber&, const QString&)
{
    return {};
}

int Files::insert(const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(
        QStringLiteral("insert into %1files (display_name, local_path, original_size, date_modified_utc, attributes, "
                       "is_compressed, parent_id, total_size, hash, map, deleted, metadata, extents_size) values "
                       "(:display_name, :local_path, :original_size, :date_modified_utc, :attributes, "
                       ":is_compressed, :parent_id, :total_size, :hash, :map, :deleted, :metadata, :extents_size)"),
        prefix);
    if (!connection.isOpen() || sql.isEmpty() || m_parentId == 0 || m_localPath.isEmpty() || m_displayName.isEmpty())
        return Result::Error;
    // No metadata is stored as an empty text, not as NULL.
    const QString metadata =
        m_metadata.isEmpty() ? QStringLiteral("") : QString::fromUtf8(QJsonDocument(m_metadata).toJson());
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":display_name"), m_displayName)
        .bind(QStringLiteral(":local_path"), m_localPath)
        .bind(QStringLiteral(":original_size"), m_originalSize)
        .bind(QStringLiteral(":date_modified_utc"), Utitlity::modifiedDateTime(m_dateModificationUtc))
        .bind(QStringLiteral(":attributes"), m_attributes)
        .bind(QStringLiteral(":is_compressed"), m_isCompressed ? 1 : 0)
        .bindU64(QStringLiteral(":parent_id"), m_parentId)
        .bind(QStringLiteral(":total_size"), m_totalSize)
        .bind(QStringLiteral(":hash"), m_hash)
        .bind(QStringLiteral(":map"), m_map)
        .bind(QStringLiteral(":deleted"), m_deleted ? 1 : 0)
        .bind(QStringLiteral(":metadata"), metadata)
        .bind(QStringLiteral(":extents_size"), m_extentsSize);
    return statement.execInsert(m_id);
}

bool Files::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_displayName = row.text(QStringLiteral("display_name"));
    m_localPath = row.text(QStringLiteral("local_path"));
    m_originalSize = row.i64(QStringLiteral("original_size"));
    m_dateModificationUtc = utcDateTime(row.value(QStringLiteral("date_modified_utc")));
    m_attributes = row.i32(QStringLiteral("attributes"));
    m_isCompressed = row.i64(QStringLiteral("is_compressed")) == 1;
    m_parentId = row.u64(QStringLiteral("parent_id"));
    m_totalSize = row.i64(QStringLiteral("total_size"));
    m_hash = row.bytes(QStringLiteral("hash"));
    m_map = row.bytes(QStringLiteral("map"));
    m_deleted = row.i64(QStringLiteral("deleted")) == 1;
    const QByteArray metadata = row.utf8(QStringLiteral("metadata"));
    if (!metadata.isEmpty()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(metadata, &error);
        if (!document.isNull() && error.error == QJsonParseError::NoError)
            m_metadata = document.object();
        else
            KTL::KtlDebug("SQL").error() << "Error parce files metadata:" << error.errorString();
    }
    m_extentsSize = row.i64(QStringLiteral("extents_size"));
    return true;
}

RowResult<Files> Files::selectPrev(QSharedPointer<Files> file, bool notDeletedOnly, const QString& prefix,
                                   DatabaseConnection& connection)
{
    const QString sql = prefixed(
        RowColumns + (notDeletedOnly ? QStringLiteral(" from %1files as f where f.local_path = :local_path and f.id < "
                                                      ":id and deleted = 0 order by id desc limit 1")
                                     : QStringLiteral(" from %1files as f where f.local_path = :local_path and f.id < "
                                                      ":id order by id desc limit 1")),
        prefix);
    if (file.isNull() || !connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), file->localPath()).bindU64(QStringLiteral(":id"), file->id());
    return selectOne<Files>(statement);
}

RowResult<Files> Files::select(const QString& localPath, const QList<quint64>& restorePointIds, const QString& prefix,
                               DatabaseConnection& connection)
{
    const QString sql = forRestorePoints(
        restorePointIds,
        RowColumns + QStringLiteral(", d.restore_point_id as restore_point_id  from %1files as f , %1folders as d "
                                    "where d.id = f.parent_id and d.restore_point_id in (%2) and f.local_path = "
                                    ":local_path order by restore_point_id desc limit 1"),
        RowColumns + QStringLiteral(", d.restore_point_id as restore_point_id from %1files as f , %1folders as d "
                                    "where d.id = f.parent_id and f.local_path = :local_path order by "
                                    "restore_point_id desc limit 1 "),
        prefix);
    if (localPath.isEmpty() || !connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), localPath);
    return selectOne<Files>(statement);
}

ListResult<Files> Files::selectInFolder(const QString& folderPath, const QList<quint64>& restorePointIds, qint64 limit,
                                        qint64 offset, const QString& prefix, DatabaseConnection& connection)
{
    const QString head = QStringLiteral("select MAX(f.id)") + ListColumns;
    const QString sql = forRestorePoints(
        restorePointIds,
        head + QStringLiteral(" and d.restore_point_id in (%2) and d.local_path = :local_path group by f.local_path "
                              "%3 %4"),
        head + QStringLiteral(" and d.local_path = :local_path group by f.local_path %2 %3"), prefix,
        {limitClause(limit), offsetClause(offset)});
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), folderPath);
    return selectAll<Files>(statement);
}

ListResult<Files> Files::selectInFolder(quint64 folderId, const QList<quint64>& restorePointIds, qint64 limit,
                                        qint64 offset, const QString& prefix, DatabaseConnection& connection)
{
    const QString head = QStringLiteral("select f.id") + ListColumns;
    const QString sql = forRestorePoints(
        restorePointIds,
        head + QStringLiteral(" and d.id = :id and d.restore_point_id in (%2)  group by f.local_path %3 %4"),
        head + QStringLiteral(" and d.id = :id group by f.local_path %2 %3"), prefix,
        {limitClause(limit), offsetClause(offset)});
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), folderId);
    return selectAll<Files>(statement);
}

}  // namespace RPX::SQL::Generation
