#include "GenerationFixture.h"
#include "support/LogCapture.h"

#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/agent/Identity.h>
#include <rpxRepository/generation/BlockIdGenerator.h>
#include <rpxRepository/generation/Metadata.h>
#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/PartsBlocks.h>
#include <rpxRepository/generation/RestorePoints.h>
#include <rpxRepository/generation/StorageFiles.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <sys/stat.h>
#include <unistd.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::run;
using gentest::scalar;
using rpxtest::LogCapture;

namespace {

QStringList names(const DatabaseConnection& connection, const QString& type)
{
    QSqlQuery query = connection.query();
    query.exec(QStringLiteral("select name from sqlite_master where type = '%1' and name not like 'sqlite_autoindex%' "
                              "order by name")
                   .arg(type));
    QStringList result;
    while (query.next())
        result << query.value(0).toString();
    return result;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes a generation file with a plain connection in rollback-journal mode, as an older agent could.
void writeGenerationFile(const QString& path, const QString& repositoryVersion, bool withRow)
{
    const QString name = QStringLiteral("writer");
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
        ASSERT_TRUE(database.open());
        QSqlQuery query(database);
        ASSERT_TRUE(query.exec(QStringLiteral("PRAGMA journal_mode=DELETE")));
        ASSERT_TRUE(query.exec(Metadata::createTable(QString())));
        ASSERT_TRUE(query.exec(RestorePoints::createTable(QString())));
        if (withRow) {
            query.prepare(QStringLiteral("insert into metadata (repository_version, generation_marker, "
                                         "generation_type, kdf_salt) values (?, ?, 7, ?)"));
            query.addBindValue(repositoryVersion);
            query.addBindValue(QStringLiteral("{11111111-2222-3333-4444-555555555555}"));
            query.addBindValue(QByteArray("salt"));
            ASSERT_TRUE(query.exec());
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
}

class AttachDatabaseTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const QString& name = QStringLiteral("generation.db")) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

}  // namespace

TEST_F(AttachDatabaseTest, NewFileGetsEveryTableTheCounterAndOneMetadataRow)
{
    const QStringList connectionsBefore = QSqlDatabase::connectionNames();
    const QUuid marker = QUuid::createUuid();
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const mode_t oldMask = umask(077);
    LogCapture log;
    QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(path(), marker);
    umask(oldMask);
    ASSERT_FALSE(attached.isNull());
    EXPECT_TRUE(attached->isAttached());
    EXPECT_EQ(attached->path(), path());
    EXPECT_TRUE(log.contains(QStringLiteral("Generation repository not exist, create new. path: ") + path()));
    // Every account of the machine must be able to write the generation, whatever the umask.
    EXPECT_EQ(QFileInfo(path()).permissions() & 0x7077, QFileDevice::Permissions(0x6066));

    // The temporary connection is gone; only the pool's connections remain.
    QPointer<DatabasePool>& pool = attached->attachedDatabasePool();
    {
        DatabaseConnection connection(pool);
        ASSERT_TRUE(connection.isOpen());
        EXPECT_EQ(scalar(connection, QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        EXPECT_EQ(names(connection, QStringLiteral("table")),
                  (QStringList{"block_id_generator", "files", "folders", "metadata", "part_blocks", "parts",
                               "restore_points", "sqlite_sequence", "storage_files"}));
        EXPECT_EQ(names(connection, QStringLiteral("index")),
                  (QStringList{"archive_folders_archive_id", "archive_folders_parent_id", "file_path",
                               "files_parent_id", "folders_path", "part_blocks_part_id", "parts_archive_id"}));
        EXPECT_EQ(scalar(connection, QStringLiteral("select seq from sqlite_sequence where name = "
                                                    "'block_id_generator'")),
                  QVariant(0));

        const RowResult<Metadata> stored = Metadata::select(QString(), connection);
        ASSERT_EQ(stored.second, Result::Ok);
        ASSERT_FALSE(stored.first.isNull());
        EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
        EXPECT_EQ(stored.first->generationMarker(), marker);
        EXPECT_EQ(stored.first->productVersion(), QVersionNumber::fromString(KTL::Core::Version::number()));
        EXPECT_EQ(stored.first->repositoryVersion().toString(), QStringLiteral("1.0.0"));
        EXPECT_EQ(stored.first->dateCreatedUtc().timeSpec(), Qt::UTC);
        EXPECT_GE(stored.first->dateCreatedUtc(), before);
        EXPECT_LE(stored.first->dateCreatedUtc(), QDateTime::currentDateTimeUtc());
        EXPECT_EQ(int(stored.first->fullBackupReason()), 1000);
    }
    for (const QString& name : QSqlDatabase::connectionNames()) {
        if (!connectionsBefore.contains(name)) {
            EXPECT_TRUE(name == pool->masterName() || pool->idleConnections().contains(name)) << name.toStdString();
        }
    }

    // Destroying the attachment closes the pool and every connection it made.
    const QString master = pool->masterName();
    attached.reset();
    EXPECT_FALSE(QSqlDatabase::connectionNames().contains(master));
    EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
}

TEST_F(AttachDatabaseTest, AttachingAnAttachedObjectAgainFailsAndChangesNothing)
{
    AttachDatabase attached(path(), QUuid::createUuid());
    ASSERT_EQ(attached.attach(), Result::Ok);
    const QString master = attached.attachedDatabasePool()->masterName();
    EXPECT_EQ(attached.attach(), Result::Error);
    attached.detach();
    EXPECT_TRUE(attached.isAttached());
    EXPECT_EQ(attached.attachedDatabasePool()->masterName(), master);
    DatabaseConnection connection(attached.attachedDatabasePool());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
}

TEST_F(AttachDatabaseTest, PathsThatCannotBeOpenedFailAndLeaveNothingRegistered)
{
    const QString regularFile = path(QStringLiteral("plain.txt"));
    {
        QFile file(regularFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    QStringList paths = {path(QStringLiteral("missing/generation.db")), regularFile + QStringLiteral("/generation.db"),
                         QString()};
    // Root writes into a read-only folder anyway; the cases above fail for root too.
    if (geteuid() != 0) {
        const QString locked = path(QStringLiteral("locked"));
        ASSERT_TRUE(QDir().mkpath(locked));
        ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        paths << locked + QStringLiteral("/generation.db");
    }

    const QStringList connectionsBefore = QSqlDatabase::connectionNames();
    for (const QString& target : paths) {
        SCOPED_TRACE(target.toStdString());
        EXPECT_TRUE(AttachDatabase::attach(target, QUuid::createUuid()).isNull());
        AttachDatabase attached(target, QUuid::createUuid());
        EXPECT_EQ(attached.attach(), Result::Error);
        EXPECT_FALSE(attached.isAttached());
        EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
        EXPECT_FALSE(!target.isEmpty() && QFileInfo::exists(target));
    }
    EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
}

TEST_F(AttachDatabaseTest, AFileThatIsNoDatabaseFailsAndIsLeftAsItIs)
{
    const QByteArray content = QByteArray("this is a text file, not a generation\n").repeated(200);
    {
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const QStringList connectionsBefore = QSqlDatabase::connectionNames();
    AttachDatabase attached(path(), QUuid::createUuid());
    EXPECT_NE(attached.attach(), Result::Ok);
    EXPECT_FALSE(attached.isAttached());
    EXPECT_EQ(readAll(path()), content);
    EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
}

TEST_F(AttachDatabaseTest, AnExistingFileWithoutMetadataRowFailsAndIsLeftAsItIs)
{
    writeGenerationFile(path(), QString(), false);
    const QByteArray content = readAll(path());
    const QStringList connectionsBefore = QSqlDatabase::connectionNames();

    AttachDatabase attached(path(), QUuid::createUuid());
    EXPECT_EQ(attached.attach(), Result::Error);
    EXPECT_FALSE(attached.isAttached());
    EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
    // Only the journal mode may have changed: no table was created and no row written.
    QSqlDatabase check = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
    check.setDatabaseName(path());
    ASSERT_TRUE(check.open());
    {
        QSqlQuery query(check);
        ASSERT_TRUE(query.exec(QStringLiteral("select count(*) from sqlite_master where type = 'table'")) &&
                    query.next());
        EXPECT_EQ(query.value(0).toInt(), 2);
        ASSERT_TRUE(query.exec(QStringLiteral("select count(*) from metadata")) && query.next());
        EXPECT_EQ(query.value(0).toInt(), 0);
    }
    check.close();
    check = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
}

TEST_F(AttachDatabaseTest, ExistingFilesKeepTheirRowAndNewerSchemasAreLeftAlone)
{
    struct Case
    {
        QString stored;
        QString expected;
    };
    // An older schema is brought to the current version; the current and newer ones stay as they are.
    const QList<Case> cases = {{"0.9.0", "1.0.0"}, {"1.0.0", "1.0.0"}, {"2.0.0", "2.0.0"}, {"1.0.1", "1.0.1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.toStdString());
        const QString file = path(c.stored + QStringLiteral(".db"));
        writeGenerationFile(file, c.stored, true);

        QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(file, QUuid::createUuid());
        ASSERT_FALSE(attached.isNull());
        DatabaseConnection connection(attached->attachedDatabasePool());
        // An existing file gets no new table, no counter and no second row.
        EXPECT_EQ(names(connection, QStringLiteral("table")), (QStringList{"metadata", "restore_points"}));
        EXPECT_EQ(scalar(connection, QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        const RowResult<Metadata> stored = Metadata::select(QString(), connection);
        ASSERT_FALSE(stored.first.isNull());
        EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
        EXPECT_EQ(stored.first->repositoryVersion().toString(), c.expected);
        EXPECT_EQ(stored.first->generationMarker(), QUuid(QStringLiteral("{11111111-2222-3333-4444-555555555555}")));
        EXPECT_EQ(int(stored.first->generationType()), 7);
        EXPECT_EQ(stored.first->kdfSalt(), QByteArray("salt"));
    }
}

TEST_F(AttachDatabaseTest, TwoAttachmentsOfOneFileSeeEachOthersWrites)
{
    QSharedPointer<AttachDatabase> first = AttachDatabase::attach(path(), QUuid::createUuid());
    QSharedPointer<AttachDatabase> second = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(first.isNull());
    ASSERT_FALSE(second.isNull());
    EXPECT_NE(first->attachedDatabasePool()->masterName(), second->attachedDatabasePool()->masterName());

    RestorePoints point;
    point.setStartDate(QDateTime::currentDateTimeUtc());
    point.setSequenceNumber(1);
    {
        DatabaseConnection connection(first->attachedDatabasePool());
        ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
    }
    DatabaseConnection connection(second->attachedDatabasePool());
    const RowResult<RestorePoints> read = RestorePoints::selectById(point.id(), QString(), connection);
    ASSERT_FALSE(read.first.isNull());
    EXPECT_EQ(read.first->sequenceNumber(), 1);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
}

TEST_F(AttachDatabaseTest, AFilledGenerationReadsBackIdenticallyAfterReopening)
{
    const QUuid marker = QUuid::createUuid();
    const QDateTime start(QDate(2024, 3, 1), QTime(10, 20, 30), Qt::UTC);
    RestorePoints point;
    StorageFiles part;
    {
        QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(path(), marker);
        ASSERT_FALSE(attached.isNull());
        DatabaseConnection connection(attached->attachedDatabasePool());
        Metadata described = *Metadata::select(QString(), connection).first;
        described.setBlockSize(1 << 20);
        ASSERT_EQ(described.update(QString(), connection), Result::Ok);

        part.setPath(QStringLiteral("gen/part-1"));
        part.setCloudId(QStringLiteral("cloud-1"));
        part.setSize(qint64(5) << 32);
        part.setBrokenType(KTL::Archive::BrokenType::ToPurge);
        part.setLastModified(start.addSecs(5));
        ASSERT_EQ(part.insert(QString(), connection), Result::Ok);
        point.setStartDate(start);
        point.setSequenceNumber(1);
        point.setTocId(part.id());
        point.setPlan(QStringLiteral("{plan}"));
        ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
        ASSERT_EQ(Parts(part.id(), point.id()).insert(QString(), connection), Result::Ok);
        ASSERT_EQ(BlockIdGenerator::next(QString(), connection), 1);
        ASSERT_EQ(PartsBlocks(1, part.id(), QByteArray::fromHex("deadbeef")).insert(QString(), connection),
                  Result::Ok);
    }

    QSharedPointer<AttachDatabase> reopened = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(reopened.isNull());
    DatabaseConnection connection(reopened->attachedDatabasePool());
    const QSharedPointer<Metadata> metadata = Metadata::select(QString(), connection).first;
    ASSERT_FALSE(metadata.isNull());
    EXPECT_EQ(metadata->generationMarker(), marker);
    EXPECT_EQ(metadata->blockSize(), 1 << 20);

    const QSharedPointer<RestorePoints> readPoint = RestorePoints::selectLast(QString(), connection).first;
    ASSERT_FALSE(readPoint.isNull());
    EXPECT_EQ(readPoint->id(), point.id());
    EXPECT_EQ(readPoint->startDate(), start);
    EXPECT_EQ(readPoint->tocId(), part.id());
    EXPECT_EQ(readPoint->plan(), point.plan());
    const QSharedPointer<StorageFiles> readPart = StorageFiles::select(part.id(), QString(), connection).first;
    ASSERT_FALSE(readPart.isNull());
    EXPECT_EQ(readPart->path(), part.path());
    EXPECT_EQ(readPart->cloudId(), part.cloudId());
    EXPECT_EQ(readPart->size(), part.size());
    EXPECT_EQ(readPart->brokenType(), part.brokenType());
    EXPECT_EQ(readPart->lastModified(), part.lastModified());
    ASSERT_EQ(Parts::select(point.id(), QString(), connection).first.size(), 1);
    const QSharedPointer<PartsBlocks> block = PartsBlocks::select(1, QString(), connection).first;
    ASSERT_FALSE(block.isNull());
    EXPECT_EQ(block->address(), QByteArray::fromHex("deadbeef"));
    // The counter goes on where it stopped.
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 2);
}
