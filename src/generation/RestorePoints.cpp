#include "RestorePoints.h"

#include "SchemaPrefix.h"

#include <rpxRepository/database/Utitlity.h>

namespace RPX::SQL::Generation {

namespace {

const QString SelectColumns = QStringLiteral(
    "select id, start_date, finish_date, sequence_number, is_full, toc_id, total_bytes, new_bytes, compressed_bytes, "
    "snapshot_type, files_backed_up, files_deleted, folders_backed_up, folders_deleted , metadata, plan, "
    "blocks_count, parts_count, sgn_file_name, session_history_id, backup_result, backup_error_list, "
    "consistency_check_result, consistency_check_datetime, consistency_check_error_list, broken_type, "
    "total_files_count, total_files_size");

// Dates are stored cut to whole seconds and marked UTC; a missing date is stored as NULL.
QVariant storedDate(const QDateTime& value)
{
    return value.isValid() ? QVariant(Utitlity::modifiedDateTime(value)) : QtCompat::null<QDateTime>();
}

}  // namespace

QString RestorePoints::createTable(const QString& prefix)
{
    return prefixed(
        QStringLiteral("CREATE TABLE %1restore_points (id INTEGER PRIMARY KEY ASC, start_date DATETIME NOT NULL, "
                       "finish_date DATETIME, sequence_number INTEGER NOT NULL, is_full INTEGER, toc_id INTEGER, "
                       "total_bytes INTEGER, new_bytes INTEGER, compressed_bytes INTEGER, snapshot_type INTEGER, "
                       "files_backed_up INTEGER, files_deleted INTEGER, folders_backed_up INTEGER, folders_deleted "
                       "INTEGER, metadata TEXT, plan TEXT, blocks_count INTEGER, parts_count INTEGER, sgn_file_name "
                       "TEXT, session_history_id INTEGER, backup_result INTEGER DEFAULT 0, backup_error_list TEXT, "
                       "consistency_check_result INTEGER DEFAULT 0, consistency_check_datetime DATETIME, "
                       "consistency_check_error_list TEXT, broken_type INTEGER, total_files_count INTEGER, "
                       "total_files_size INTEGER, UNIQUE(sequence_number), FOREIGN KEY(toc_id) REFERENCES "
                       "storage_files(id) ON UPDATE CASCADE ON DELETE SET NULL);"),
        prefix);
}

QStringList RestorePoints::createIndex(const QString&)
{
    return {};
}

QStringList RestorePoints::update(const QVersionNumber&, const QString&)
{
    return {};
}

void RestorePoints::bindFields(Statement& statement) const
{
    statement.bind(QStringLiteral(":start_date"), storedDate(m_startDate))
        .bind(QStringLiteral(":finish_date"), storedDate(m_finishDate))
        .bind(QStringLiteral(":sequence_number"), m_sequenceNumber)
        .bind(QStringLiteral(":is_full"), int(m_backupType))
        .bindU64(QStringLiteral(":toc_id"), m_tocId)
        .bind(QStringLiteral(":total_bytes"), m_totalBytes)
        .bind(QStringLiteral(":new_bytes"), m_newBytes)
        .bind(QStringLiteral(":compressed_bytes"), m_compressedBytes)
        .bind(QStringLiteral(":snapshot_type"), int(m_snapshotType))
        .bind(QStringLiteral(":files_backed_up"), m_filesBackedUp)
        .bind(QStringLiteral(":files_deleted"), m_filesDeleted)
        .bind(QStringLiteral(":folders_backed_up"), m_foldersBackedUp)
        .bind(QStringLiteral(":folders_deleted"), m_foldersDeleted)
        .bind(QStringLiteral(":metadata"), m_metadata)
        .bind(QStringLiteral(":plan"), m_plan)
        .bind(QStringLiteral(":blocks_count"), m_blocksCount)
        .bind(QStringLiteral(":parts_count"), m_partsCount)
        .bind(QStringLiteral(":sgn_file_name"), m_sgnFileName)
        .bindU64(QStringLiteral(":session_history_id"), m_sessionHistoryId)
        .bind(QStringLiteral(":backup_result"), int(m_backupResult))
        .bind(QStringLiteral(":backup_error_list"), m_backupErrorList)
        .bind(QStringLiteral(":consistency_check_result"), int(m_consistencyCheckResult))
        .bind(QStringLiteral(":consistency_check_datetime"), storedDate(m_consistencyCheckDateTime))
        .bind(QStringLiteral(":consistency_check_error_list"), m_consistencyCheckErrorList)
        .bind(QStringLiteral(":broken_type"), int(m_brokenType))
        .bind(QStringLiteral(":total_files_count"), m_totalFileCount)
        .bind(QStringLiteral(":total_files_size"), m_totalFileSize);
}

int RestorePoints::insert(const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(
        QStringLiteral("insert into %1restore_points(start_date, finish_date, sequence_number, is_full, toc_id, "
                       "total_bytes, new_bytes, compressed_bytes, snapshot_type, files_backed_up, files_deleted, "
                       "folders_backed_up, folders_deleted, metadata, plan, blocks_count, parts_count, sgn_file_name, "
                       "session_history_id, backup_result, backup_error_list, consistency_check_result, "
                       "consistency_check_datetime, consistency_check_error_list, broken_type, total_files_count, "
                       "total_files_size) values (:start_date, :finish_date, :sequence_number, :is_full, :toc_id, "
                       ":total_bytes, :new_bytes, :compressed_bytes, :snapshot_type, :files_backed_up, "
                       ":files_deleted, :folders_backed_up, :folders_deleted, :metadata, :plan, :blocks_count, "
                       ":parts_count, :sgn_file_name, :session_history_id, :backup_result, :backup_error_list, "
                       ":consistency_check_result, :consistency_check_datetime, :consistency_check_error_list, "
                       ":broken_type, :total_files_count, :total_files_size) "),
        prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    bindFields(statement);
    return statement.execInsert(m_id);
}

int RestorePoints::update(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(
        QStringLiteral("update %1restore_points set start_date = :start_date, finish_date = :finish_date, "
                       "sequence_number = :sequence_number, is_full = :is_full, toc_id = :toc_id, total_bytes = "
                       ":total_bytes, new_bytes = :new_bytes, compressed_bytes = :compressed_bytes, snapshot_type = "
                       ":snapshot_type, files_backed_up = :files_backed_up, files_deleted = :files_deleted, "
                       "folders_backed_up = :folders_backed_up, folders_deleted = :folders_deleted , metadata = "
                       ":metadata, plan = :plan, blocks_count = :blocks_count, parts_count = :parts_count, "
                       "sgn_file_name = :sgn_file_name, session_history_id = :session_history_id, backup_result = "
                       ":backup_result, backup_error_list = :backup_error_list, consistency_check_result = "
                       ":consistency_check_result, consistency_check_datetime = :consistency_check_datetime, "
                       "consistency_check_error_list = :consistency_check_error_list, broken_type = :broken_type, "
                       "total_files_count = :total_files_count, total_files_size = :total_files_size where id = :id"),
        prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    bindFields(statement);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

int RestorePoints::remove(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(QStringLiteral("delete from %1restore_points where id = :id"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec();
}

bool RestorePoints::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_startDate = row.dateTime(QStringLiteral("start_date"));
    m_finishDate = row.dateTime(QStringLiteral("finish_date"));
    m_sequenceNumber = row.i64(QStringLiteral("sequence_number"));
    m_backupType = KTL::Archive::BackupType(row.i32(QStringLiteral("is_full")));
    m_tocId = row.u64(QStringLiteral("toc_id"));
    m_totalBytes = row.i64(QStringLiteral("total_bytes"));
    m_newBytes = row.i64(QStringLiteral("new_bytes"));
    m_compressedBytes = row.i64(QStringLiteral("compressed_bytes"));
    m_snapshotType = KTL::Archive::SnapshotType::Value(row.i32(QStringLiteral("snapshot_type")));
    m_filesBackedUp = row.i64(QStringLiteral("files_backed_up"));
    m_filesDeleted = row.i64(QStringLiteral("files_deleted"));
    m_foldersBackedUp = row.i64(QStringLiteral("folders_backed_up"));
    m_foldersDeleted = row.i64(QStringLiteral("folders_deleted"));
    m_metadata = row.text(QStringLiteral("metadata"));
    m_plan = row.text(QStringLiteral("plan"));
    m_blocksCount = row.i64(QStringLiteral("blocks_count"));
    m_partsCount = row.i64(QStringLiteral("parts_count"));
    m_sgnFileName = row.text(QStringLiteral("sgn_file_name"));
    m_sessionHistoryId = row.u64(QStringLiteral("session_history_id"));
    m_backupResult = KTL::Archive::BackupResult(row.i32(QStringLiteral("backup_result")));
    m_backupErrorList = row.text(QStringLiteral("backup_error_list"));
    m_consistencyCheckResult =
        KTL::Archive::ConsistencyCheckResult(row.i32(QStringLiteral("consistency_check_result")));
    m_consistencyCheckDateTime = row.dateTime(QStringLiteral("consistency_check_datetime"));
    m_consistencyCheckErrorList = row.text(QStringLiteral("consistency_check_error_list"));
    m_brokenType = KTL::Archive::BrokenType(row.i32(QStringLiteral("broken_type")));
    m_totalFileCount = row.i64(QStringLiteral("total_files_count"));
    m_totalFileSize = row.i64(QStringLiteral("total_files_size"));
    return true;
}

bool RestorePoints::needSync() const
{
    const bool countsUnknown = m_filesBackedUp == -1 || m_filesDeleted == -1 || m_foldersBackedUp == -1 ||
                               m_foldersDeleted == -1;
    return countsUnknown && (m_partsCount > 0 || m_tocId != 0);
}

RowResult<RestorePoints> RestorePoints::selectOneWhere(const QString& tail, const QString& prefix,
                                                       DatabaseConnection& connection,
                                                       const QList<QPair<QString, QVariant>>& values)
{
    const QString sql = prefixed(SelectColumns + tail, prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    for (const auto& value : values)
        statement.bind(value.first, value.second);
    return selectOne<RestorePoints>(statement);
}

RowResult<RestorePoints> RestorePoints::selectBySequenceNumber(qint64 sequenceNumber, const QString& prefix,
                                                               DatabaseConnection& connection)
{
    return selectOneWhere(QStringLiteral("  from %1restore_points where sequence_number = :sequence_number"), prefix,
                          connection, {{QStringLiteral(":sequence_number"), sequenceNumber}});
}

RowResult<RestorePoints> RestorePoints::selectByDateTime(const QDateTime& startDate, const QString& prefix,
                                                         DatabaseConnection& connection)
{
    return selectOneWhere(QStringLiteral("  from %1restore_points where start_date = :start_date"), prefix,
                          connection, {{QStringLiteral(":start_date"), startDate}});
}

RowResult<RestorePoints> RestorePoints::selectById(quint64 id, const QString& prefix, DatabaseConnection& connection)
{
    return selectOneWhere(QStringLiteral("  from %1restore_points where id = :id"), prefix, connection,
                          {{QStringLiteral(":id"), QVariant(qulonglong(id))}});
}

RowResult<RestorePoints> RestorePoints::selectLast(const QString& prefix, DatabaseConnection& connection)
{
    return selectOneWhere(QStringLiteral("  from %1restore_points order by start_date desc limit 1"), prefix,
                          connection, {});
}

RowResult<RestorePoints> RestorePoints::selectPrev(qint64 sequenceNumber, const QString& prefix,
                                                   DatabaseConnection& connection)
{
    return selectOneWhere(QStringLiteral("  from %1restore_points where sequence_number < :sequence_number order by "
                                         "start_date desc limit 1"),
                          prefix, connection, {{QStringLiteral(":sequence_number"), sequenceNumber}});
}

RowResult<RestorePoints> RestorePoints::selectPrevWithSignature(qint64 sequenceNumber, const QString& prefix,
                                                                DatabaseConnection& connection)
{
    return selectOneWhere(QStringLiteral("  from %1restore_points where sequence_number < :sequence_number and "
                                         "sgn_file_name is not NULL and sgn_file_name != \"\"  order by start_date "
                                         "desc limit 1"),
                          prefix, connection, {{QStringLiteral(":sequence_number"), sequenceNumber}});
}

RowResult<RestorePoints> RestorePoints::selectPrev(const QDateTime& startDate, const QString& prefix,
                                                   DatabaseConnection& connection)
{
    return selectOneWhere(
        QStringLiteral("  from %1restore_points where start_date < :start_date order by start_date desc limit 1"),
        prefix, connection, {{QStringLiteral(":start_date"), startDate}});
}

ListResult<RestorePoints> RestorePoints::select(const QString& prefix, qint64 limit, qint64 offset,
                                                DatabaseConnection& connection)
{
    const QString tail = limit >= 1 ? QStringLiteral("  from %1restore_points limit :limit offset :offset")
                                    : QStringLiteral(" from %1restore_points");
    const QString sql = prefixed(SelectColumns + tail, prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    if (limit >= 1)
        statement.bind(QStringLiteral(":limit"), limit).bind(QStringLiteral(":offset"), offset);
    return selectAll<RestorePoints>(statement);
}

ListResult<RestorePoints> RestorePoints::select(const QDateTime& upTo, const QString& prefix, qint64 limit,
                                                qint64 offset, DatabaseConnection& connection)
{
    const QString sql = prefixed(
        SelectColumns + (limit >= 1 ? QStringLiteral("  from %1restore_points where start_date <= :start_date limit "
                                                     ":limit offset :offset")
                                    : QStringLiteral(" from %1restore_points where start_date <= :start_date")),
        prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":start_date"), storedDate(upTo));
    if (limit >= 1)
        statement.bind(QStringLiteral(":limit"), limit).bind(QStringLiteral(":offset"), offset);
    return selectAll<RestorePoints>(statement);
}

}  // namespace RPX::SQL::Generation
