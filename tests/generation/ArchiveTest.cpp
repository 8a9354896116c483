#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/ArchiveBunches.h>
#include <rpxRepository/generation/ArchiveGenerations.h>

#include <QSqlQuery>
#include <QVariant>

using namespace RPX::SQL;

namespace {

class ArchiveTest : public rpxtest::RepositoryTest
{
protected:
    // Destination and folder rows are written with plain SQL: these tests are about the archive tables.
    quint64 insertRow(const QString& sql, const QString& name)
    {
        DatabaseConnection connection(pool());
        QSqlQuery query = connection.query();
        query.prepare(sql);
        query.bindValue(QStringLiteral(":name"), name);
        EXPECT_TRUE(query.exec() && query.next()) << sql.toStdString();
        return query.value(0).toULongLong();
    }
    quint64 insertDestination(const QString& account)
    {
        return insertRow(QStringLiteral("insert into destination(cloud_type, account_id, container, prefix) values "
                                        "('S3', :name, 'bucket', '') returning id"),
                         account);
    }
    quint64 insertFolder(quint64 destinationId, const QString& name)
    {
        return insertRow(QStringLiteral("insert into cloud_folders(name, display_name, parent_id, destination_id) "
                                        "values (:name, :name, 0, %1) returning id")
                             .arg(destinationId),
                         name);
    }
    int count(const QString& table)
    {
        DatabaseConnection connection(pool());
        QSqlQuery query = connection.query();
        if (!query.exec(QStringLiteral("select count(*) from ") + table) || !query.next())
            return -1;
        return query.value(0).toInt();
    }

    ArchiveBunches bunch(quint64 destinationId, quint64 folderId, const QUuid& plan = QUuid::createUuid())
    {
        ArchiveBunches bunch;
        bunch.setDestinationId(destinationId);
        bunch.setFolderId(folderId);
        bunch.setPlanId(plan);
        bunch.setDisplayName(QStringLiteral("Plan bunch"));
        bunch.setType(KTL::Archive::Type(2));
        bunch.setMetaFileName(QStringLiteral("bunch.meta"));
        return bunch;
    }

    ArchiveGenerations generation(quint64 bunchId, qint32 number, qint64 uploaded = -1)
    {
        ArchiveGenerations generation;
        generation.setBunchId(bunchId);
        generation.setMarker(QUuid::createUuid());
        generation.setNumber(number);
        generation.setUploadedFilesSize(uploaded);
        DatabaseConnection connection(pool());
        EXPECT_EQ(generation.insert(connection), Result::Ok);
        return generation;
    }

    void SetUp() override
    {
        RepositoryTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_destination = insertDestination(QStringLiteral("account"));
        m_folder = insertFolder(m_destination, QStringLiteral("plans"));
        ASSERT_NE(m_destination, 0u);
        ASSERT_NE(m_folder, 0u);
    }

    quint64 m_destination = 0;
    quint64 m_folder = 0;
};

}  // namespace

TEST_P(ArchiveTest, ABunchIsStoredFoundAndUpdatedByPlanAndDestination)
{
    DatabaseConnection connection(pool());
    const QUuid plan = QUuid::createUuid();
    ArchiveBunches written = bunch(m_destination, m_folder, plan);
    ASSERT_EQ(written.insert(connection), Result::Ok);
    ASSERT_NE(written.id(), 0u);

    const RowResult<ArchiveBunches> read = ArchiveBunches::select(plan, m_destination, connection);
    ASSERT_EQ(read.second, Result::Ok);
    ASSERT_FALSE(read.first.isNull());
    EXPECT_EQ(read.first->id(), written.id());
    EXPECT_EQ(read.first->folderId(), m_folder);
    EXPECT_EQ(read.first->displayName(), QStringLiteral("Plan bunch"));
    EXPECT_EQ(int(read.first->type()), 2);
    EXPECT_EQ(read.first->destinationId(), m_destination);
    EXPECT_EQ(read.first->planId(), plan);
    EXPECT_EQ(read.first->metaFileName(), QStringLiteral("bunch.meta"));

    ASSERT_EQ(ArchiveBunches::updateMetaFileInfo(plan, m_destination, QStringLiteral("Renamed"), KTL::Archive::Type(5),
                                                 QStringLiteral("other.meta"), connection),
              Result::Ok);
    // No matching row is no failure.
    EXPECT_EQ(ArchiveBunches::updateMetaFileInfo(QUuid::createUuid(), m_destination, QStringLiteral("x"),
                                                 KTL::Archive::Type(1), QStringLiteral("x"), connection),
              Result::Ok);
    const QSharedPointer<ArchiveBunches> updated = ArchiveBunches::select(plan, m_destination, connection).first;
    ASSERT_FALSE(updated.isNull());
    EXPECT_EQ(updated->displayName(), QStringLiteral("Renamed"));
    EXPECT_EQ(int(updated->type()), 5);
    EXPECT_EQ(updated->metaFileName(), QStringLiteral("other.meta"));
    EXPECT_EQ(updated->folderId(), m_folder);

    EXPECT_EQ(ArchiveBunches::select(QUuid::createUuid(), m_destination, connection),
              RowResult<ArchiveBunches>({}, Result::Ok));
    EXPECT_EQ(ArchiveBunches::select(QUuid(), m_destination, connection), RowResult<ArchiveBunches>({}, Result::Error));
    EXPECT_EQ(ArchiveBunches::select(plan, 0, connection), RowResult<ArchiveBunches>({}, Result::Error));
}

TEST_P(ArchiveTest, BunchesNeedTheirKeysAndAreUniquePerPlanAndPerFolderAndType)
{
    DatabaseConnection connection(pool());
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    ArchiveBunches noPlan = bunch(m_destination, m_folder, QUuid());
    ArchiveBunches noFolder = bunch(m_destination, 0);
    ArchiveBunches noDestination = bunch(0, m_folder);
    for (ArchiveBunches* refused : {&noPlan, &noFolder, &noDestination})
        EXPECT_EQ(refused->insert(connection), Result::Error);
    ArchiveBunches first = bunch(m_destination, m_folder);
    EXPECT_EQ(first.insert(closed), Result::Error);
    EXPECT_EQ(count(QStringLiteral("archive_bunches")), 0);
    ASSERT_EQ(first.insert(connection), Result::Ok);

    ArchiveBunches samePlan = bunch(m_destination, insertFolder(m_destination, QStringLiteral("o")), first.planId());
    EXPECT_NE(samePlan.insert(connection), Result::Ok);
    EXPECT_EQ(samePlan.id(), 0u);
    ArchiveBunches sameFolderAndType = bunch(m_destination, m_folder);
    EXPECT_NE(sameFolderAndType.insert(connection), Result::Ok);
    // Another type in the same folder, or the same plan at another destination, is a bunch of its own.
    ArchiveBunches otherType = bunch(m_destination, m_folder);
    otherType.setType(KTL::Archive::Type(3));
    EXPECT_EQ(otherType.insert(connection), Result::Ok);
    const quint64 otherDestination = insertDestination(QStringLiteral("second"));
    ArchiveBunches elsewhere =
        bunch(otherDestination, insertFolder(otherDestination, QStringLiteral("f")), first.planId());
    EXPECT_EQ(elsewhere.insert(connection), Result::Ok);

    // Lists page over one destination's bunches; remove takes one row and nothing on a closed connection.
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 5, connection).first.size(), 2);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 1, 1, connection).first.size(), 1);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 1, 2, connection).first.size(), 0);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 0, closed).second, Result::Error);
    EXPECT_EQ(first.remove(closed), Result::Ok);
    EXPECT_EQ(count(QStringLiteral("archive_bunches")), 3);
    EXPECT_EQ(first.remove(connection), Result::Ok);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 0, connection).first.size(), 1);
}

TEST_P(ArchiveTest, ANewGenerationStoresItsDefaultsAndReadsThemBack)
{
    DatabaseConnection connection(pool());
    ArchiveBunches b = bunch(m_destination, m_folder);
    ASSERT_EQ(b.insert(connection), Result::Ok);

    ArchiveGenerations generation;
    EXPECT_EQ(generation.insert(connection), Result::Error);  // no bunch
    generation.setBunchId(b.id());
    ASSERT_EQ(generation.insert(connection), Result::Ok);
    ASSERT_NE(generation.id(), 0u);

    QSqlQuery raw = connection.query();
    ASSERT_TRUE(raw.exec(QStringLiteral("select marker, format, type, full_backup_reason, broken_type, custom_purge, "
                                        "uploaded_files_size from archive_generations")) &&
                raw.next());
    QStringList stored;
    for (int i = 0; i < 7; ++i)
        stored << raw.value(i).toString();
    EXPECT_EQ(stored, (QStringList{"{00000000-0000-0000-0000-000000000000}", "", "1000", "1000", "0", "-1", "-1"}));
    EXPECT_FALSE(raw.value(1).isNull());

    const QSharedPointer<ArchiveGenerations> read = ArchiveGenerations::current(b.id(), connection).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(read->id(), generation.id());
    EXPECT_TRUE(read->marker().isNull());
    EXPECT_TRUE(read->format().isNull());
    EXPECT_EQ(read->fullBackupReason(), KTL::Archive::FullReason::Unknown);
    EXPECT_EQ(read->customPurge(), -1);
    EXPECT_EQ(read->uploadedFilesSize(), -1);
}

TEST_P(ArchiveTest, GenerationsAreFoundByMarkerAndTheHighestNumberIsCurrent)
{
    DatabaseConnection connection(pool());
    ArchiveBunches b = bunch(m_destination, m_folder);
    ASSERT_EQ(b.insert(connection), Result::Ok);
    EXPECT_EQ(ArchiveGenerations::current(b.id(), connection), RowResult<ArchiveGenerations>({}, Result::Ok));

    const ArchiveGenerations first = generation(b.id(), 1);
    const ArchiveGenerations fifth = generation(b.id(), 5);
    generation(b.id(), 2);
    EXPECT_EQ(ArchiveGenerations::current(b.id(), connection).first->id(), fifth.id());
    EXPECT_EQ(ArchiveGenerations::current(0, connection), RowResult<ArchiveGenerations>({}, Result::Ok));

    const QSharedPointer<ArchiveGenerations> byMarker =
        ArchiveGenerations::select(b.id(), first.marker(), connection).first;
    ASSERT_FALSE(byMarker.isNull());
    EXPECT_EQ(byMarker->number(), 1);
    EXPECT_EQ(ArchiveGenerations::select(b.id(), QUuid::createUuid(), connection),
              RowResult<ArchiveGenerations>({}, Result::Ok));
    EXPECT_EQ(ArchiveGenerations::select(b.id(), QUuid(), connection),
              RowResult<ArchiveGenerations>({}, Result::Error));
    EXPECT_EQ(ArchiveGenerations::select(0, first.marker(), connection),
              RowResult<ArchiveGenerations>({}, Result::Error));

    EXPECT_EQ(ArchiveGenerations::select(b.id(), 0, 5, connection).first.size(), 3);
    EXPECT_EQ(ArchiveGenerations::select(b.id(), 2, 1, connection).first.size(), 2);
    EXPECT_EQ(ArchiveGenerations::select(b.id(), 2, 2, connection).first.size(), 1);

    // A marker is unique within its bunch only.
    ArchiveGenerations repeated;
    repeated.setBunchId(b.id());
    repeated.setMarker(first.marker());
    EXPECT_NE(repeated.insert(connection), Result::Ok);
    EXPECT_EQ(repeated.id(), 0u);
    ArchiveBunches other = bunch(m_destination, m_folder);
    other.setType(KTL::Archive::Type(9));
    ASSERT_EQ(other.insert(connection), Result::Ok);
    repeated.setBunchId(other.id());
    EXPECT_EQ(repeated.insert(connection), Result::Ok);
}

TEST_P(ArchiveTest, UpdateRewritesEveryFieldOfAGeneration)
{
    DatabaseConnection connection(pool());
    ArchiveBunches b = bunch(m_destination, m_folder);
    ASSERT_EQ(b.insert(connection), Result::Ok);
    ArchiveGenerations g = generation(b.id(), 1);

    const QUuid marker = QUuid::createUuid();
    g.setMarker(marker);
    g.setFormat(QVersionNumber(2, 1, 7));
    g.setNumber(4);
    g.setType(KTL::Archive::GenerationType(3));
    g.setFullBackupReason(KTL::Archive::FullReason::Hash);
    g.setBrokenType(KTL::Archive::BrokenType::ToPurge);
    g.setHint(QStringLiteral("{\"hint\": \"ünïcode\"}"));
    g.setErrorList(QStringLiteral("error one\nerror two"));
    g.setCustomPurge(30);
    g.setUploadedFilesSize(qint64(6) << 32);
    ASSERT_EQ(g.update(connection), Result::Ok);

    const QSharedPointer<ArchiveGenerations> read = ArchiveGenerations::select(b.id(), marker, connection).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(read->id(), g.id());
    EXPECT_EQ(read->format(), QVersionNumber(2, 1, 7));
    EXPECT_EQ(read->number(), 4);
    EXPECT_EQ(int(read->type()), 3);
    EXPECT_EQ(read->fullBackupReason(), KTL::Archive::FullReason::Hash);
    EXPECT_EQ(read->brokenType(), KTL::Archive::BrokenType::ToPurge);
    EXPECT_EQ(read->hint(), g.hint());
    EXPECT_EQ(read->errorList(), g.errorList());
    EXPECT_EQ(read->customPurge(), 30);
    EXPECT_EQ(read->uploadedFilesSize(), qint64(6) << 32);

    ArchiveGenerations unsaved;
    EXPECT_EQ(unsaved.update(connection), Result::Error);
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    EXPECT_EQ(g.update(closed), Result::Error);
    EXPECT_EQ(g.remove(closed), Result::Ok);
    EXPECT_EQ(ArchiveGenerations::current(b.id(), closed).second, Result::Error);
    ASSERT_EQ(g.remove(connection), Result::Ok);
    EXPECT_TRUE(ArchiveGenerations::current(b.id(), connection).first.isNull());
    // An id without a row is no failure.
    EXPECT_EQ(g.update(connection), Result::Ok);
}

TEST_P(ArchiveTest, ForeignKeysRefuseMissingOwnersAndCascadeDeletes)
{
    DatabaseConnection connection(pool());
    // SQLite enforces foreign keys only on a connection that asks for it; PostgreSQL always does.
    if (!postgres()) {
        ASSERT_TRUE(connection.query().exec(QStringLiteral("PRAGMA foreign_keys = ON")));
    }

    ArchiveBunches noFolder = bunch(m_destination, m_folder + 1000);
    EXPECT_NE(noFolder.insert(connection), Result::Ok);
    ArchiveBunches noDestination = bunch(m_destination + 1000, m_folder);
    EXPECT_NE(noDestination.insert(connection), Result::Ok);
    ArchiveGenerations orphan;
    orphan.setBunchId(4242);
    EXPECT_NE(orphan.insert(connection), Result::Ok);
    EXPECT_EQ(count(QStringLiteral("archive_bunches")), 0);

    ArchiveBunches b = bunch(m_destination, m_folder);
    ASSERT_EQ(b.insert(connection), Result::Ok);
    generation(b.id(), 1);
    generation(b.id(), 2);
    ASSERT_TRUE(connection.query().exec(QStringLiteral("delete from destination where id = %1").arg(m_destination)));
    EXPECT_EQ(count(QStringLiteral("archive_bunches")), 0);
    EXPECT_EQ(count(QStringLiteral("archive_generations")), 0);
}

TEST_P(ArchiveTest, SpaceUsedAddsTheUploadedSizesOfTheDestinationsGenerations)
{
    DatabaseConnection connection(pool());
    ArchiveBunches first = bunch(m_destination, m_folder);
    ASSERT_EQ(first.insert(connection), Result::Ok);
    ArchiveBunches second = bunch(m_destination, m_folder);
    second.setType(KTL::Archive::Type(7));
    ASSERT_EQ(second.insert(connection), Result::Ok);
    const quint64 otherDestination = insertDestination(QStringLiteral("second"));
    ArchiveBunches elsewhere = bunch(otherDestination, insertFolder(otherDestination, QStringLiteral("f")));
    ASSERT_EQ(elsewhere.insert(connection), Result::Ok);

    const QSharedPointer<Destination> destination = Destination::select(m_destination, connection);
    ASSERT_FALSE(destination.isNull());
    EXPECT_EQ(destination->spaceUsed(connection), 0);

    generation(first.id(), 1, qint64(5) << 32);
    generation(first.id(), 2, 100);
    generation(second.id(), 1, -1);  // not known yet
    generation(second.id(), 2, 0);
    generation(elsewhere.id(), 1, 999);
    EXPECT_EQ(destination->spaceUsed(connection), (qint64(5) << 32) + 100);
}

TEST(ArchiveNamesTest, NamedValuesCarryTheSystemsNames)
{
    using namespace KTL::Archive;
    EXPECT_EQ(FullReasonToString.size(), 11);
    EXPECT_EQ(FullReasonToString.value(FullReason(8)), QStringLiteral("DeduplicationDatabaseMissing"));
    EXPECT_EQ(FullReasonToString.value(FullReason(1000)), QStringLiteral("Unknown"));
    EXPECT_EQ(BrokenTypeToString.keys(), (QList<BrokenType>{BrokenType(0), BrokenType(3), BrokenType(10),
                                                            BrokenType(11)}));
    EXPECT_EQ(BrokenTypeToString.value(BrokenType(10)), QStringLiteral("ToPurgeAfterSync"));
    EXPECT_EQ(BackupTypeToString.value(BackupType(1)), QStringLiteral("SyntheticFull"));
}

RPX_ON_BOTH_ENGINES(ArchiveTest);
