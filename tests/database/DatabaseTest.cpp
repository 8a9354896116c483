#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/MetaData.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <sys/stat.h>

using namespace RPX::SQL;
using rpxtest::LogCapture;

namespace {

QVariant scalar(const QString& sql)
{
    DatabaseConnection connection(DatabasePool::defaultPool());
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

int metadataRows()
{
    return scalar(QStringLiteral("select count(*) from metadata")).toInt();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

}  // namespace

using DatabaseInitTest = rpxtest::EngineTest;

// Shrink opens the repository first: here it creates it. Once open, init returns at once; in a new
// process it opens the existing repository unchanged.
TEST_P(DatabaseInitTest, NewRepositoryGetsSchemaOnceAndIsReopenedUnchanged)
{
    const mode_t oldMask = umask(077);
    LogCapture log;
    const bool ok = Database::shrink();
    umask(oldMask);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(log.contains(QStringLiteral("Create new DB structure")));

    EXPECT_EQ(DatabaseConnection(DatabasePool::defaultPool()).dbType(), GetParam());
    EXPECT_EQ(metadataRows(), 1);
    EXPECT_EQ(scalar(QStringLiteral("select repository_version from metadata")).toString(), QStringLiteral("0.11"));
    const QString created = scalar(QStringLiteral("select date_created_utc from metadata")).toString();
    EXPECT_EQ(created.size(), 14) << created.toStdString();
    EXPECT_FALSE(scalar(QStringLiteral("select product_version from metadata")).toString().isEmpty());
    if (postgres()) {
        // Reused prepared statements are planned with their values, not with one generic plan.
        EXPECT_EQ(scalar(QStringLiteral("show plan_cache_mode")).toString(), QStringLiteral("force_custom_plan"));
    } else {
        EXPECT_EQ(scalar(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        // Read-write for everyone even under a strict umask.
        EXPECT_EQ(QFileInfo(sqlitePath()).permissions() & 0x7077, QFileDevice::Permissions(0x6066));
    }
    // Opening leaves no default connection behind: everything goes through the pool.
    EXPECT_FALSE(QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)));

    log.clear();
    EXPECT_TRUE(Database::init(true));
    EXPECT_TRUE(log.lines().isEmpty());
    resetProcessState();
    ASSERT_TRUE(Database::init(true));
    EXPECT_FALSE(log.contains(QStringLiteral("Create new DB structure")));
    EXPECT_EQ(metadataRows(), 1);
    EXPECT_FALSE(Database::dbLastError());
}

RPX_ON_BOTH_ENGINES(DatabaseInitTest);

using SQLiteOpeningTest = rpxtest::EngineTest;

// A configured file, here an empty one, is the one opened and given the schema; its set-aside
// folder sits beside it. A failed open earlier in the process makes init(true) set aside even a
// sound database.
TEST_P(SQLiteOpeningTest, ConfiguredFileGetsTheSchemaAndAnEarlierFailureSetsItAside)
{
    const QString configured = configRoot() + QStringLiteral("data/store.db");
    ASSERT_TRUE(QDir().mkpath(configRoot() + QStringLiteral("data")));
    writeSettings(configured);
    writeFile(configured, QByteArray());
    ASSERT_TRUE(Database::init(false));
    EXPECT_EQ(metadataRows(), 1);
    EXPECT_GT(QFileInfo(configured).size(), 0);
    EXPECT_FALSE(QFile::exists(sqlitePath()));
    EXPECT_EQ(Database::corruptedPath(), configRoot() + QStringLiteral("data/corrupteddb"));
    ASSERT_TRUE(
        DatabaseConnection(DatabasePool::defaultPool()).query().exec(QStringLiteral("create table marker (a integer)")));

    resetProcessState();
    writeSettings(QStringLiteral("/nonexistent/dir/x.db"));
    EXPECT_FALSE(Database::init(false));
    ASSERT_TRUE(Database::dbLastError());
    writeSettings(configured);
    ASSERT_TRUE(Database::init(true));
    EXPECT_EQ(QDir(Database::corruptedPath()).entryList(QDir::Files).size(), 1);
    EXPECT_EQ(metadataRows(), 1);
    DatabaseConnection connection(DatabasePool::defaultPool());
    EXPECT_FALSE(connection.database().tables().contains(QStringLiteral("marker")));
}

// The damaged file and its journal go to the set-aside folder, where the oldest copy makes room.
TEST_P(SQLiteOpeningTest, CorruptFileIsSetAsideKeepingAtMostThreeCopies)
{
    const QString corruptedFolder = configRoot() + QStringLiteral("corrupteddb");
    ASSERT_TRUE(QDir().mkpath(corruptedFolder));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const auto& [name, age] : {std::pair("a.db", -10), std::pair("b.db", -30), std::pair("c.db", -8)}) {
        QFile file(corruptedFolder + QLatin1Char('/') + QLatin1String(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.write("old") == 3 && file.flush());
        ASSERT_TRUE(file.setFileTime(now.addDays(age), QFileDevice::FileModificationTime));
    }
    writeFile(sqlitePath(), QByteArray(8192, 'x'));
    writeFile(sqlitePath() + QStringLiteral("-wal"), QByteArray(4096, 'w'));

    LogCapture log;
    ASSERT_TRUE(Database::init(true));
    EXPECT_TRUE(log.contains(QStringLiteral("Corrupted: ") + corruptedFolder + QStringLiteral("/rpxstore")));
    const QStringList entries = QDir(corruptedFolder).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(entries.size(), 3) << entries.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(entries.contains(QStringLiteral("b.db")));
    EXPECT_EQ(entries.filter(QRegularExpression(QStringLiteral("^rpxstore.*\\.db$"))).size(), 1);
    EXPECT_EQ(metadataRows(), 1);
}

INSTANTIATE_TEST_SUITE_P(, SQLiteOpeningTest, ::testing::Values(rpxtest::DatabaseType::SQLite), rpxtest::engineName);

// Items are trimmed and a bad port falls back to 5432; a refused connection fails with one clear line.
TEST(PostgreSQLOpeningTest, ConnectionStringIsParsedAndARefusedConnectionFails)
{
    LogCapture log;
    EXPECT_FALSE(Database::initPostgreSQL(
        QStringLiteral("PGSQL;host:  127.0.0.1  ;port:abc;user: nobody ;password:secret;database: none ;other:x")));
    const QSqlDatabase db = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
    EXPECT_EQ((QStringList{db.hostName(), QString::number(db.port()), db.userName(), db.databaseName()}),
              (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("5432"), QStringLiteral("nobody"),
                           QStringLiteral("none")}));
    EXPECT_TRUE(log.contains(QStringLiteral("Use PostgreSQL database")));

    log.clear();
    EXPECT_FALSE(Database::initPostgreSQL(QStringLiteral("PGSQL;host:127.0.0.1;port:1;user:x;database:y")));
    EXPECT_EQ(log.count(QStringLiteral("Error on connect to database:")), 1);
    EXPECT_FALSE(DatabasePool::defaultPool()->isInit());
}

TEST(SchemaTest, UnknownEngineOrClosedConnectionGetsNothing)
{
    EXPECT_TRUE(MetaData::createTable(static_cast<DatabaseType>(7)).isEmpty());
    EXPECT_EQ(MetaData::createTable(DatabaseType::SQLite), MetaData::createTable(DatabaseType::PostgreSQL));

    QPointer<DatabasePool> none;
    DatabaseConnection connection(none);
    EXPECT_FALSE(connection.isOpen());
    QSqlQuery query = connection.query();
    EXPECT_FALSE(query.exec(QStringLiteral("select 1")));
    EXPECT_FALSE(MetaData().init(connection));
}
