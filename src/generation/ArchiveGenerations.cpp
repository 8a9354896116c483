#include "ArchiveGenerations.h"

namespace RPX::SQL {

namespace {

// Texts are written as given, an unset one as the empty text rather than NULL.
QVariant text(const QString& value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

}  // namespace

QString ArchiveGenerations::createTable(DatabaseType type)
{
    // PostgreSQL assigns no ids to an integer key by itself: a sequence gives the new row's id there.
    // hint is free text the agent writes as text, so it is TEXT there.
    return dialect(type,
                   QStringLiteral("create table archive_generations (id integer primary key not null, bunch_id "
                                  "integer not null, marker text not null, format TEXT, number integer not null, type "
                                  "INTEGER NOT NULL DEFAULT 0, full_backup_reason INTEGER, broken_type INTEGER, hint "
                                  "BLOB, errors_list TEXT, custom_purge INTEGER NOT NULL DEFAULT 0, "
                                  "uploaded_files_size INTEGER, unique(bunch_id, marker), foreign key (bunch_id) "
                                  "references archive_bunches(id) on update cascade on delete cascade);"),
                   QStringLiteral("create table archive_generations (id BIGSERIAL primary key not null, bunch_id "
                                  "BIGINT not null, marker text not null, format TEXT, number integer not null, type "
                                  "INTEGER NOT NULL DEFAULT 0, full_backup_reason INTEGER, broken_type INTEGER, hint "
                                  "TEXT, errors_list TEXT, custom_purge INTEGER NOT NULL DEFAULT 0, "
                                  "uploaded_files_size BIGINT, unique(bunch_id, marker), foreign key (bunch_id) "
                                  "references archive_bunches(id) on update cascade on delete cascade);"));
}

QString ArchiveGenerations::createIndex(DatabaseType type)
{
    return bothDialects(type, QStringLiteral("CREATE INDEX IF NOT EXISTS archive_generations_bunch_id ON "
                                             "archive_generations (bunch_id);"));
}

void ArchiveGenerations::bindFields(Statement& statement) const
{
    statement.bindU64(QStringLiteral(":bunch_id"), m_bunchId)
        .bind(QStringLiteral(":marker"), m_marker.toString())
        .bind(QStringLiteral(":format"), text(m_format.toString()))
        .bind(QStringLiteral(":number"), m_number)
        .bind(QStringLiteral(":type"), int(m_type))
        .bind(QStringLiteral(":full_backup_reason"), int(m_fullBackupReason))
        .bind(QStringLiteral(":broken_type"), int(m_brokenType))
        .bind(QStringLiteral(":hint"), text(m_hint))
        .bind(QStringLiteral(":errors_list"), text(m_errorList))
        .bind(QStringLiteral(":custom_purge"), m_customPurge)
        .bind(QStringLiteral(":uploaded_files_size"), m_uploadedFilesSize);
}

int ArchiveGenerations::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_bunchId == 0)
        return Result::Error;
    Statement statement(connection, QStringLiteral("insert into archive_generations (bunch_id, marker, format, number, "
                                                   "type, full_backup_reason, broken_type, hint, errors_list, "
                                                   "custom_purge, uploaded_files_size) values(:bunch_id, :marker, "
                                                   ":format, :number, :type, :full_backup_reason, :broken_type, "
                                                   ":hint, :errors_list, :custom_purge, :uploaded_files_size)"), Statement::ReturnsId);
    bindFields(statement);
    return statement.execInsert(m_id);
}

int ArchiveGenerations::update(DatabaseConnection& connection) const
{
    if (!connection.isOpen() || m_id == 0)
        return Result::Error;
    Statement statement(connection, QStringLiteral("update archive_generations set bunch_id = :bunch_id, marker = "
                                                   ":marker, number = :number, type = :type, full_backup_reason = "
                                                   ":full_backup_reason, broken_type = :broken_type, hint = :hint, "
                                                   "errors_list = :errors_list, custom_purge = :custom_purge, "
                                                   "uploaded_files_size = :uploaded_files_size , format = :format "
                                                   "where id = :id"));
    bindFields(statement);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

int ArchiveGenerations::remove(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return Result::Ok;
    Statement statement(connection, QStringLiteral("delete from archive_generations where id = :id"));
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

bool ArchiveGenerations::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_bunchId = row.u64(QStringLiteral("bunch_id"));
    m_marker = row.uuid(QStringLiteral("marker"));
    m_format = QVersionNumber::fromString(row.text(QStringLiteral("format")));
    m_number = row.i32(QStringLiteral("number"));
    m_type = KTL::Archive::GenerationType(row.i32(QStringLiteral("type")));
    m_fullBackupReason = KTL::Archive::FullReason(row.i32(QStringLiteral("full_backup_reason")));
    m_brokenType = KTL::Archive::BrokenType(row.i32(QStringLiteral("broken_type")));
    m_hint = row.text(QStringLiteral("hint"));
    m_errorList = row.text(QStringLiteral("errors_list"));
    m_customPurge = row.i32(QStringLiteral("custom_purge"));
    m_uploadedFilesSize = row.i64(QStringLiteral("uploaded_files_size"));
    return true;
}

RowResult<ArchiveGenerations> ArchiveGenerations::current(quint64 bunchId, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {{}, Result::Error};
    Statement statement(connection, QStringLiteral("select id,  bunch_id, marker, format, number, type, "
                                                   "full_backup_reason, broken_type, hint, errors_list, custom_purge, "
                                                   "uploaded_files_size  from archive_generations where bunch_id = "
                                                   ":bunch_id order by number desc limit 1"));
    statement.bindU64(QStringLiteral(":bunch_id"), bunchId);
    return selectOne<ArchiveGenerations>(statement);
}

RowResult<ArchiveGenerations> ArchiveGenerations::select(quint64 bunchId, const QUuid& marker,
                                                         DatabaseConnection& connection)
{
    if (!connection.isOpen() || marker.isNull() || bunchId == 0)
        return {{}, Result::Error};
    Statement statement(connection, QStringLiteral("select id,  bunch_id, marker, format, number, type, "
                                                   "full_backup_reason, broken_type, hint, errors_list, custom_purge, "
                                                   "uploaded_files_size  from archive_generations where marker = "
                                                   ":marker and bunch_id = :bunch_id"));
    statement.bind(QStringLiteral(":marker"), marker.toString()).bindU64(QStringLiteral(":bunch_id"), bunchId);
    return selectOne<ArchiveGenerations>(statement);
}

ListResult<ArchiveGenerations> ArchiveGenerations::select(quint64 bunchId, qint64 limit, qint64 offset,
                                                          DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {{}, Result::Error};
    const bool paged = limit > 0;
    Statement statement(connection,
                        paged ? QStringLiteral("select id,  bunch_id, marker, format, number, type, "
                                               "full_backup_reason, broken_type, hint, errors_list, custom_purge, "
                                               "uploaded_files_size  from archive_generations where bunch_id = "
                                               ":bunch_id limit :limit offset :offset")
                              : QStringLiteral("select id,  bunch_id, marker, format, number, type, "
                                               "full_backup_reason, broken_type, hint, errors_list, custom_purge, "
                                               "uploaded_files_size  from archive_generations where bunch_id = "
                                               ":bunch_id"));
    statement.bindU64(QStringLiteral(":bunch_id"), bunchId);
    if (paged)
        statement.bind(QStringLiteral(":limit"), limit).bind(QStringLiteral(":offset"), offset);
    return selectAll<ArchiveGenerations>(statement);
}

}  // namespace RPX::SQL
