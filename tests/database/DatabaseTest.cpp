#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseStructure.h>
#include <rpxRepository/database/MetaData.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <sys/stat.h>

using namespace RPX::SQL;
using rpxtest::LogCapture;

namespace {

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

int metadataRows()
{
    DatabaseConnection connection(DatabasePool::defaultPool());
    return scalar(connection, QStringLiteral("select count(*) from metadata")).toInt();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

}  // namespace

class DatabaseInitTest : public rpxtest::EngineTest
{
};

TEST_P(DatabaseInitTest, NewRepositoryGetsSchemaAndOneMetadataRow)
{
    const mode_t oldMask = umask(077);
    LogCapture log;
    const bool ok = Database::init(false);
    umask(oldMask);
    ASSERT_TRUE(ok);
    EXPECT_TRUE(log.contains(QStringLiteral("Create new DB structure")));

    DatabaseConnection connection(DatabasePool::defaultPool());
    ASSERT_TRUE(connection.isOpen());
    EXPECT_EQ(connection.dbType(), GetParam());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
    EXPECT_EQ(scalar(connection, QStringLiteral("select repository_version from metadata")).toString(),
              QStringLiteral("0.11"));
    const QString created = scalar(connection, QStringLiteral("select date_created_utc from metadata")).toString();
    EXPECT_EQ(created.size(), 14) << created.toStdString();
    EXPECT_FALSE(scalar(connection, QStringLiteral("select product_version from metadata")).toString().isEmpty());

    if (!postgres()) {
        EXPECT_EQ(scalar(connection, QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        // Read-write for everyone even under a strict umask.
        EXPECT_EQ(QFileInfo(sqlitePath()).permissions() & 0x7077, QFileDevice::Permissions(0x6066));
    }
    // Opening leaves no default connection behind: everything goes through the pool.
    EXPECT_FALSE(QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)));
}

TEST_P(DatabaseInitTest, SecondInitReturnsAtOnceWithoutLogging)
{
    ASSERT_TRUE(Database::init(false));
    LogCapture log;
    EXPECT_TRUE(Database::init(true));
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_P(DatabaseInitTest, ExistingRepositoryIsOpenedUnchanged)
{
    ASSERT_TRUE(Database::init(false));
    resetProcessState();
    LogCapture log;
    ASSERT_TRUE(Database::init(true));
    EXPECT_FALSE(log.contains(QStringLiteral("Create new DB structure")));
    EXPECT_EQ(metadataRows(), 1);
    EXPECT_FALSE(Database::dbLastError());
}

TEST_P(DatabaseInitTest, ShrinkInitialisesFirst)
{
    EXPECT_TRUE(Database::shrink());
    EXPECT_EQ(metadataRows(), 1);
}

RPX_ON_BOTH_ENGINES(DatabaseInitTest);

class SQLiteOpeningTest : public rpxtest::EngineTest
{
protected:
    QString corruptedFolder() const { return configRoot() + QStringLiteral("corrupteddb"); }
};

TEST_P(SQLiteOpeningTest, DefaultLocationAndSetAsideFolder)
{
    EXPECT_EQ(Database::connectionString(), sqlitePath());
    EXPECT_EQ(Database::corruptedPath(), corruptedFolder());

    // A configured file keeps its set-aside folder beside it.
    writeSettings(configRoot() + QStringLiteral("data/store.db"));
    EXPECT_EQ(Database::connectionString(), configRoot() + QStringLiteral("data/store.db"));
    EXPECT_EQ(Database::corruptedPath(), configRoot() + QStringLiteral("data/corrupteddb"));

    // A malformed settings file counts as no setting.
    writeFile(configRoot() + QStringLiteral("settings.xml"), "<settings DB_location=\"/x.db\"><broken></settings>");
    EXPECT_EQ(Database::connectionString(), sqlitePath());
}

TEST_P(SQLiteOpeningTest, EmptyExistingFileGetsTheSchema)
{
    writeFile(sqlitePath(), QByteArray());
    ASSERT_TRUE(Database::init(false));
    EXPECT_EQ(metadataRows(), 1);
}

TEST_P(SQLiteOpeningTest, LowerCaseWalIsAcceptedWithoutAChange)
{
    ASSERT_TRUE(Database::init(false));
    resetProcessState();
    ASSERT_TRUE(Database::initSQLite(sqlitePath()));
    DatabaseConnection connection(DatabasePool::defaultPool());
    EXPECT_EQ(scalar(connection, QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
}

TEST_P(SQLiteOpeningTest, CorruptFileWithoutSetAsideFailsAndKeepsTheFile)
{
    const QByteArray garbage(8192, 'x');
    writeFile(sqlitePath(), garbage);
    LogCapture log;
    EXPECT_FALSE(Database::init(false));
    EXPECT_TRUE(Database::dbLastError());
    EXPECT_TRUE(log.contains(QStringLiteral("Error on check database journal mode database:")));
    QFile file(sqlitePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), garbage);
    EXPECT_FALSE(QDir(corruptedFolder()).exists());
    EXPECT_FALSE(DatabasePool::defaultPool()->isInit());
}

TEST_P(SQLiteOpeningTest, CorruptFileIsSetAsideKeepingAtMostThreeCopies)
{
    ASSERT_TRUE(QDir().mkpath(corruptedFolder()));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QStringList olds = {QStringLiteral("a.db"), QStringLiteral("b.db"), QStringLiteral("c.db")};
    for (int i = 0; i < olds.size(); ++i) {
        const QString path = corruptedFolder() + QLatin1Char('/') + olds[i];
        writeFile(path, "old");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        // b is the oldest.
        ASSERT_TRUE(file.setFileTime(now.addDays(i == 1 ? -30 : -10 + i), QFileDevice::FileModificationTime));
    }
    const QByteArray garbage(8192, 'x');
    writeFile(sqlitePath(), garbage);
    writeFile(sqlitePath() + QStringLiteral("-wal"), QByteArray(4096, 'w'));

    LogCapture log;
    ASSERT_TRUE(Database::init(true));
    EXPECT_TRUE(log.contains(QStringLiteral("Corrupted: ") + corruptedFolder() + QStringLiteral("/rpxstore")));

    const QStringList entries = QDir(corruptedFolder()).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(entries.size(), 3) << entries.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(entries.contains(QStringLiteral("b.db")));
    const QString copy = entries.filter(QStringLiteral("rpxstore")).value(0);
    EXPECT_TRUE(copy.startsWith(QStringLiteral("rpxstore")) && copy.endsWith(QStringLiteral(".db")));
    QFile kept(corruptedFolder() + QLatin1Char('/') + copy);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage);

    // The fresh repository works through the pool.
    EXPECT_EQ(metadataRows(), 1);
}

TEST_P(SQLiteOpeningTest, EarlierFailureSetsAsideASoundDatabaseToo)
{
    ASSERT_TRUE(Database::init(false));
    {
        DatabaseConnection connection(DatabasePool::defaultPool());
        QSqlQuery query = connection.query();
        ASSERT_TRUE(query.exec(QStringLiteral("create table marker (a integer)")));
    }
    resetProcessState();
    writeFile(configRoot() + QStringLiteral("settings.xml"), "<settings DB_location=\"/nonexistent/dir/x.db\"/>");
    EXPECT_FALSE(Database::init(false));
    ASSERT_TRUE(Database::dbLastError());
    writeSettings(QString());

    ASSERT_TRUE(Database::init(true));
    EXPECT_EQ(QDir(corruptedFolder()).entryList(QDir::Files).size(), 1);
    DatabaseConnection connection(DatabasePool::defaultPool());
    ASSERT_TRUE(connection.isOpen());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
    EXPECT_FALSE(connection.database().tables().contains(QStringLiteral("marker")));
}

INSTANTIATE_TEST_SUITE_P(, SQLiteOpeningTest, ::testing::Values(rpxtest::DatabaseType::SQLite), rpxtest::engineName);

TEST(PostgreSQLOpeningTest, StringItemsAreTrimmedAndABadPortFallsBackTo5432)
{
    LogCapture log;
    EXPECT_FALSE(Database::initPostgreSQL(
        QStringLiteral("PGSQL;host:  127.0.0.1  ;port:abc;user: nobody ;password:secret;database: none ;other:x")));
    const QSqlDatabase db = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
    EXPECT_EQ(db.hostName(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(db.port(), 5432);
    EXPECT_EQ(db.userName(), QStringLiteral("nobody"));
    EXPECT_EQ(db.databaseName(), QStringLiteral("none"));
    EXPECT_TRUE(log.contains(QStringLiteral("Use PostgreSQL database")));
}

TEST(PostgreSQLOpeningTest, RefusedConnectionFailsWithAClearLine)
{
    LogCapture log;
    EXPECT_FALSE(Database::initPostgreSQL(QStringLiteral("PGSQL;host:127.0.0.1;port:1;user:x;database:y")));
    EXPECT_EQ(log.count(QStringLiteral("Error on connect to database:")), 1);
    EXPECT_FALSE(DatabasePool::defaultPool()->isInit());
}

TEST(SchemaTest, UnknownEngineGetsNoStatement)
{
    EXPECT_TRUE(MetaData::createTable(static_cast<DatabaseType>(7)).isEmpty());
    EXPECT_EQ(MetaData::createTable(DatabaseType::SQLite), MetaData::createTable(DatabaseType::PostgreSQL));
}

TEST(SchemaTest, ClosedConnectionWritesNoMetadata)
{
    QPointer<DatabasePool> none;
    DatabaseConnection connection(none);
    EXPECT_FALSE(MetaData().init(connection));
}
