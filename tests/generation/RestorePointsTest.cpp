#include "GenerationFixture.h"

#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/RestorePointParts.h>
#include <rpxRepository/generation/RestorePoints.h>
#include <rpxRepository/generation/StorageFiles.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::found;
using gentest::insertPoint;
using gentest::run;
using KTL::Archive::BrokenType;

namespace {

const QDateTime Base(QDate(2024, 5, 10), QTime(8, 0, 0), Qt::UTC);

// Chain numbers come from the part's path, "chain-<n>/...", as a caller's subclass might derive them.
class ChainPart : public RestorePointParts
{
protected:
    bool initChainNumber() override
    {
        bool ok = false;
        setChainNumber(path().section(QLatin1Char('/'), 0, 0).section(QLatin1Char('-'), 1).toLongLong(&ok));
        return ok;
    }
};
const RestorePointParts::Factory makeChainPart = [] { return new ChainPart(); };

// Every field but the start date, as text, to compare a row with what was written.
QStringList fields(const RestorePoints& p)
{
    return gentest::texts(p.id(), p.sequenceNumber(), int(p.backupType()), p.tocId(), p.totalBytes(), p.newBytes(),
                          p.compressedBytes(), int(p.snapshotType()), p.filesBackedUp(), p.filesDeleted(),
                          p.foldersBackedUp(), p.foldersDeleted(), p.blocksCount(), p.partsCount(),
                          p.sessionHistoryId(), int(p.backupResult()), int(p.consistencyCheckResult()),
                          int(p.brokenType()), p.totalFileCount(), p.totalFileSize(), p.metadata(), p.plan(),
                          p.sgnFileName(), p.backupErrorList(), p.consistencyCheckErrorList(), p.finishDate(),
                          p.consistencyCheckDateTime());
}

using RestorePointsTest = gentest::GenerationTest;

}  // namespace

TEST_F(RestorePointsTest, EveryFieldIsWrittenAndReadBackWithDatesCutToSecondsInUtc)
{
    RestorePoints point;
    point.setStartDate(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 678), Qt::UTC));
    point.setFinishDate(QDateTime(QDate(2024, 1, 2), QTime(4, 0, 0), Qt::UTC));
    point.setSequenceNumber(42);
    point.setBackupType(KTL::Archive::BackupType::SyntheticFull);
    point.setTocId(9);
    point.setSnapshotType(KTL::Archive::SnapshotType::Value(2));
    point.setSessionHistoryId(19);
    point.setBackupResult(KTL::Archive::BackupResult(3));
    point.setConsistencyCheckResult(KTL::Archive::ConsistencyCheckResult(4));
    point.setConsistencyCheckDateTime(QDateTime(QDate(2024, 2, 3), QTime(5, 6, 7), Qt::UTC));
    point.setBrokenType(KTL::Archive::BrokenType::ToPurgeAfterSync);
    // Distinct values beyond 32 bits, so a field stored in another's column or cut short shows.
    qint64 value = 10;
    for (auto set : {&RestorePoints::setTotalBytes, &RestorePoints::setNewBytes, &RestorePoints::setCompressedBytes,
                     &RestorePoints::setFilesBackedUp, &RestorePoints::setFilesDeleted,
                     &RestorePoints::setFoldersBackedUp, &RestorePoints::setFoldersDeleted,
                     &RestorePoints::setBlocksCount, &RestorePoints::setPartsCount, &RestorePoints::setTotalFileCount,
                     &RestorePoints::setTotalFileSize})
        (point.*set)((++value) << 32);
    for (auto set : {&RestorePoints::setMetadata, &RestorePoints::setPlan, &RestorePoints::setSgnFileName,
                     &RestorePoints::setBackupErrorList, &RestorePoints::setConsistencyCheckErrorList})
        (point.*set)(QStringLiteral("text %1").arg(++value));

    DatabaseConnection connection(pool());
    ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
    ASSERT_NE(point.id(), 0u);
    const QSharedPointer<RestorePoints> read = RestorePoints::selectById(point.id(), QString(), connection).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(fields(*read), fields(point));
    EXPECT_EQ(read->startDate(), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC));
    EXPECT_EQ(read->startDate().timeSpec(), Qt::UTC);

    // Update rewrites every field; a missing date is stored as NULL and reads back invalid.
    RestorePoints changed = *read;
    changed.setFinishDate(QDateTime());
    changed.setSequenceNumber(43);
    changed.setFoldersDeleted(-1);
    ASSERT_EQ(changed.update(QString(), connection), Result::Ok);
    EXPECT_EQ(found(RestorePoints::selectBySequenceNumber(43, QString(), connection), fields), fields(changed));
    EXPECT_TRUE(RestorePoints::selectBySequenceNumber(42, QString(), connection).first.isNull());
}

TEST_F(RestorePointsTest, LookupsFindTheRightNeighbourListsPageAndTheTableRefusesRepeats)
{
    DatabaseConnection connection(pool());
    EXPECT_EQ(RestorePoints::selectLast(QString(), connection), RowResult<RestorePoints>({}, Result::Ok));
    // Point n starts n hours after Base, but sequence numbers need not follow the start dates: 5 starts first
    // of all. Only 1 has a signature; 3 has an empty one, the others none.
    for (qint64 sequence = 1; sequence <= 5; ++sequence) {
        RestorePoints point;
        point.setSequenceNumber(sequence);
        point.setStartDate(Base.addSecs(3600 * (sequence == 5 ? -1 : sequence)));
        point.setSgnFileName(sequence == 1 ? "one.sgn" : sequence == 3 ? QStringLiteral("") : QString());
        ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
    }

    const auto sequenceOf = [](const RowResult<RestorePoints>& result) {
        return result.first.isNull() ? qint64(-1) : result.first->sequenceNumber();
    };
    EXPECT_EQ(sequenceOf(RestorePoints::selectLast(QString(), connection)), 4);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(qint64(4), QString(), connection)), 3);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(qint64(1), QString(), connection)), -1);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrevWithSignature(4, QString(), connection)), 1);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(Base.addSecs(3 * 3600), QString(), connection)), 2);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(Base.addSecs(1800), QString(), connection)), 5);
    EXPECT_EQ(sequenceOf(RestorePoints::selectByDateTime(Base.addSecs(2 * 3600), QString(), connection)), 2);
    EXPECT_EQ(sequenceOf(RestorePoints::selectByDateTime(Base.addSecs(2 * 3600 + 1), QString(), connection)), -1);

    for (qint64 sequence = 6; sequence <= 10; ++sequence)
        insertPoint(connection, sequence, Base.addSecs(3600 * sequence));
    EXPECT_EQ(RestorePoints::select(QString(), 0, 3, connection).first.size(), 10);
    EXPECT_EQ(RestorePoints::select(QString(), 4, 8, connection).first.size(), 2);
    // Up to a date (1, 2, 3 and 5), paged.
    const QDateTime upTo = Base.addSecs(3 * 3600).addMSecs(400);
    EXPECT_EQ(RestorePoints::select(upTo, QString(), -1, 7, connection).first.size(), 4);
    EXPECT_EQ(RestorePoints::select(upTo, QString(), 2, 3, connection).first.size(), 1);

    // A repeated sequence number and a run without a start date are refused by the table.
    for (const auto& [sequence, start] : {qMakePair(qint64(1), Base), qMakePair(qint64(11), QDateTime())}) {
        RestorePoints refused;
        refused.setSequenceNumber(sequence);
        refused.setStartDate(start);
        EXPECT_EQ(refused.insert(QString(), connection), Result::Constraint) << sequence;
        EXPECT_EQ(refused.id(), 0u);
    }
    const QSharedPointer<RestorePoints> first = RestorePoints::selectBySequenceNumber(1, QString(), connection).first;
    ASSERT_FALSE(first.isNull());
    ASSERT_EQ(first->remove(QString(), connection), Result::Ok);
    EXPECT_TRUE(RestorePoints::selectById(first->id(), QString(), connection).first.isNull());
    EXPECT_EQ(RestorePoints::select(QString(), 0, 0, connection).first.size(), 9);
}

TEST_F(RestorePointsTest, PartsAreKeyedByChainNumberFilteredByBrokenStateAndAFailingHookStops)
{
    DatabaseConnection connection(pool());
    const RestorePoints point = insertPoint(connection, 1, Base);
    const RestorePoints other = insertPoint(connection, 2, Base.addSecs(3600));
    // Parts of one chain number leave the one read last, in rowid order of parts: chain-3/later. Only
    // chain-2/b is broken; chain-4/d is a part of the other restore point.
    QHash<QString, quint64> ids;
    for (const QString path : {"chain-1/a", "chain-2/b", "chain-3/c", "chain-3/later", "chain-4/d"}) {
        StorageFiles file;
        file.setPath(path);
        file.setBrokenType(path == "chain-2/b" ? BrokenType::ToPurge : BrokenType::NotBroken);
        ASSERT_EQ(file.insert(QString(), connection), Result::Ok);
        const quint64 restorePoint = path == "chain-4/d" ? other.id() : point.id();
        ASSERT_EQ(Parts(file.id(), restorePoint).insert(QString(), connection), Result::Ok);
        ids.insert(path, file.id());
    }

    const RestorePointParts::Map all = RestorePointParts::select(point.id(), QString(), connection, makeChainPart);
    EXPECT_EQ(all.keys(), (QList<qint64>{1, 2, 3}));
    ASSERT_TRUE(all.contains(2));
    EXPECT_EQ(all.value(2)->id(), ids.value("chain-2/b"));
    EXPECT_EQ(all.value(2)->brokenType(), BrokenType::ToPurge);
    EXPECT_EQ(all.value(3)->id(), ids.value("chain-3/later"));
    EXPECT_EQ(RestorePointParts::selectNotBroken(point.id(), QString(), connection, makeChainPart).keys(),
              (QList<qint64>{1, 3}));

    // A row the hook rejects ends the listing.
    ASSERT_TRUE(run(connection, "update storage_files set path = 'no-chain' where path = 'chain-1/a'"));
    EXPECT_TRUE(RestorePointParts::select(point.id(), QString(), connection, makeChainPart).isEmpty());
}
