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
using gentest::found;
using gentest::insertPoint;
using gentest::scalar;
using gentest::texts;

namespace {

// The schema's own tables or indexes in order, without SQLite's automatic indexes and statistics.
const QString Names = "select group_concat(name) from (select name from sqlite_master where type = '%1' and name not "
                      "like 'sqlite_autoindex%' and name not like 'sqlite_stat%' order by name)";

// Runs statements on the file through a plain connection in rollback-journal mode, as an older agent
// could have written it; returns the first column of the last statement's first row.
QVariant onFile(const QString& path, const QStringList& statements)
{
    QVariant last;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase("QSQLITE", "writer");
        database.setDatabaseName(path);
        EXPECT_TRUE(database.open());
        QSqlQuery query(database);
        EXPECT_TRUE(query.exec("PRAGMA journal_mode=DELETE"));
        for (const QString& statement : statements) {
            EXPECT_TRUE(query.exec(statement)) << statement.toStdString();
            last = query.next() ? query.value(0) : QVariant();
        }
    }
    QSqlDatabase::removeDatabase("writer");
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

// The fixture's own generation is the one written first where a test needs one; the others make theirs.
using AttachDatabaseTest = gentest::GenerationTest;

}  // namespace

TEST_F(AttachDatabaseTest, NewFileGetsEveryTableTheCounterAndOneMetadataRow)
{
    const QStringList connectionsBefore = QSqlDatabase::connectionNames();
    const QUuid marker = QUuid::createUuid();
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const mode_t oldMask = umask(077);
    QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(path("new.db"), marker);
    umask(oldMask);
    ASSERT_FALSE(attached.isNull());
    EXPECT_TRUE(attached->isAttached());
    // Every account of the machine must be able to write the generation, whatever the umask.
    EXPECT_EQ(QFileInfo(path("new.db")).permissions() & 0x7077, QFileDevice::Permissions(0x6066));

    QPointer<DatabasePool>& pool = attached->attachedDatabasePool();
    const QString master = pool->masterName();
    {
        DatabaseConnection connection(pool);
        ASSERT_TRUE(connection.isOpen());
        EXPECT_EQ(scalar(connection, "PRAGMA journal_mode").toString(), "wal");
        EXPECT_EQ(scalar(connection, Names.arg("table")).toString(),
                  "block_id_generator,files,folders,metadata,part_blocks,parts,restore_points,sqlite_sequence,"
                  "storage_files");
        EXPECT_EQ(scalar(connection, Names.arg("index")).toString(),
                  "archive_folders_archive_id,archive_folders_parent_id,file_path,files_parent_id,folders_path,"
                  "part_blocks_part_id,parts_archive_id");
        EXPECT_EQ(scalar(connection, "select seq from sqlite_sequence where name = 'block_id_generator'"), QVariant(0));

        EXPECT_EQ(scalar(connection, "select count(*) from metadata").toInt(), 1);
        const RowResult<Metadata> stored = Metadata::select(QString(), connection);
        ASSERT_EQ(stored.second, Result::Ok);
        ASSERT_FALSE(stored.first.isNull());
        const Metadata& m = *stored.first;
        EXPECT_EQ(texts(m.generationMarker(), m.productVersion().toString(), m.repositoryVersion().toString(),
                        int(m.fullBackupReason())),
                  texts(marker, QVersionNumber::fromString(KTL::Core::Version::number()).toString(), "1.0.0", 1000));
        EXPECT_GE(m.dateCreatedUtc(), before);
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
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
    file.close();
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
        EXPECT_EQ(scalar(connection, Names.arg("table")).toString(), "metadata,restore_points");
        EXPECT_EQ(scalar(connection, "PRAGMA journal_mode").toString(), "wal");
        EXPECT_EQ(scalar(connection, "select count(*) from metadata").toInt(), 1);
        const auto stored = [](const Metadata& m) {
            return texts(m.repositoryVersion().toString(), m.generationMarker(), int(m.generationType()), m.kdfSalt());
        };
        EXPECT_EQ(found(Metadata::select(QString(), connection), stored), texts(expected, StoredMarker, 7, "salt"));
    }
}

TEST_F(AttachDatabaseTest, TwoAttachmentsOfOneFileShareItsRowsAndItsCounter)
{
    DatabaseConnection connection(pool());
    const RestorePoints point = insertPoint(connection, 1, QDateTime(QDate(2024, 3, 1), QTime(10, 20, 30), Qt::UTC));
    ASSERT_EQ(BlockIdGenerator::next(QString(), connection), 1);

    // The second attachment, with a marker of its own, finds an existing generation.
    QSharedPointer<AttachDatabase> second = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(second.isNull());
    EXPECT_NE(pool()->masterName(), second->attachedDatabasePool()->masterName());
    DatabaseConnection other(second->attachedDatabasePool());
    const RowResult<RestorePoints> seen = RestorePoints::selectById(point.id(), QString(), other);
    ASSERT_FALSE(seen.first.isNull());
    EXPECT_EQ(seen.first->startDate(), point.startDate());
    EXPECT_EQ(Metadata::select(QString(), other).first->generationMarker(), m_marker);
    EXPECT_EQ(BlockIdGenerator::next(QString(), other), 2);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 3);
}

// A generation is written by one run and read by later ones, which need the planner's statistics.
TEST_F(AttachDatabaseTest, AttachedAgainAfterBeingWrittenItGetsStatistics)
{
    const QString statistics = "select count(*) from sqlite_master where name = 'sqlite_stat1'";
    {
        DatabaseConnection connection(pool());
        for (int sequence = 1; sequence <= 3; ++sequence)
            insertPoint(connection, sequence, QDateTime(QDate(2024, 3, sequence), QTime(10, 0), Qt::UTC));
        EXPECT_EQ(scalar(connection, statistics).toInt(), 0);
    }
    m_attached.reset();
    QSharedPointer<AttachDatabase> reader = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(reader.isNull());
    DatabaseConnection connection(reader->attachedDatabasePool());
    EXPECT_EQ(scalar(connection, statistics).toInt(), 1);
    EXPECT_GT(scalar(connection, "select count(*) from sqlite_stat1 where tbl = 'restore_points'").toInt(), 0);
}
