#include "Parts.h"

#include "SchemaPrefix.h"

namespace RPX::SQL::Generation {

Parts::Parts(quint64 id, quint64 restorePointId) : m_id(id), m_restorePointId(restorePointId) {}

QString Parts::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1parts (id INTEGER, restore_point_id INTEGER NOT NULL, UNIQUE(id), "
                                   "FOREIGN KEY(restore_point_id) REFERENCES restore_points(id) ON UPDATE CASCADE ON "
                                   "DELETE CASCADE , FOREIGN KEY(id) REFERENCES storage_files(id) ON UPDATE CASCADE "
                                   "ON DELETE CASCADE);"),
                    prefix);
}

QStringList Parts::createIndex(const QString& prefix)
{
    const QString statement =
        prefixed(QStringLiteral("CREATE INDEX IF NOT EXISTS %1parts_archive_id ON parts (restore_point_id)"), prefix);
    return statement.isEmpty() ? QStringList() : QStringList{statement};
}

QStringList Parts::update(const QVersionNumber&, const QString&)
{
    return {};
}

int Parts::insert(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(
        QStringLiteral("insert or ignore into %1parts (id, restore_point_id) values (:id, :restore_point_id)"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), m_id).bindU64(QStringLiteral(":restore_point_id"), m_restorePointId);
    return statement.exec();
}

bool Parts::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_restorePointId = row.u64(QStringLiteral("restore_point_id"));
    return true;
}

ListResult<Parts> Parts::select(quint64 restorePointId, const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(
        QStringLiteral("select id, restore_point_id from %1parts where restore_point_id = :restore_point_id"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":restore_point_id"), restorePointId);
    return selectAll<Parts>(statement);
}

}  // namespace RPX::SQL::Generation
