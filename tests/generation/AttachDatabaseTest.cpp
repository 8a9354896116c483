#include "GenerationFixture.h"

#include <rpxRepository/database/agent/Identity.h>
#include <rpxRepository/generation/BlockIdGenerator.h>
#include <rpxRepository/generation/Metadata.h>
#include <rpxRepository/generation/RestorePoints.h>

#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::scalar;

namespace {

// The schema's own tables or indexes, without SQLite's automatic indexes and statistics.
QStringList names(const DatabaseConnection& connection, const QString& type)
{
    QSqlQuery query = connection.query();
    query.exec(QStringLiteral("select name from sqlite_master where type = '%1' and name not like 'sqlite_autoindex%' "
                              "and name not like 'sqlite_stat%' order by name")
                   .arg(type));
    QStringList result;
    while (query.next())
        result << query.value(0).toString();
    return result;
}

// Runs statements on the file through a plain connection in rollback-journal mode, as an older agent
// could have written it; returns the first column of the last statement's first row.
QVariant onFile(const QString& path, const QStringList& statements)
{
    const QString name = "writer";
    QVariant last;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase("QSQLITE", name);
        database.setDatabaseName(path);
        EXPECT_TRUE(database.open());
        QSqlQuery query(database);
        EXPECT_TRUE(query.exec("PRAGMA journal_mode=DELETE"));
        for (const QString& statement : statements) {
            EXPECT_TRUE(query.exec(statement)) << statement.toStdString();
            last = query.next() ? query.value(0) : QVariant();
        }
        query.finish();
        database.close();
    }
    QSqlDatabase::removeDatabase(name);
    return last;
}

const QString StoredMarker = "{11111111-2222-3333-4444-555555555555}";

// A generation file with the metadata and restore point tables, and a metadata row when a version is given.
void writeGenerationFile(const QString& path, const QString& repositoryVersion)
{
    QStringList statements = {Metadata::createTable(QString()), RestorePoints::createTable(QString())};
    if (!repositoryVersion.isEmpty())
        statements << QStringLiteral(
                          "insert into metadata (repository_version, generation_marker, generation_type, "
                          "kdf_salt) values ('%1', '%2', 7, x'73616c74')")
                          .arg(repositoryVersion, StoredMarker);
    onFile(path, statements);
}

class AttachDatabaseTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const QString& name = "generation.db") const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

}  // namespace

TEST_F(AttachDatabaseTest, NewFileGetsEveryTableTheCounterAndOneMetadataRow)
{
    const QStringList connectionsBefore = QSqlDatabase::connectionNames();
    const QUuid marker = QUuid::createUuid();
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const mode_t oldMask = umask(077);
    QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(path(), marker);
    umask(oldMask);
    ASSERT_FALSE(attached.isNull());
    EXPECT_TRUE(attached->isAttached());
    // Every account of the machine must be able to write the generation, whatever the umask.
    EXPECT_EQ(QFileInfo(path()).permissions() & 0x7077, QFileDevice::Permissions(0x6066));

    QPointer<DatabasePool>& pool = attached->attachedDatabasePool();
    const QString master = pool->masterName();
    {
        DatabaseConnection connection(pool);
        ASSERT_TRUE(connection.isOpen());
        EXPECT_EQ(scalar(connection, "PRAGMA journal_mode").toString(), "wal");
        EXPECT_EQ(names(connection, "table"),
                  (QStringList{"block_id_generator", "files", "folders", "metadata", "part_blocks", "parts",
                               "restore_points", "sqlite_sequence", "storage_files"}));
        EXPECT_EQ(names(connection, "index"),
                  (QStringList{"archive_folders_archive_id", "archive_folders_parent_id", "file_path",
                               "files_parent_id", "folders_path", "part_blocks_part_id", "parts_archive_id"}));
        EXPECT_EQ(scalar(connection, QStringLiteral("select seq from sqlite_sequence where name = "
                                                    "'block_id_generator'")),
                  QVariant(0));

        const RowResult<Metadata> stored = Metadata::select(QString(), connection);
        ASSERT_EQ(stored.second, Result::Ok);
        ASSERT_FALSE(stored.first.isNull());
        EXPECT_EQ(scalar(connection, "select count(*) from metadata").toInt(), 1);
        EXPECT_EQ(stored.first->generationMarker(), marker);
        EXPECT_EQ(stored.first->productVersion(), QVersionNumber::fromString(KTL::Core::Version::number()));
        EXPECT_EQ(stored.first->repositoryVersion().toString(), "1.0.0");
        EXPECT_GE(stored.first->dateCreatedUtc(), before);
        EXPECT_EQ(int(stored.first->fullBackupReason()), 1000);
    }
    // Attaching the attached object again fails and leaves its pool and rows as they were.
    EXPECT_EQ(attached->attach(), Result::Error);
    EXPECT_TRUE(attached->isAttached());
    EXPECT_EQ(pool->masterName(), master);
    EXPECT_EQ(scalar(DatabaseConnection(pool), "select count(*) from metadata").toInt(), 1);

    // Destroying the attachment closes the pool and every connection it made, the temporary one too.
    attached.reset();
    EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
}

TEST_F(AttachDatabaseTest, WhatCannotBeOpenedAsAGenerationFailsAndIsLeftAsItIs)
{
    // A text file, and a generation file without its metadata row.
    const QString text = path("text.db");
    const QByteArray content = QByteArray("this is a text file, not a generation\n").repeated(200);
    {
        QFile file(text);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    const QString noRow = path("norow.db");
    writeGenerationFile(noRow, QString());
    QStringList paths = {text, noRow, path("missing/generation.db"), text + QStringLiteral("/generation.db"),
                         QString()};
    // Root writes into a read-only folder anyway; the cases above fail for root too.
    if (geteuid() != 0) {
        const QString locked = path("locked");
        ASSERT_TRUE(QDir().mkpath(locked));
        ASSERT_TRUE(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        paths << locked + QStringLiteral("/generation.db");
    }

    const QStringList connectionsBefore = QSqlDatabase::connectionNames();
    for (const QString& target : paths) {
        SCOPED_TRACE(target.toStdString());
        EXPECT_TRUE(AttachDatabase::attach(target, QUuid::createUuid()).isNull());
        AttachDatabase attached(target, QUuid::createUuid());
        // A file SQLite cannot read fails with the code of the statement that found out.
        const int code = attached.attach();
        EXPECT_TRUE(target == text ? code != Result::Ok : code == Result::Error) << code;
        EXPECT_FALSE(attached.isAttached());
        EXPECT_EQ(QSqlDatabase::connectionNames(), connectionsBefore);
        EXPECT_EQ(QFileInfo::exists(target), target == text || target == noRow);
    }
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), content);
    // Only the journal mode may have changed: no table was created and no row written.
    EXPECT_EQ(
        onFile(noRow, {QStringLiteral("select (select count(*) from sqlite_master where type = 'table') || ':' || "
                                      "(select count(*) from metadata)")}),
        QVariant("2:0"));
}

TEST_F(AttachDatabaseTest, ExistingFilesKeepTheirRowAndNewerSchemasAreLeftAlone)
{
    // An older schema is brought to the current version; the current and newer ones stay as they are.
    const QList<QPair<QString, QString>> cases = {
        {"0.9.0", "1.0.0"}, {"1.0.0", "1.0.0"}, {"2.0.0", "2.0.0"}, {"1.0.1", "1.0.1"}};
    for (const auto& [stored, expected] : cases) {
        SCOPED_TRACE(stored.toStdString());
        const QString file = path(stored + QStringLiteral(".db"));
        writeGenerationFile(file, stored);

        QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(file, QUuid::createUuid());
        ASSERT_FALSE(attached.isNull());
        DatabaseConnection connection(attached->attachedDatabasePool());
        // An existing file gets no new table, no counter and no second row.
        EXPECT_EQ(names(connection, "table"), (QStringList{"metadata", "restore_points"}));
        EXPECT_EQ(scalar(connection, "PRAGMA journal_mode").toString(), "wal");
        const RowResult<Metadata> read = Metadata::select(QString(), connection);
        ASSERT_FALSE(read.first.isNull());
        EXPECT_EQ(scalar(connection, "select count(*) from metadata").toInt(), 1);
        EXPECT_EQ(read.first->repositoryVersion().toString(), expected);
        EXPECT_EQ(read.first->generationMarker(), QUuid(StoredMarker));
        EXPECT_EQ(int(read.first->generationType()), 7);
        EXPECT_EQ(read.first->kdfSalt(), QByteArray("salt"));
    }
}

TEST_F(AttachDatabaseTest, TwoAttachmentsOfOneFileShareItsRowsAndItsCounter)
{
    const QUuid marker = QUuid::createUuid();
    QSharedPointer<AttachDatabase> first = AttachDatabase::attach(path(), marker);
    ASSERT_FALSE(first.isNull());
    DatabaseConnection connection(first->attachedDatabasePool());
    RestorePoints point;
    point.setStartDate(QDateTime(QDate(2024, 3, 1), QTime(10, 20, 30), Qt::UTC));
    point.setSequenceNumber(1);
    ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
    ASSERT_EQ(BlockIdGenerator::next(QString(), connection), 1);

    // The second attachment, with a marker of its own, finds an existing generation.
    QSharedPointer<AttachDatabase> second = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(second.isNull());
    EXPECT_NE(first->attachedDatabasePool()->masterName(), second->attachedDatabasePool()->masterName());
    DatabaseConnection other(second->attachedDatabasePool());
    const RowResult<RestorePoints> seen = RestorePoints::selectById(point.id(), QString(), other);
    ASSERT_FALSE(seen.first.isNull());
    EXPECT_EQ(seen.first->startDate(), point.startDate());
    EXPECT_EQ(Metadata::select(QString(), other).first->generationMarker(), marker);
    EXPECT_EQ(BlockIdGenerator::next(QString(), other), 2);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 3);
}

// A generation is written by one run and read by later ones, which need the planner's statistics.
TEST_F(AttachDatabaseTest, AttachedAgainAfterBeingWrittenItGetsStatistics)
{
    const QString statistics = "select count(*) from sqlite_master where name = 'sqlite_stat1'";
    {
        QSharedPointer<AttachDatabase> writer = AttachDatabase::attach(path(), QUuid::createUuid());
        ASSERT_FALSE(writer.isNull());
        DatabaseConnection connection(writer->attachedDatabasePool());
        for (int sequence = 1; sequence <= 3; ++sequence) {
            RestorePoints point;
            point.setStartDate(QDateTime(QDate(2024, 3, sequence), QTime(10, 0), Qt::UTC));
            point.setSequenceNumber(sequence);
            ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
        }
        EXPECT_EQ(scalar(connection, statistics).toInt(), 0);
    }
    QSharedPointer<AttachDatabase> reader = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(reader.isNull());
    DatabaseConnection connection(reader->attachedDatabasePool());
    EXPECT_EQ(scalar(connection, statistics).toInt(), 1);
    EXPECT_GT(scalar(connection, "select count(*) from sqlite_stat1 where tbl = 'restore_points'").toInt(), 0);
}
