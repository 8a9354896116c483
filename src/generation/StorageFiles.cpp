#include "StorageFiles.h"

#include "SchemaPrefix.h"

namespace RPX::SQL::Generation {

QString StorageFiles::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1storage_files (id INTEGER PRIMARY KEY ASC, path TEXT, cloud_id "
                                   "TEXT, upload_id TEXT, size NUMERIC, broken_type INTEGER, last_modified_date "
                                   "DATETIME)"),
                    prefix);
}

QStringList StorageFiles::createIndex(const QString&)
{
    return {};
}

QStringList StorageFiles::update(const QVersionNumber&, const QString&)
{
    return {};
}

int StorageFiles::insert(const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("insert into %1storage_files (path, cloud_id, upload_id, size, "
                                                "broken_type, last_modified_date) values (:path, :cloud_id, "
                                                ":upload_id, :size, :broken_type, :last_modified_date);"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":path"), m_path)
        .bind(QStringLiteral(":cloud_id"), m_cloudId)
        .bind(QStringLiteral(":upload_id"), m_uploadId)
        .bind(QStringLiteral(":size"), m_size)
        .bind(QStringLiteral(":broken_type"), int(m_brokenType))
        .bind(QStringLiteral(":last_modified_date"), m_lastModified);
    return statement.execInsert(m_id);
}

int StorageFiles::update(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(QStringLiteral("update %1storage_files set path = :path, cloud_id = :cloud_id, "
                                                "upload_id = :upload_id, size = :size, broken_type = :broken_type, "
                                                "last_modified_date = :last_modified_date where id = :id"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":path"), m_path)
        .bind(QStringLiteral(":cloud_id"), m_cloudId)
        .bind(QStringLiteral(":upload_id"), m_uploadId)
        .bind(QStringLiteral(":size"), m_size)
        .bind(QStringLiteral(":broken_type"), int(m_brokenType))
        .bind(QStringLiteral(":last_modified_date"), m_lastModified)
        .bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

int StorageFiles::remove(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(QStringLiteral("delete from %1storage_files where id = :id"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

bool StorageFiles::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_path = row.text(QStringLiteral("path"));
    m_cloudId = row.text(QStringLiteral("cloud_id"));
    m_uploadId = row.text(QStringLiteral("upload_id"));
    m_size = row.i64(QStringLiteral("size"));
    m_brokenType = KTL::Archive::BrokenType(row.i32(QStringLiteral("broken_type")));
    m_lastModified = utcDateTime(row.value(QStringLiteral("last_modified_date")));
    return true;
}

QPair<qint64, int> StorageFiles::sizeOnStorage(const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("select sum(size) as size from %1storage_files"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {0, Result::Error};
    Statement statement(connection, sql);
    const int code = statement.exec();
    if (code != Result::Ok)
        return {0, code};
    if (!statement.next())
        return {0, Result::Ok};
    return {Row(statement.query()).i64(QStringLiteral("size")), Result::Ok};
}

QPair<QSharedPointer<QDateTime>, int> StorageFiles::lastUploadDateTime(const QString& prefix,
                                                                       DatabaseConnection& connection)
{
    const QString sql = prefixed(
        QStringLiteral("select max(last_modified_date) as last_modified_date  from %1storage_files;"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    const int code = statement.exec();
    if (code != Result::Ok)
        return {{}, code};
    if (!statement.next())
        return {{}, Result::Ok};
    return {QSharedPointer<QDateTime>::create(
                utcDateTime(Row(statement.query()).value(QStringLiteral("last_modified_date")))),
            Result::Ok};
}

RowResult<StorageFiles> StorageFiles::select(const QString& path, const QString& prefix,
                                             DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("select id, path, cloud_id, upload_id, size, broken_type, "
                                                "last_modified_date from %1storage_files where path = :path"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty() || path.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":path"), path);
    return selectOne<StorageFiles>(statement);
}

RowResult<StorageFiles> StorageFiles::select(quint64 id, const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("select id, path, cloud_id, upload_id, size, broken_type, "
                                                "last_modified_date from %1storage_files where id = :id"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty() || id == 0)
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), id);
    return selectOne<StorageFiles>(statement);
}

ListResult<StorageFiles> StorageFiles::select(const QString& prefix, qint64 limit, qint64 offset,
                                              DatabaseConnection& connection)
{
    const QString sql =
        prefixed(limit >= 1 ? QStringLiteral("select id, path, cloud_id, upload_id, size, broken_type, "
                                             "last_modified_date from %1storage_files limit :limit offset :offset")
                            : QStringLiteral("select id, path, cloud_id, upload_id, size, broken_type, "
                                             "last_modified_date from %1storage_files"),
                 prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    if (limit >= 1)
        statement.bind(QStringLiteral(":limit"), limit).bind(QStringLiteral(":offset"), offset);
    return selectAll<StorageFiles>(statement);
}

ListResult<StorageFiles> StorageFiles::selectPathStartWith(const QString& path, const QString& prefix,
                                                           DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("select id, path, cloud_id, upload_id, size, broken_type, "
                                                "last_modified_date from %1storage_files where path LIKE :path"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":path"), QString(path + QLatin1Char('%')));
    return selectAll<StorageFiles>(statement);
}

}  // namespace RPX::SQL::Generation
