#include "DatabaseStructure.h"

#include "MetaData.h"
#include "agent/KtlDebug.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFileVersionBitmap.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/generation/ArchiveBunches.h>
#include <rpxRepository/generation/ArchiveGenerations.h>
#include <rpxRepository/history/History.h>
#include <rpxRepository/history/SessionHistory.h>
#include <rpxRepository/image/DiskImage.h>
#include <rpxRepository/image/DiskImageVersions.h>
#include <rpxRepository/registers/AgentVersions.h>
#include <rpxRepository/registers/PlanName.h>
#include <rpxRepository/registers/Statistics.h>

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVector>

namespace RPX::SQL {

namespace {

// One table of the creation pass, in the order the tables must be created.
struct TableStep
{
    QString (*createTable)(DatabaseType);
    const char* failure;
};

// The metadata row is written between these two lists.
const QVector<TableStep>& tablesBeforeMetadataRow()
{
    // Order: CloudFolder, CloudFile, CloudFileVersion, MetaData.
    static const QVector<TableStep> steps = {
        {&CloudFolder::createTable, "Can't create CloudFolder!"},
        {&CloudFile::createTable, "Can't create CloudFile!"},
        {&CloudFileVersion::createTable, "Can't create CloudFileVersion!"},
        {&MetaData::createTable, "Can't create MetaData!"},
    };
    return steps;
}

const QVector<TableStep>& tablesAfterMetadataRow()
{
    // Order: Destination, History, SessionHistory, PlanName, CloudFileVersionBitmap, DiskImage,
    // DiskImageVersions, ArchiveBunches, ArchiveGenerations, Statistics, AgentVersions.
    static const QVector<TableStep> steps = {
        {&Destination::createTable, "Can't create Destination!"},
        {&History::createTable, "Can't create History!"},
        {&SessionHistory::createTable, "Can't create SessionHistory!"},
        {&PlanName::createTable, "Can't create PlanName!"},
        {&CloudFileVersionBitmap::createTable, "Can't create CloudFileVersionBitmap!"},
        {&DiskImage::createTable, "Can't create DiskImage!"},
        {&DiskImageVersions::createTable, "Can't create DiskImageVersions!"},
        {&ArchiveBunches::createTable, "Can't create ArchiveBunches!"},
        {&ArchiveGenerations::createTable, "Can't create ArchiveGenerations!"},
        {&Statistics::createTable, "Can't create Statistics!"},
        {&AgentVersions::createTable, "Can't create AgentVersions!"},
    };
    return steps;
}

// Order: history (2), session_history, cloud_file_versions (2), cloud_files, cloud_folders (2),
// cloud_files, plan_name, archive_generations; then, on PostgreSQL, the uniqueness of cloud_files.
QStringList indexes(DatabaseType type)
{
    QStringList list = {
        QStringLiteral("CREATE INDEX IF NOT EXISTS history_session_local_operation ON history "
                       "(session_id, local_path, operation);"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS history_datefinished ON history (date_finished_utc);"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sessionhistory_dest_plan_start ON session_history "
                       "(destination_id, plan_id, date_start_utc); "),
        QStringLiteral("CREATE INDEX IF NOT EXISTS versions_file ON cloud_file_versions (file_id);"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS versions_file_modified ON cloud_file_versions "
                       "(file_id, date_modified_utc);"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS files_dest_date_deleted_utc ON cloud_files "
                       "(destination_id, date_deleted_utc); "),
        QStringLiteral("CREATE INDEX IF NOT EXISTS folders_parent_id ON cloud_folders (parent_id); "),
        QStringLiteral("CREATE INDEX IF NOT EXISTS folders_destination_id ON cloud_folders (destination_id); "),
        QStringLiteral("CREATE INDEX IF NOT EXISTS files_filename_parentid ON cloud_files (parent_id, file_name); "),
        QStringLiteral("CREATE UNIQUE INDEX idx_plan_name ON plan_name (plan_id);"),
        ArchiveGenerations::createIndex(type),
    };
    const QString filesUnique = CloudFile::uniqueIndex(type);
    if (!filesUnique.isEmpty())
        list << filesUnique;
    return list;
}

bool runTableSteps(QSqlQuery& query, DatabaseType type, const QVector<TableStep>& steps)
{
    for (const TableStep& step : steps) {
        const QString statement = step.createTable(type);
        if (!query.exec(statement)) {
            KTL::KtlDebug("SQL").error() << step.failure << query.lastError().databaseText()
                                         << query.lastError().driverText() << statement;
            return false;
        }
    }
    return true;
}

}  // namespace

bool createDatabaseStructure(DatabaseConnection& connection)
{
    const DatabaseType type = connection.dbType();
    switch (type) {
    case DatabaseType::SQLite: {
        // Every account on the machine that runs the agent must be able to write the repository.
        const QFileDevice::Permissions everyoneReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                           QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                           QFileDevice::ReadOther | QFileDevice::WriteOther;
        if (!QFile::setPermissions(connection.database().databaseName(), everyoneReadWrite)) {
            KTL::KtlDebug("SQL").error() << "Error on chandge DB file permissions!";
            return false;
        }
        break;
    }
    case DatabaseType::PostgreSQL:
        break;
    default:
        KTL::KtlDebug("SQL").error() << "Unknown database type";
        return false;
    }

    QSqlQuery query = connection.query();
    if (!runTableSteps(query, type, tablesBeforeMetadataRow()))
        return false;
    if (!MetaData().init(connection)) {
        KTL::KtlDebug("SQL").error() << "Error on write to metadata";
        return false;
    }
    if (!runTableSteps(query, type, tablesAfterMetadataRow()))
        return false;

    const QStringList statements = indexes(type);
    for (const QString& statement : statements) {
        if (!query.exec(statement)) {
            KTL::KtlDebug("SQL").error() << "Error: can't create index, command" << query.lastError().databaseText()
                                         << query.lastError().driverText() << statement;
            return false;
        }
    }
    return true;
}

}  // namespace RPX::SQL
