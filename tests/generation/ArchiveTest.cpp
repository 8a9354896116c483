#include "GenerationFixture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/generation/ArchiveBunches.h>
#include <rpxRepository/generation/ArchiveGenerations.h>

using namespace RPX::SQL;
using gentest::found;
using gentest::texts;

namespace {

// Every field, to compare a row with what was written.
QStringList fields(const ArchiveBunches& b)
{
    return texts(b.id(), b.folderId(), b.displayName(), int(b.type()), b.destinationId(), b.planId(), b.metaFileName());
}
QStringList fields(const ArchiveGenerations& g)
{
    return texts(g.id(), g.bunchId(), g.marker(), g.format().toString(), g.number(), int(g.type()),
                 int(g.fullBackupReason()), int(g.brokenType()), g.hint(), g.errorList(), g.customPurge(),
                 g.uploadedFilesSize());
}

class ArchiveTest : public rpxtest::RepositoryTest
{
protected:
    void SetUp() override
    {
        RepositoryTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_destination = insertDestination("account");
        m_folder = insertFolder(m_destination);
        ASSERT_NE(m_folder, 0u);
    }

    // Destination and folder rows are written with plain SQL: these tests are about the archive tables.
    quint64 insertDestination(const char* account)
    {
        return insert(QStringLiteral("insert into destination(cloud_type, account_id, container, prefix) "
                                     "values ('S3', '%1', 'bucket', '')").arg(account));
    }
    quint64 insertFolder(quint64 destinationId)
    {
        return insert(QStringLiteral("insert into cloud_folders(name, display_name, parent_id, destination_id) "
                                     "values ('f', 'f', 0, %1)").arg(destinationId));
    }
    quint64 insert(const QString& sql)
    {
        return gentest::scalar(DatabaseConnection(pool()), sql + QStringLiteral(" returning id")).toULongLong();
    }

    ArchiveBunches bunch(quint64 destinationId, quint64 folderId, const QUuid& plan = QUuid::createUuid(), int type = 2)
    {
        ArchiveBunches bunch;
        bunch.setDestinationId(destinationId);
        bunch.setFolderId(folderId);
        bunch.setPlanId(plan);
        bunch.setDisplayName("Plan bunch");
        bunch.setType(KTL::Archive::Type(type));
        bunch.setMetaFileName("bunch.meta");
        return bunch;
    }
    // A bunch at a second destination, in a folder of its own there.
    ArchiveBunches bunchElsewhere(const QUuid& plan)
    {
        const quint64 destination = insertDestination("second");
        return bunch(destination, insertFolder(destination), plan);
    }
    quint64 insertedBunch(int type = 2)
    {
        ArchiveBunches b = bunch(m_destination, m_folder, QUuid::createUuid(), type);
        DatabaseConnection connection(pool());
        EXPECT_EQ(b.insert(connection), Result::Ok);
        return b.id();
    }

    ArchiveGenerations generation(quint64 bunchId, qint32 number, qint64 uploaded)
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

    quint64 m_destination = 0;
    quint64 m_folder = 0;
    QPointer<DatabasePool> m_none;
};

}  // namespace

TEST_P(ArchiveTest, BunchesRoundTripAndAreUniquePerPlanAndDestination)
{
    DatabaseConnection connection(pool());
    DatabaseConnection closed(m_none);
    ArchiveBunches refused[] = {bunch(m_destination, m_folder, QUuid()), bunch(m_destination, 0), bunch(0, m_folder)};
    for (ArchiveBunches& incomplete : refused)
        EXPECT_EQ(incomplete.insert(connection), Result::Error);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 0, connection), ListResult<ArchiveBunches>({}, Result::Ok));
    ArchiveBunches first = bunch(m_destination, m_folder);
    ASSERT_EQ(first.insert(connection), Result::Ok);
    ASSERT_NE(first.id(), 0u);

    EXPECT_EQ(found(ArchiveBunches::select(first.planId(), m_destination, connection), fields), fields(first));
    ASSERT_EQ(ArchiveBunches::updateMetaFileInfo(first.planId(), m_destination, "Renamed", KTL::Archive::Type(5),
                                                 "other.meta", connection),
              Result::Ok);
    first.setDisplayName("Renamed");
    first.setType(KTL::Archive::Type(5));
    first.setMetaFileName("other.meta");
    EXPECT_EQ(found(ArchiveBunches::select(first.planId(), m_destination, connection), fields), fields(first));
    EXPECT_EQ(ArchiveBunches::select(QUuid::createUuid(), m_destination, connection),
              RowResult<ArchiveBunches>({}, Result::Ok));
    EXPECT_EQ(ArchiveBunches::select(first.planId(), 0, connection), RowResult<ArchiveBunches>({}, Result::Error));

    ArchiveBunches samePlan = bunch(m_destination, insertFolder(m_destination), first.planId());
    EXPECT_NE(samePlan.insert(connection), Result::Ok);
    EXPECT_EQ(samePlan.id(), 0u);
    // Another type in the same folder, and the same plan at another destination, are bunches of their own.
    ArchiveBunches otherType = bunch(m_destination, m_folder, QUuid::createUuid(), 3);
    EXPECT_EQ(otherType.insert(connection), Result::Ok);
    EXPECT_EQ(bunchElsewhere(first.planId()).insert(connection), Result::Ok);

    // Lists page over one destination's bunches; remove takes one row.
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 5, connection).first.size(), 2);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 1, 1, connection).first.size(), 1);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 0, closed).second, Result::Error);
    EXPECT_EQ(first.remove(connection), Result::Ok);
    EXPECT_EQ(ArchiveBunches::select(m_destination, 0, 0, connection).first.size(), 1);
}

TEST_P(ArchiveTest, AGenerationReadsBackItsDefaultsAndUpdateRewritesEveryField)
{
    DatabaseConnection connection(pool());
    const quint64 bunchId = insertedBunch();
    ArchiveGenerations g;
    EXPECT_EQ(g.insert(connection), Result::Error);  // no bunch
    g.setBunchId(bunchId);
    ASSERT_EQ(g.insert(connection), Result::Ok);
    ASSERT_NE(g.id(), 0u);

    // The defaults read back as written: no marker, no format, an unknown reason, sizes unknown.
    EXPECT_EQ(found(ArchiveGenerations::current(bunchId, connection), fields), fields(g));

    g.setMarker(QUuid::createUuid());
    g.setFormat(QVersionNumber(2, 1, 7));
    g.setNumber(4);
    g.setType(KTL::Archive::GenerationType(3));
    g.setFullBackupReason(KTL::Archive::FullReason::Hash);
    g.setBrokenType(KTL::Archive::BrokenType::ToPurge);
    g.setHint("{\"hint\": \"ünïcode\"}");
    g.setErrorList("error one\nerror two");
    g.setCustomPurge(30);
    g.setUploadedFilesSize(qint64(6) << 32);
    ASSERT_EQ(g.update(connection), Result::Ok);
    EXPECT_EQ(found(ArchiveGenerations::select(bunchId, g.marker(), connection), fields), fields(g));

    EXPECT_EQ(ArchiveGenerations().update(connection), Result::Error);
    DatabaseConnection closed(m_none);
    EXPECT_EQ(g.update(closed), Result::Error);
    ASSERT_EQ(g.remove(connection), Result::Ok);
    EXPECT_TRUE(ArchiveGenerations::current(bunchId, connection).first.isNull());
}

TEST_P(ArchiveTest, GenerationsAreFoundByMarkerTheHighestNumberIsCurrentAndKnownSizesAddUp)
{
    DatabaseConnection connection(pool());
    const quint64 bunchId = insertedBunch();
    EXPECT_EQ(ArchiveGenerations::current(bunchId, connection), RowResult<ArchiveGenerations>({}, Result::Ok));
    const ArchiveGenerations first = generation(bunchId, 1, qint64(5) << 32);
    const ArchiveGenerations fifth = generation(bunchId, 5, 100);
    generation(bunchId, 2, -1);  // not known yet
    EXPECT_EQ(ArchiveGenerations::current(bunchId, connection).first->id(), fifth.id());
    EXPECT_EQ(ArchiveGenerations::current(0, connection), RowResult<ArchiveGenerations>({}, Result::Ok));

    const QSharedPointer<ArchiveGenerations> byMarker =
        ArchiveGenerations::select(bunchId, first.marker(), connection).first;
    ASSERT_FALSE(byMarker.isNull());
    EXPECT_EQ(byMarker->number(), 1);
    EXPECT_EQ(ArchiveGenerations::select(bunchId, QUuid::createUuid(), connection),
              RowResult<ArchiveGenerations>({}, Result::Ok));
    EXPECT_EQ(ArchiveGenerations::select(0, first.marker(), connection),
              RowResult<ArchiveGenerations>({}, Result::Error));
    EXPECT_EQ(ArchiveGenerations::select(bunchId, 2, 2, connection).first.size(), 1);

    // A marker is unique within its bunch only.
    ArchiveGenerations repeated;
    repeated.setBunchId(bunchId);
    repeated.setMarker(first.marker());
    EXPECT_NE(repeated.insert(connection), Result::Ok);
    EXPECT_EQ(repeated.id(), 0u);
    repeated.setBunchId(insertedBunch(9));
    EXPECT_EQ(repeated.insert(connection), Result::Ok);

    // Space used counts the known sizes of this destination's generations only.
    ArchiveBunches elsewhere = bunchElsewhere(QUuid::createUuid());
    ASSERT_EQ(elsewhere.insert(connection), Result::Ok);
    generation(elsewhere.id(), 1, 999);
    const QSharedPointer<Destination> destination = Destination::select(m_destination, connection);
    ASSERT_FALSE(destination.isNull());
    EXPECT_EQ(destination->spaceUsed(connection), (qint64(5) << 32) + 100);
}

RPX_ON_BOTH_ENGINES(ArchiveTest);
