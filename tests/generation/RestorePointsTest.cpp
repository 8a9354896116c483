#include "GenerationFixture.h"

#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/RestorePointParts.h>
#include <rpxRepository/generation/RestorePoints.h>
#include <rpxRepository/generation/StorageFiles.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::run;
using gentest::scalar;

namespace {

const QDateTime Base(QDate(2024, 5, 10), QTime(8, 0, 0), Qt::UTC);

// Chain numbers come from the part's path, "chain-<n>/...", as a caller's subclass might derive them.
class ChainPart : public RestorePointParts
{
public:
    static int created;

protected:
    bool initChainNumber() override
    {
        bool ok = false;
        const qint64 number = path().section(QLatin1Char('/'), 0, 0).section(QLatin1Char('-'), 1).toLongLong(&ok);
        setChainNumber(number);
        return ok;
    }
};
int ChainPart::created = 0;

RestorePointParts* makeChainPart()
{
    ++ChainPart::created;
    return new ChainPart();
}

// Every field but the id and the start date, as text, to compare a row with what was written.
QStringList fields(const RestorePoints& p)
{
    QStringList list;
    for (qint64 value : {qint64(p.sequenceNumber()), qint64(p.backupType()), qint64(p.tocId()), p.totalBytes(),
                         p.newBytes(), p.compressedBytes(), qint64(p.snapshotType()), p.filesBackedUp(),
                         p.filesDeleted(), p.foldersBackedUp(), p.foldersDeleted(), p.blocksCount(), p.partsCount(),
                         qint64(p.sessionHistoryId()), qint64(p.backupResult()), qint64(p.consistencyCheckResult()),
                         qint64(p.brokenType()), p.totalFileCount(), p.totalFileSize()})
        list << QString::number(value);
    list << p.metadata() << p.plan() << p.sgnFileName() << p.backupErrorList() << p.consistencyCheckErrorList()
         << p.finishDate().toString(Qt::ISODateWithMs) << p.consistencyCheckDateTime().toString(Qt::ISODateWithMs);
    return list;
}

class RestorePointsTest : public gentest::GenerationTest
{
protected:
    // A restore point numbered `sequence`, started `sequence` hours after Base.
    RestorePoints insertPoint(qint64 sequence, const QString& signature = QString())
    {
        RestorePoints point;
        point.setSequenceNumber(sequence);
        point.setStartDate(Base.addSecs(3600 * sequence));
        point.setSgnFileName(signature);
        DatabaseConnection connection(pool());
        EXPECT_EQ(point.insert(QString(), connection), Result::Ok);
        return point;
    }

    quint64 insertStorageFile(const QString& path, KTL::Archive::BrokenType broken)
    {
        StorageFiles file;
        file.setPath(path);
        file.setBrokenType(broken);
        DatabaseConnection connection(pool());
        EXPECT_EQ(file.insert(QString(), connection), Result::Ok);
        return file.id();
    }

    static QList<qint64> sequences(const ListResult<RestorePoints>& result)
    {
        QList<qint64> numbers;
        for (const auto& point : result.first)
            numbers << point->sequenceNumber();
        std::sort(numbers.begin(), numbers.end());
        return numbers;
    }
};

}  // namespace

TEST(RestorePointsDefaultsTest, NeedSyncWhileCountersAreUnknownAndTheRunWroteSomething)
{
    RestorePoints point;
    EXPECT_FALSE(point.needSync());  // nothing written yet
    point.setPartsCount(1);
    EXPECT_TRUE(point.needSync());
    point.setPartsCount(0);
    point.setTocId(5);
    EXPECT_TRUE(point.needSync());
    point.setFilesBackedUp(0);
    point.setFilesDeleted(0);
    point.setFoldersBackedUp(0);
    EXPECT_TRUE(point.needSync());  // one counter still unknown
    point.setFoldersDeleted(3);
    EXPECT_FALSE(point.needSync());
}

TEST_F(RestorePointsTest, EveryFieldIsWrittenAndReadBackWithDatesCutToSecondsInUtc)
{
    RestorePoints point;
    point.setStartDate(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 678), Qt::UTC));
    point.setFinishDate(QDateTime(QDate(2024, 1, 2), QTime(4, 0, 0), Qt::UTC));
    point.setSequenceNumber(42);
    point.setBackupType(KTL::Archive::BackupType::SyntheticFull);
    point.setTocId(9);
    point.setTotalBytes(qint64(3) << 40);
    point.setNewBytes(11);
    point.setCompressedBytes(12);
    point.setSnapshotType(KTL::Archive::SnapshotType::Value(2));
    point.setFilesBackedUp(13);
    point.setFilesDeleted(14);
    point.setFoldersBackedUp(15);
    point.setFoldersDeleted(16);
    point.setMetadata(QStringLiteral("{\"k\":1}"));
    point.setPlan(QStringLiteral("plan-text"));
    point.setBlocksCount(17);
    point.setPartsCount(18);
    point.setSgnFileName(QStringLiteral("sig.sgn"));
    point.setSessionHistoryId(19);
    point.setBackupResult(KTL::Archive::BackupResult(3));
    point.setBackupErrorList(QStringLiteral("e1;e2"));
    point.setConsistencyCheckResult(KTL::Archive::ConsistencyCheckResult(4));
    point.setConsistencyCheckDateTime(QDateTime(QDate(2024, 2, 3), QTime(5, 6, 7), Qt::UTC));
    point.setConsistencyCheckErrorList(QStringLiteral("c1"));
    point.setBrokenType(KTL::Archive::BrokenType::ToPurgeAfterSync);
    point.setTotalFileCount(20);
    point.setTotalFileSize(21);

    DatabaseConnection connection(pool());
    ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
    ASSERT_NE(point.id(), 0u);

    const RowResult<RestorePoints> read = RestorePoints::selectById(point.id(), QString(), connection);
    ASSERT_EQ(read.second, Result::Ok);
    ASSERT_FALSE(read.first.isNull());
    EXPECT_EQ(fields(*read.first), fields(point));
    EXPECT_EQ(read.first->startDate(), QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC));
    EXPECT_EQ(read.first->startDate().timeSpec(), Qt::UTC);

    // Update rewrites every field; a missing date is stored as NULL and reads back invalid.
    RestorePoints changed = *read.first;
    changed.setFinishDate(QDateTime());
    changed.setSequenceNumber(43);
    changed.setFoldersDeleted(-1);
    ASSERT_EQ(changed.update(QString(), connection), Result::Ok);
    const QSharedPointer<RestorePoints> again = RestorePoints::selectBySequenceNumber(43, QString(), connection).first;
    ASSERT_FALSE(again.isNull());
    EXPECT_EQ(again->id(), point.id());
    EXPECT_EQ(fields(*again), fields(changed));
    EXPECT_FALSE(again->finishDate().isValid());
    EXPECT_TRUE(RestorePoints::selectBySequenceNumber(42, QString(), connection).first.isNull());
}

TEST_F(RestorePointsTest, ASequenceNumberIsUniqueAndTheLosingInsertKeepsItsId)
{
    insertPoint(1);
    RestorePoints duplicate;
    duplicate.setSequenceNumber(1);
    duplicate.setStartDate(Base);
    DatabaseConnection connection(pool());
    EXPECT_EQ(duplicate.insert(QString(), connection), Result::Constraint);
    EXPECT_EQ(duplicate.id(), 0u);
    // A run without a start date is refused by the table.
    RestorePoints undated;
    undated.setSequenceNumber(2);
    EXPECT_EQ(undated.insert(QString(), connection), Result::Constraint);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from restore_points")).toInt(), 1);
}

TEST_F(RestorePointsTest, SingleRowLookupsFindTheRightNeighbour)
{
    DatabaseConnection connection(pool());
    EXPECT_EQ(RestorePoints::selectLast(QString(), connection), RowResult<RestorePoints>({}, Result::Ok));

    insertPoint(1, QStringLiteral("one.sgn"));
    insertPoint(2);                  // NULL signature
    insertPoint(3, QStringLiteral(""));  // empty signature
    insertPoint(4);
    // Sequence numbers need not follow the start dates: 5 starts first of all.
    RestorePoints early;
    early.setSequenceNumber(5);
    early.setStartDate(Base.addSecs(-3600));
    ASSERT_EQ(early.insert(QString(), connection), Result::Ok);

    const auto sequenceOf = [](const RowResult<RestorePoints>& result) {
        return result.first.isNull() ? qint64(-1) : result.first->sequenceNumber();
    };
    EXPECT_EQ(sequenceOf(RestorePoints::selectLast(QString(), connection)), 4);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(qint64(4), QString(), connection)), 3);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(qint64(1), QString(), connection)), -1);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrevWithSignature(4, QString(), connection)), 1);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrevWithSignature(1, QString(), connection)), -1);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(Base.addSecs(3 * 3600), QString(), connection)), 2);
    EXPECT_EQ(sequenceOf(RestorePoints::selectPrev(Base.addSecs(1800), QString(), connection)), 5);
    EXPECT_EQ(sequenceOf(RestorePoints::selectByDateTime(Base.addSecs(2 * 3600), QString(), connection)), 2);
    EXPECT_EQ(sequenceOf(RestorePoints::selectByDateTime(Base.addSecs(2 * 3600 + 1), QString(), connection)), -1);
    EXPECT_EQ(RestorePoints::selectBySequenceNumber(99, QString(), connection),
              RowResult<RestorePoints>({}, Result::Ok));
}

TEST_F(RestorePointsTest, ListsPageAndStopAtADate)
{
    for (qint64 sequence = 1; sequence <= 40; ++sequence)
        insertPoint(sequence);
    DatabaseConnection connection(pool());

    const ListResult<RestorePoints> all = RestorePoints::select(QString(), 0, 20, connection);
    EXPECT_EQ(all.second, Result::Ok);
    EXPECT_EQ(all.first.size(), 40);
    const ListResult<RestorePoints> page = RestorePoints::select(QString(), 10, 20, connection);
    EXPECT_EQ(page.first.size(), 10);
    EXPECT_EQ(RestorePoints::select(QString(), 10, 35, connection).first.size(), 5);

    // Up to a date: inclusive, the date cut to whole seconds.
    const QDateTime upTo = Base.addSecs(5 * 3600).addMSecs(400);
    EXPECT_EQ(sequences(RestorePoints::select(upTo, QString(), -1, 7, connection)), (QList<qint64>{1, 2, 3, 4, 5}));
    EXPECT_EQ(RestorePoints::select(upTo, QString(), 2, 1, connection).first.size(), 2);
    EXPECT_EQ(RestorePoints::select(upTo, QString(), 2, 4, connection).first.size(), 1);
}

TEST_F(RestorePointsTest, RemoveDeletesTheOneRowAndClosedConnectionsAreRefused)
{
    const RestorePoints first = insertPoint(1);
    insertPoint(2);
    DatabaseConnection connection(pool());
    const quint64 partFile = insertStorageFile(QStringLiteral("chain-1/a"), KTL::Archive::BrokenType::NotBroken);
    ASSERT_EQ(Parts(partFile, first.id()).insert(QString(), connection), Result::Ok);

    ASSERT_EQ(first.remove(QString(), connection), Result::Ok);
    EXPECT_TRUE(RestorePoints::selectById(first.id(), QString(), connection).first.isNull());
    EXPECT_EQ(RestorePoints::select(QString(), 0, 0, connection).first.size(), 1);
    // Without foreign-key enforcement the part stays behind.
    EXPECT_EQ(Parts::select(first.id(), QString(), connection).first.size(), 1);

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    RestorePoints point;
    point.setStartDate(Base);
    EXPECT_EQ(point.insert(QString(), closed), Result::Error);
    EXPECT_EQ(point.update(QString(), closed), Result::Error);
    EXPECT_EQ(point.remove(QString(), closed), Result::Error);
    EXPECT_EQ(RestorePoints::selectLast(QString(), closed), RowResult<RestorePoints>({}, Result::Error));
    EXPECT_EQ(RestorePoints::select(Base, QString(), 0, 0, closed).second, Result::Error);
}

TEST_F(RestorePointsTest, PartsAreKeyedByChainNumberAndFilteredByBrokenState)
{
    const RestorePoints point = insertPoint(1);
    const RestorePoints other = insertPoint(2);
    DatabaseConnection connection(pool());
    const quint64 a = insertStorageFile(QStringLiteral("chain-1/a"), KTL::Archive::BrokenType::NotBroken);
    const quint64 b = insertStorageFile(QStringLiteral("chain-2/b"), KTL::Archive::BrokenType::ToPurge);
    const quint64 c = insertStorageFile(QStringLiteral("chain-3/c"), KTL::Archive::BrokenType::NotBroken);
    const quint64 foreign = insertStorageFile(QStringLiteral("chain-4/d"), KTL::Archive::BrokenType::NotBroken);
    for (quint64 id : {a, b, c})
        ASSERT_EQ(Parts(id, point.id()).insert(QString(), connection), Result::Ok);
    ASSERT_EQ(Parts(foreign, other.id()).insert(QString(), connection), Result::Ok);

    const RestorePointParts::Map all = RestorePointParts::select(point.id(), QString(), connection, makeChainPart);
    EXPECT_EQ(all.keys(), (QList<qint64>{1, 2, 3}));
    ASSERT_TRUE(all.contains(2));
    EXPECT_EQ(all.value(2)->id(), b);
    EXPECT_EQ(all.value(2)->path(), QStringLiteral("chain-2/b"));
    EXPECT_EQ(all.value(2)->brokenType(), KTL::Archive::BrokenType::ToPurge);

    const RestorePointParts::Map whole =
        RestorePointParts::selectNotBroken(point.id(), QString(), connection, makeChainPart);
    EXPECT_EQ(whole.keys(), (QList<qint64>{1, 3}));
}

TEST_F(RestorePointsTest, PartsOfOneChainNumberLeaveTheLastReadAndAFailingHookStops)
{
    const RestorePoints point = insertPoint(1);
    DatabaseConnection connection(pool());
    const quint64 first = insertStorageFile(QStringLiteral("chain-7/first"), KTL::Archive::BrokenType::NotBroken);
    const quint64 second = insertStorageFile(QStringLiteral("chain-7/second"), KTL::Archive::BrokenType::NotBroken);
    ASSERT_EQ(Parts(first, point.id()).insert(QString(), connection), Result::Ok);
    ASSERT_EQ(Parts(second, point.id()).insert(QString(), connection), Result::Ok);

    // The rows come in rowid order of parts, so the second part is read last.
    RestorePointParts::Map map = RestorePointParts::select(point.id(), QString(), connection, makeChainPart);
    ASSERT_EQ(map.size(), 1);
    EXPECT_EQ(map.value(7)->id(), second);

    // A row the hook rejects ends the listing.
    ASSERT_TRUE(run(connection, QStringLiteral("update storage_files set path = 'no-chain' where id = %1").arg(first)));
    map = RestorePointParts::select(point.id(), QString(), connection, makeChainPart);
    EXPECT_TRUE(map.isEmpty());

    // Restore point 0 and a closed connection give an empty map without creating a single object.
    ChainPart::created = 0;
    EXPECT_TRUE(RestorePointParts::select(0, QString(), connection, makeChainPart).isEmpty());
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    EXPECT_TRUE(RestorePointParts::selectNotBroken(point.id(), QString(), closed, makeChainPart).isEmpty());
    EXPECT_EQ(ChainPart::created, 0);
}
