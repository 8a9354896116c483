#include "RestorePointParts.h"

#include "SchemaPrefix.h"

#include <rpxRepository/database/SqlSupport.h>

namespace RPX::SQL::Generation {

bool RestorePointParts::init(QSqlQuery& query)
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
    return initChainNumber();
}

RestorePointParts::Map RestorePointParts::select(const QString& statement, quint64 restorePointId,
                                                 bool notBrokenOnly, const QString& prefix,
                                                 DatabaseConnection& connection, const Factory& factory)
{
    Map parts;
    const QString sql = prefixed(statement, prefix);
    if (!connection.isOpen() || sql.isEmpty() || restorePointId == 0 || !factory)
        return parts;
    Statement query(connection, sql);
    query.bindU64(QStringLiteral(":restore_point_id"), restorePointId);
    if (notBrokenOnly)
        query.bind(QStringLiteral(":broken_type"), int(KTL::Archive::BrokenType::NotBroken));
    if (query.exec() != Result::Ok)
        return parts;
    while (true) {
        QSharedPointer<RestorePointParts> part(factory());
        if (part.isNull() || !part->init(query.query()))
            break;
        parts.insert(part->chainNumber(), part);
    }
    return parts;
}

RestorePointParts::Map RestorePointParts::select(quint64 restorePointId, const QString& prefix,
                                                 DatabaseConnection& connection, const Factory& factory)
{
    return select(QStringLiteral("SELECT p.id as id, sf.path AS path, sf.cloud_id AS cloud_id, sf.upload_id AS "
                                 "upload_id, sf.size, sf.broken_type AS broken_type, sf.last_modified_date AS "
                                 "last_modified_date FROM %1parts p inner join %1storage_files sf on p.id = sf.id "
                                 "WHERE p.restore_point_id = :restore_point_id"),
                  restorePointId, false, prefix, connection, factory);
}

RestorePointParts::Map RestorePointParts::selectNotBroken(quint64 restorePointId, const QString& prefix,
                                                          DatabaseConnection& connection, const Factory& factory)
{
    return select(QStringLiteral("SELECT p.id as id, sf.path AS path, sf.cloud_id AS cloud_id, sf.upload_id AS "
                                 "upload_id, sf.size, sf.broken_type AS broken_type, sf.last_modified_date AS "
                                 "last_modified_date FROM %1parts p inner join %1storage_files sf on p.id = sf.id "
                                 "WHERE p.restore_point_id = :restore_point_id and sf.broken_type = :broken_type"),
                  restorePointId, true, prefix, connection, factory);
}

}  // namespace RPX::SQL::Generation
