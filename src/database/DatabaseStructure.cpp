#include "DatabaseStructure.h"

#include "MetaData.h"
#include "agent/KtlDebug.h"

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
        {&MetaData::createTable, "Can't create MetaData!"},
    };
    return steps;
}

const QVector<TableStep>& tablesAfterMetadataRow()
{
    // Order: Destination, History, SessionHistory, PlanName, CloudFileVersionBitmap, DiskImage,
    // DiskImageVersions, ArchiveBunches, ArchiveGenerations, Statistics, AgentVersions.
    static const QVector<TableStep> steps = {};
    return steps;
}

// Order: history (2), session_history, cloud_file_versions (2), cloud_files, cloud_folders (2),
// cloud_files, plan_name, archive_generations.
QStringList indexes(DatabaseType)
{
    return {};
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
