#include "reliability/ReliabilitySupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/RepositoryMigration.h>

#include <QFile>
#include <QSqlError>
#include <QUuid>

using namespace RPX::SQL;

namespace {

// Rows generated inside SQLite, enough for a few dozen progress lines of the copy.
void fillSource(const QString& path)
{
    const QString series = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) ";
    const QStringList statements = {
        "INSERT INTO destination (id, cloud_type, account_id) VALUES (1, 'S3', 'a')",
        series.arg(20) + "INSERT INTO cloud_folders (id, name, display_name, parent_id, destination_id) "
                         "SELECT i, 'f' || i, 'f' || i, 0, 1 FROM n",
        series.arg(500) + "INSERT INTO cloud_files (id, destination_id, parent_id, local_path, file_name) "
                          "SELECT i, 1, 1 + i % 20, '/d' || (1 + i % 20) || '/file' || i, 'file' || i FROM n",
        series.arg(2000) + "INSERT INTO cloud_file_versions (id, file_id, cloud_path, size, date_modified_utc) "
                           "SELECT i, 1 + i % 500, 'o/' || i, i, 20240101000000 + i FROM n",
        series.arg(2000) + "INSERT INTO history (id, destination_id, local_path, operation, message) "
                           "SELECT i, 1, '/d/file' || i, 1, 'ok' FROM n",
    };
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase database = QSqlDatabase::addDatabase("QSQLITE", name);
        database.setDatabaseName(path);
        ASSERT_TRUE(database.open());
        for (const QString& statement : statements) {
            QSqlQuery query(database);
            ASSERT_TRUE(query.exec(statement)) << query.lastError().text().toStdString();
        }
    }
    QSqlDatabase::removeDatabase(name);
}

// The tables a PostgreSQL database holds in its schema, or whether the SQLite file exists at all.
int targetTables(const QString& location)
{
    if (!RepositoryMigration::isPostgreSQL(location))
        return QFile::exists(location) ? 1 : 0;
    const QString name = QUuid::createUuid().toString();
    int count = -1;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase("QPSQL", name);
        Database::setPostgreSQLLocation(database, location);
        if (database.open()) {
            QSqlQuery query(database);
            if (query.exec("SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()") &&
                query.next())
                count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return count;
}

}  // namespace

using MigrationCrashTest = rpxtest::EngineTest;

// A migrate killed with SIGKILL anywhere in its copy leaves the target as it was, and the next
// one succeeds.
TEST_P(MigrationCrashTest, KilledMigrateLeavesTargetEmpty)
{
    const QString source = configRoot() + "source.db";
    writeSettings(source);
    ASSERT_TRUE(Database::init(false));
    resetProcessState();
    fillSource(source);
    const QString target = postgres() ? pgConnectionString() : configRoot() + "target.db";

    for (const int killAfter : {0, 4, 11, 19, 26, 33, 40}) {
        reliability::Child child;
        ASSERT_TRUE(child.start({"migrate", source, target}));
        for (int seen = 0; seen < killAfter; ++seen) {
            const QString line = child.readLine();
            ASSERT_TRUE(line.startsWith("copied ")) << killAfter << ": " << line.toStdString();
        }
        const QStringList rest = child.kill();
        ASSERT_TRUE(child.killed()) << killAfter;
        ASSERT_FALSE(rest.contains("done")) << "the copy ended before the kill after " << killAfter << " lines";
        EXPECT_EQ(targetTables(target), 0) << "killed after " << killAfter << " lines";
    }
    const auto report = RepositoryMigration(source, target).run();
    ASSERT_TRUE(report.ok()) << report.message.toStdString();
    EXPECT_EQ(report.tables.at(RepositoryMigration::tables().indexOf("cloud_file_versions")).rows, 2000);
}

RPX_ON_BOTH_ENGINES(MigrationCrashTest);
