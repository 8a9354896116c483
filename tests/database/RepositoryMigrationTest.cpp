#include "support/RepositoryFixture.h"

#include <rpxRepository/rpxRepository.h>

#include <QFile>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>
#include <QUuid>

using namespace RPX::SQL;
using Outcome = RepositoryMigration::Outcome;

namespace {

const QDateTime Base(QDate(2024, 3, 1), QTime(8, 30, 15), Qt::UTC);

// Every row of every main table of an SQLite file, each value with its storage type, sorted.
QMap<QString, QStringList> dump(const QString& path)
{
    QMap<QString, QStringList> tables;
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        EXPECT_TRUE(database.open());
        for (const QString& table : RepositoryMigration::tables()) {
            QSqlQuery query(database);
            EXPECT_TRUE(query.exec("SELECT * FROM " + table)) << query.lastError().text().toStdString();
            QStringList& rows = tables[table];
            while (query.next()) {
                QStringList values;
                for (int i = 0; i < query.record().count(); ++i) {
                    const QVariant value = query.value(i);
                    values << query.record().fieldName(i) + '=' + value.typeName() + ':' +
                                  (value.isNull() ? QStringLiteral("NULL")
                                   : value.userType() == QMetaType::QByteArray
                                       ? QString::fromLatin1(value.toByteArray().toHex())
                                       : value.toString());
                }
                rows << values.join('|');
            }
            rows.sort();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return tables;
}

// A repository with rows in every table, written through the table classes.
void fill(DatabaseConnection& connection)
{
    Destination destination;
    destination.setCloudType("S3");
    destination.setAccountId("account");
    destination.setContainer("bucket");
    ASSERT_TRUE(destination.insert(connection));
    const quint64 dest = destination.id();

    QList<quint64> versions;
    for (int i = 0; i < 12; ++i) {
        CloudFileVersion version;
        // Tabs, line breaks and backslashes must survive the copy format.
        version.setPath(QString("/home/u/d%1/sub %2/f\t%3\\é\n.txt").arg(i % 3).arg(i % 2).arg(i % 5));
        version.setCloudPath("objects/" + QByteArray::number(i));
        version.setSize(5000000000000ULL + quint64(i));
        version.setOriginalSize(quint64(i));
        version.setDateModified(Base.addSecs(i));
        version.setDateBackup(Base.addDays(1).addSecs(i));
        if (i % 4 == 0)
            version.setDatePurgeDelay(Base.addDays(30));
        version.setFileNameIv(QByteArray("\x00\x01\xff\n\t\\", 6));
        version.setEncryptionIv(QByteArray(16, char(i)));
        version.setUploadId("upload-" + QByteArray::number(i));
        ASSERT_TRUE(version.insert(dest, connection));
        versions << version.id();
    }

    CloudFileVersionBitmap bitmap;
    bitmap.setVersionId(versions.first());
    bitmap.setVersionUuid(QUuid::createUuid());
    ASSERT_TRUE(bitmap.insert(connection));

    for (int i = 0; i < 3; ++i) {
        History history;
        history.setDestinationId(dest);
        history.setPalnId(QUuid::createUuid());
        history.setLocalPath("/home/u/h" + QString::number(i));
        history.setMessage(QString("line one\nline\ttwo \\ ü %1").arg(i));
        history.setDateFinished(Base.addSecs(100 + i));
        history.setDateModified(Base);
        history.setSize(quint64(i) << 40);
        ASSERT_TRUE(history.insert(connection));
    }
    SessionHistory session;
    session.setDestinationId(dest);
    session.setPalnId(QUuid::createUuid());
    session.setDateStart(Base);
    session.setDiffSize(-1);
    session.setSteps("[\"scan\"]");
    ASSERT_TRUE(session.insert(connection));
    ASSERT_TRUE(PlanName::update(QUuid::createUuid(), "plan 'one'", RPX::Info::Plan::SubType::ImageBased, connection));

    DiskImage image;
    image.setDestinationId(dest);
    image.setDateCreate(Base);
    image.setXml("<disk/>");
    ASSERT_TRUE(image.insert(connection));
    for (int i = 0; i < 2; ++i) {
        DiskImageVersions link;
        link.setDiskImageId(image.id());
        link.setVersionId(versions.at(i));
        ASSERT_TRUE(link.insert(connection));
    }

    ArchiveBunches bunch;
    bunch.setFolderId(1);
    bunch.setDisplayName("bunch");
    bunch.setDestinationId(dest);
    bunch.setPlanId(QUuid::createUuid());
    ASSERT_EQ(bunch.insert(connection), Result::Ok);
    ArchiveGenerations generation;
    generation.setBunchId(bunch.id());
    generation.setMarker(QUuid::createUuid());
    generation.setNumber(1);
    generation.setHint("free\thint");
    generation.setUploadedFilesSize(1LL << 42);
    ASSERT_EQ(generation.insert(connection), Result::Ok);

    Statistics statistic;
    statistic.setId(7);
    statistic.setFeatureName("restore");
    ASSERT_EQ(statistic.insert(connection), Result::Ok);
    ASSERT_EQ(Statistics::update(7, connection), Result::Ok);
    AgentVersions agent;
    agent.setVersion(QVersionNumber(7, 2, 1));
    ASSERT_EQ(agent.insert(connection), Result::Ok);
}

class RepositoryMigrationTest : public rpxtest::EngineTest
{
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        writeSettings(sqlitePath());
        ASSERT_TRUE(Database::init(false));
        {
            DatabaseConnection connection(DatabasePool::defaultPool());
            fill(connection);
        }
        resetProcessState();
    }

    static RepositoryMigration::Report migrate(const QString& from, const QString& to)
    {
        return RepositoryMigration(from, to).run();
    }

    QString backPath() const { return configRoot() + "back.db"; }
};

}  // namespace

TEST_P(RepositoryMigrationTest, ToPostgreSQLAndBackKeepsEveryRowAndNewRowsTakeFreshKeys)
{
    const QMap<QString, QStringList> original = dump(sqlitePath());
    for (const QString& table : RepositoryMigration::tables())
        EXPECT_FALSE(original.value(table).isEmpty()) << table.toStdString();

    QFile sourceFile(sqlitePath());
    ASSERT_TRUE(sourceFile.open(QIODevice::ReadOnly));
    const QByteArray sourceBytes = sourceFile.readAll();
    sourceFile.close();
    QStringList progress;
    RepositoryMigration there(sqlitePath(), pgConnectionString());
    there.setProgress([&](const QString& table, qint64 copied, qint64 total) {
        progress << QString("%1 %2/%3").arg(table).arg(copied).arg(total);
    });
    const auto toPostgres = there.run();
    ASSERT_TRUE(toPostgres.ok()) << toPostgres.message.toStdString();
    ASSERT_EQ(toPostgres.tables.size(), RepositoryMigration::tables().size());
    EXPECT_TRUE(progress.contains("cloud_file_versions 12/12")) << progress.join(", ").toStdString();

    ASSERT_TRUE(sourceFile.open(QIODevice::ReadOnly));
    EXPECT_TRUE(sourceFile.readAll() == sourceBytes) << "the source was written";

    const auto back = migrate(pgConnectionString(), backPath());
    ASSERT_TRUE(back.ok()) << back.message.toStdString();
    EXPECT_EQ(dump(backPath()), original);
    for (int i = 0; i < back.tables.size(); ++i) {
        EXPECT_EQ(back.tables[i].rows, toPostgres.tables[i].rows);
        EXPECT_EQ(back.tables[i].checksum, toPostgres.tables[i].checksum) << back.tables[i].table.toStdString();
    }
    EXPECT_FALSE(QFile::exists(backPath() + ".migrating"));

    // The moved repository takes new rows of every kind, each with a key past the copied ones.
    writeSettings(pgConnectionString());
    ASSERT_TRUE(Database::init(false));
    DatabaseConnection connection(DatabasePool::defaultPool());
    ASSERT_EQ(connection.dbType(), DatabaseType::PostgreSQL);
    // The indexes set aside for the load are back.
    QSqlQuery indexes = connection.query();
    ASSERT_TRUE(indexes.exec("SELECT indexname FROM pg_indexes WHERE schemaname = current_schema()"));
    QStringList names;
    while (indexes.next())
        names << indexes.value(0).toString();
    for (const char* index : {"files_destination_path", "versions_file", "history_datefinished", "idx_plan_name"})
        EXPECT_TRUE(names.contains(index)) << index;
    // A collision with a copied key would fail an insert (the new file and folders included).
    Destination destination;
    destination.setCloudType("S3");
    destination.setAccountId("second");
    ASSERT_TRUE(destination.insert(connection));
    CloudFileVersion version;
    version.setPath("/srv/new/folder/file.bin");
    version.setDateModified(Base);
    ASSERT_TRUE(version.insert(destination.id(), connection));
    History history;
    SessionHistory session;
    DiskImage image;
    history.setDestinationId(destination.id());
    session.setDestinationId(destination.id());
    image.setDestinationId(destination.id());
    ASSERT_TRUE(history.insert(connection) && session.insert(connection) && image.insert(connection));
    const auto file = CloudFile::select_(destination.id(), version.path(), connection);
    ASSERT_TRUE(file);
    ArchiveBunches bunch;
    bunch.setFolderId(file->parentId());
    bunch.setDisplayName("second");
    bunch.setDestinationId(destination.id());
    bunch.setPlanId(QUuid::createUuid());
    ASSERT_EQ(bunch.insert(connection), Result::Ok);
    ArchiveGenerations generation;
    generation.setBunchId(bunch.id());
    generation.setMarker(QUuid::createUuid());
    ASSERT_EQ(generation.insert(connection), Result::Ok);
    EXPECT_EQ(QList<quint64>({destination.id(), version.id(), history.id(), session.id(), image.id(), bunch.id(),
                              generation.id()}),
              QList<quint64>({2, 13, 4, 2, 2, 2, 2}));
}

TEST_P(RepositoryMigrationTest, RefusalsChangeNothing)
{
    EXPECT_EQ(migrate(sqlitePath(), sqlitePath()).outcome, Outcome::SameLocation);
    EXPECT_EQ(migrate(pgConnectionString(), pgConnectionString()).outcome, Outcome::SameLocation);
    EXPECT_EQ(migrate(configRoot() + "missing.db", backPath()).outcome, Outcome::SourceUnreadable);
    EXPECT_FALSE(QFile::exists(backPath()));

    QString server = pgConnectionString();
    EXPECT_EQ(migrate(sqlitePath(), QString(server).replace("user:", "user:nobody")).outcome,
              Outcome::TargetUnreachable);
    server.replace(QRegularExpression("port:\\d+"), "port:1");
    EXPECT_EQ(migrate(sqlitePath(), server).outcome, Outcome::TargetUnreachable);

    // A database that is not empty is never merged into.
    ASSERT_TRUE(migrate(sqlitePath(), pgConnectionString()).ok());
    const auto again = migrate(sqlitePath(), pgConnectionString());
    EXPECT_EQ(again.outcome, Outcome::TargetNotEmpty) << again.message.toStdString();
    ASSERT_TRUE(migrate(pgConnectionString(), backPath()).ok());
    const QMap<QString, QStringList> copied = dump(backPath());
    EXPECT_EQ(migrate(pgConnectionString(), backPath()).outcome, Outcome::TargetNotEmpty);
    EXPECT_EQ(dump(backPath()), copied);

    // A damaged source: a page in the middle of the file overwritten.
    const QString damaged = configRoot() + "damaged.db";
    ASSERT_TRUE(QFile::copy(sqlitePath(), damaged));
    {
        QFile file(damaged);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_GT(file.size(), 8 * 4096);
        file.seek(5 * 4096);
        file.write(QByteArray(4096 * 2, '\x5a'));
    }
    const auto fromDamaged = migrate(damaged, configRoot() + "fromdamaged.db");
    EXPECT_EQ(fromDamaged.outcome, Outcome::SourceDamaged) << fromDamaged.message.toStdString();
    EXPECT_FALSE(QFile::exists(configRoot() + "fromdamaged.db"));
}

// A target that does not store what it was given (a column altered by hand) fails the check, and
// keeps nothing of the copy.
TEST_P(RepositoryMigrationTest, VerificationCatchesAlteredRows)
{
    writeSettings(pgConnectionString());
    ASSERT_TRUE(Database::init(false));
    resetProcessState();
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        Database::setPostgreSQLLocation(database, pgConnectionString());
        ASSERT_TRUE(database.open());
        QSqlQuery query(database);
        // Four-byte floats keep about seven digits of a 14-digit date.
        ASSERT_TRUE(query.exec("ALTER TABLE history ALTER COLUMN date_finished_utc TYPE real"))
            << query.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase(name);

    // Twice: the first attempt left the target as empty as it found it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto report = migrate(sqlitePath(), pgConnectionString());
        EXPECT_EQ(report.outcome, Outcome::Mismatch);
        EXPECT_TRUE(report.message.contains("history")) << report.message.toStdString();
    }
}

// Every table the schema creates is copied.
TEST_P(RepositoryMigrationTest, CopiesEveryTableOfTheSchema)
{
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(sqlitePath());
        ASSERT_TRUE(database.open());
        QStringList created = database.tables(QSql::Tables);
        QStringList copied = RepositoryMigration::tables();
        created.sort();
        copied.sort();
        EXPECT_EQ(created, copied);
    }
    QSqlDatabase::removeDatabase(name);
}

INSTANTIATE_TEST_SUITE_P(, RepositoryMigrationTest, ::testing::Values(rpxtest::DatabaseType::PostgreSQL),
                         rpxtest::engineName);
