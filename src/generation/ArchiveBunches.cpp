#include "ArchiveBunches.h"

namespace RPX::SQL {

namespace {

// Texts are written as given, an unset one as the empty text rather than NULL.
QVariant text(const QString& value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

}  // namespace

QString ArchiveBunches::createTable(DatabaseType type)
{
    // PostgreSQL assigns no ids to an integer key by itself: a sequence gives the new row's id there.
    return dialect(type,
                   QStringLiteral("create table archive_bunches (id integer primary key, folder_id integer not null, "
                                  "display_name text not null, type integer not null DEFAULT 0, destination_id "
                                  "INTEGER NOT NULL, plan_id TEXT NULL, meta_file_name TEXT, unique(folder_id, type), "
                                  "unique(destination_id, plan_id), foreign key (folder_id) references "
                                  "cloud_folders(id) on update cascade on delete cascade, foreign key "
                                  "(destination_id) references destination(id) on update cascade on delete "
                                  "cascade);"),
                   QStringLiteral("create table archive_bunches (id BIGSERIAL primary key, folder_id BIGINT not null, "
                                  "display_name text not null, type integer not null DEFAULT 0, destination_id "
                                  "BIGINT NOT NULL, plan_id TEXT NULL, meta_file_name TEXT, unique(folder_id, type), "
                                  "unique(destination_id, plan_id), foreign key (folder_id) references "
                                  "cloud_folders(id) on update cascade on delete cascade, foreign key "
                                  "(destination_id) references destination(id) on update cascade on delete "
                                  "cascade);"));
}

int ArchiveBunches::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_folderId == 0 || m_destinationId == 0 || m_planId.isNull())
        return Result::Error;
    Statement statement(connection, QStringLiteral("insert into archive_bunches (folder_id, display_name, type, "
                                                   "destination_id, plan_id, meta_file_name) values(:folder_id, "
                                                   ":display_name, :type, :destination_id, :plan_id, "
                                                   ":meta_file_name)"), Statement::ReturnsId);
    statement.bindU64(QStringLiteral(":folder_id"), m_folderId)
        .bind(QStringLiteral(":display_name"), text(m_displayName))
        .bind(QStringLiteral(":type"), int(m_type))
        .bindU64(QStringLiteral(":destination_id"), m_destinationId)
        .bind(QStringLiteral(":plan_id"), m_planId.toString())
        .bind(QStringLiteral(":meta_file_name"), text(m_metaFileName));
    return statement.execInsert(m_id);
}

int ArchiveBunches::remove(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return Result::Ok;
    Statement statement(connection, QStringLiteral("delete from archive_bunches where id = :id"));
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

int ArchiveBunches::updateMetaFileInfo(const QUuid& planId, quint64 destinationId, const QString& displayName,
                                       KTL::Archive::Type type, const QString& metaFileName,
                                       DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return Result::Error;
    Statement statement(connection, QStringLiteral("update archive_bunches set display_name = :display_name, type = "
                                                   ":type, meta_file_name = :meta_file_name where plan_id = :plan_id "
                                                   "and destination_id = :destination_id"));
    statement.bind(QStringLiteral(":display_name"), text(displayName))
        .bind(QStringLiteral(":meta_file_name"), text(metaFileName))
        .bind(QStringLiteral(":type"), int(type))
        .bind(QStringLiteral(":plan_id"), planId.toString())
        .bindU64(QStringLiteral(":destination_id"), destinationId);
    return statement.exec();
}

bool ArchiveBunches::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_folderId = row.u64(QStringLiteral("folder_id"));
    m_displayName = row.text(QStringLiteral("display_name"));
    m_type = KTL::Archive::Type(row.i32(QStringLiteral("type")));
    m_destinationId = row.u64(QStringLiteral("destination_id"));
    m_planId = row.uuid(QStringLiteral("plan_id"));
    m_metaFileName = row.text(QStringLiteral("meta_file_name"));
    return true;
}

RowResult<ArchiveBunches> ArchiveBunches::select(const QUuid& planId, quint64 destinationId,
                                                 DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0 || planId.isNull())
        return {{}, Result::Error};
    Statement statement(connection, QStringLiteral("select id,  folder_id, display_name, type, destination_id, "
                                                   "plan_id, meta_file_name from archive_bunches where "
                                                   "destination_id = :destination_id and plan_id = :plan_id"));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bind(QStringLiteral(":plan_id"), planId.toString());
    return selectOne<ArchiveBunches>(statement);
}

ListResult<ArchiveBunches> ArchiveBunches::select(quint64 destinationId, qint64 limit, qint64 offset,
                                                  DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {{}, Result::Error};
    const bool paged = limit > 0;
    Statement statement(connection,
                        paged ? QStringLiteral("select id,  folder_id, display_name, type, destination_id, plan_id, "
                                               "meta_file_name from archive_bunches where destination_id = "
                                               ":destination_id limit :limit offset :offset ")
                              : QStringLiteral("select id,  folder_id, display_name, type, destination_id, plan_id, "
                                               "meta_file_name from archive_bunches where destination_id = "
                                               ":destination_id "));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId);
    if (paged)
        statement.bind(QStringLiteral(":limit"), limit).bind(QStringLiteral(":offset"), offset);
    return selectAll<ArchiveBunches>(statement);
}

}  // namespace RPX::SQL
