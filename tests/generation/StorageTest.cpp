#include "GenerationFixture.h"

#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/BlockIdGenerator.h>
#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/PartsBlocks.h>
#include <rpxRepository/generation/RestorePoints.h>
#include <rpxRepository/generation/StorageFiles.h>

#include <QMutex>
#include <QSet>
#include <QThread>
#include <memory>
#include <vector>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::run;
using gentest::scalar;

namespace {

class StorageTest : public gentest::GenerationTest
{
protected:
    StorageFiles insertFile(const QString& path, qint64 size = 0, const QDateTime& modified = QDateTime())
    {
        StorageFiles file;
        file.setPath(path);
        file.setSize(size);
        file.setLastModified(modified);
        DatabaseConnection connection(pool());
        EXPECT_EQ(file.insert(QString(), connection), Result::Ok);
        return file;
    }

    static QStringList paths(const ListResult<StorageFiles>& result)
    {
        QStringList list;
        for (const auto& file : result.first)
            list << file->path();
        list.sort();
        return list;
    }
};

}  // namespace

TEST_F(StorageTest, StorageFilesAreWrittenUpdatedAndFoundByPathAndId)
{
    DatabaseConnection connection(pool());
    StorageFiles file;
    file.setPath(QStringLiteral("gen/part"));
    file.setCloudId(QStringLiteral("cid"));
    file.setUploadId(QStringLiteral("uid"));
    file.setSize(qint64(1) << 40);
    file.setBrokenType(KTL::Archive::BrokenType::ToPurgeRemoved);
    file.setLastModified(QDateTime(QDate(2024, 6, 1), QTime(12, 0, 0, 500), Qt::UTC));
    ASSERT_EQ(file.insert(QString(), connection), Result::Ok);
    ASSERT_NE(file.id(), 0u);

    const QSharedPointer<StorageFiles> byPath =
        StorageFiles::select(QStringLiteral("gen/part"), QString(), connection).first;
    ASSERT_FALSE(byPath.isNull());
    EXPECT_EQ(byPath->id(), file.id());
    EXPECT_EQ(byPath->cloudId(), QStringLiteral("cid"));
    EXPECT_EQ(byPath->uploadId(), QStringLiteral("uid"));
    EXPECT_EQ(byPath->size(), qint64(1) << 40);
    EXPECT_EQ(byPath->brokenType(), KTL::Archive::BrokenType::ToPurgeRemoved);
    EXPECT_EQ(byPath->lastModified(), file.lastModified());
    EXPECT_EQ(byPath->lastModified().timeSpec(), Qt::UTC);

    file.setPath(QStringLiteral("gen/renamed"));
    file.setBrokenType(KTL::Archive::BrokenType::NotBroken);
    ASSERT_EQ(file.update(QString(), connection), Result::Ok);
    const QSharedPointer<StorageFiles> byId = StorageFiles::select(file.id(), QString(), connection).first;
    ASSERT_FALSE(byId.isNull());
    EXPECT_EQ(byId->path(), QStringLiteral("gen/renamed"));
    EXPECT_EQ(byId->brokenType(), KTL::Archive::BrokenType::NotBroken);
    EXPECT_EQ(StorageFiles::select(QStringLiteral("gen/part"), QString(), connection),
              RowResult<StorageFiles>({}, Result::Ok));

    // Refused keys run nothing.
    EXPECT_EQ(StorageFiles::select(QString(), QString(), connection), RowResult<StorageFiles>({}, Result::Error));
    EXPECT_EQ(StorageFiles::select(quint64(0), QString(), connection), RowResult<StorageFiles>({}, Result::Error));
}

TEST_F(StorageTest, SizesAndTheLastUploadAreSummedOverTheTable)
{
    DatabaseConnection connection(pool());
    EXPECT_EQ(StorageFiles::sizeOnStorage(QString(), connection), qMakePair(qint64(0), Result::Ok));
    const auto emptyLast = StorageFiles::lastUploadDateTime(QString(), connection);
    EXPECT_EQ(emptyLast.second, Result::Ok);
    ASSERT_FALSE(emptyLast.first.isNull());  // an aggregate always returns its row
    EXPECT_FALSE(emptyLast.first->isValid());

    const QDateTime latest(QDate(2024, 7, 2), QTime(1, 2, 3), Qt::UTC);
    insertFile(QStringLiteral("a"), qint64(3) << 33, latest.addDays(-1));
    insertFile(QStringLiteral("b"), 7, latest);
    insertFile(QStringLiteral("c"), 0);
    EXPECT_EQ(StorageFiles::sizeOnStorage(QString(), connection), qMakePair((qint64(3) << 33) + 7, Result::Ok));
    const auto last = StorageFiles::lastUploadDateTime(QString(), connection);
    ASSERT_EQ(last.second, Result::Ok);
    ASSERT_FALSE(last.first.isNull());
    EXPECT_EQ(*last.first, latest);
    EXPECT_EQ(last.first->timeSpec(), Qt::UTC);
}

TEST_F(StorageTest, PathPrefixesMatchLikePatternsAndListsPage)
{
    for (const char* path : {"a/b", "a/bc", "a/b/c", "a/x", "ab", "A/B"})
        insertFile(QString::fromLatin1(path));
    DatabaseConnection connection(pool());
    // LIKE is case-insensitive for ASCII in SQLite, and the text keeps its wildcards.
    EXPECT_EQ(paths(StorageFiles::selectPathStartWith(QStringLiteral("a/b"), QString(), connection)),
              (QStringList{"A/B", "a/b", "a/b/c", "a/bc"}));
    EXPECT_EQ(paths(StorageFiles::selectPathStartWith(QStringLiteral("a_"), QString(), connection)),
              (QStringList{"A/B", "a/b", "a/b/c", "a/bc", "a/x", "ab"}));
    EXPECT_TRUE(StorageFiles::selectPathStartWith(QStringLiteral("zz"), QString(), connection).first.isEmpty());

    EXPECT_EQ(StorageFiles::select(QString(), 0, 3, connection).first.size(), 6);
    EXPECT_EQ(StorageFiles::select(QString(), 4, 0, connection).first.size(), 4);
    EXPECT_EQ(StorageFiles::select(QString(), 4, 4, connection).first.size(), 2);
}

TEST_F(StorageTest, RemovingAStorageFileCascadesOnlyWhereForeignKeysAreEnforced)
{
    const StorageFiles toc = insertFile(QStringLiteral("toc"));
    const StorageFiles part = insertFile(QStringLiteral("part"));
    RestorePoints point;
    point.setSequenceNumber(1);
    point.setStartDate(QDateTime::currentDateTimeUtc());
    point.setTocId(toc.id());
    {
        DatabaseConnection connection(pool());
        ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
        ASSERT_EQ(Parts(part.id(), point.id()).insert(QString(), connection), Result::Ok);
        ASSERT_EQ(PartsBlocks(1, part.id(), QByteArray("addr")).insert(QString(), connection), Result::Ok);

        // The library never switches enforcement on: only the one row goes.
        ASSERT_EQ(part.remove(QString(), connection), Result::Ok);
        EXPECT_TRUE(StorageFiles::select(part.id(), QString(), connection).first.isNull());
        EXPECT_EQ(Parts::select(point.id(), QString(), connection).first.size(), 1);
        EXPECT_FALSE(PartsBlocks::select(1, QString(), connection).first.isNull());
    }

    // A caller that enforces foreign keys gets the declared cascades.
    QSharedPointer<AttachDatabase> other = AttachDatabase::attach(path(), QUuid::createUuid());
    ASSERT_FALSE(other.isNull());
    DatabaseConnection enforcing(other->attachedDatabasePool());
    ASSERT_TRUE(run(enforcing, QStringLiteral("PRAGMA foreign_keys = ON")));
    ASSERT_TRUE(run(enforcing, QStringLiteral("delete from parts")));
    ASSERT_TRUE(run(enforcing, QStringLiteral("delete from part_blocks")));
    StorageFiles second = insertFile(QStringLiteral("part-2"));
    ASSERT_EQ(Parts(second.id(), point.id()).insert(QString(), enforcing), Result::Ok);
    ASSERT_EQ(PartsBlocks(2, second.id(), QByteArray("addr-2")).insert(QString(), enforcing), Result::Ok);

    ASSERT_EQ(second.remove(QString(), enforcing), Result::Ok);
    EXPECT_TRUE(Parts::select(point.id(), QString(), enforcing).first.isEmpty());
    EXPECT_TRUE(PartsBlocks::select(2, QString(), enforcing).first.isNull());
    ASSERT_EQ(toc.remove(QString(), enforcing), Result::Ok);
    EXPECT_EQ(RestorePoints::selectById(point.id(), QString(), enforcing).first->tocId(), 0u);
    EXPECT_TRUE(scalar(enforcing, QStringLiteral("select toc_id from restore_points")).isNull());
}

TEST_F(StorageTest, PartsIgnoreRepeatsAndBlockAddressesAreUnique)
{
    DatabaseConnection connection(pool());
    const Parts part(5, 1);
    EXPECT_EQ(part.insert(QString(), connection), Result::Ok);
    EXPECT_EQ(part.insert(QString(), connection), Result::Ok);
    // The part id is unique even under another restore point.
    EXPECT_EQ(Parts(5, 2).insert(QString(), connection), Result::Ok);
    ASSERT_EQ(Parts(6, 1).insert(QString(), connection), Result::Ok);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from parts")).toInt(), 2);
    const ListResult<Parts> parts = Parts::select(1, QString(), connection);
    ASSERT_EQ(parts.first.size(), 2);
    EXPECT_EQ(parts.first.at(0)->restorePointId(), 1u);
    EXPECT_TRUE(Parts::select(2, QString(), connection).first.isEmpty());

    const QByteArray address = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    ASSERT_EQ(PartsBlocks(10, 5, address).insert(QString(), connection), Result::Ok);
    EXPECT_EQ(PartsBlocks(11, 6, address).insert(QString(), connection), Result::Constraint);
    EXPECT_EQ(PartsBlocks(10, 6, QByteArray("other")).insert(QString(), connection), Result::Constraint);
    EXPECT_EQ(PartsBlocks(12, 6, QByteArray()).insert(QString(), connection), Result::Constraint);
    const QSharedPointer<PartsBlocks> kept = PartsBlocks::select(10, QString(), connection).first;
    ASSERT_FALSE(kept.isNull());
    EXPECT_EQ(kept->partId(), 5u);
    EXPECT_EQ(kept->address(), address);
    EXPECT_EQ(PartsBlocks::select(11, QString(), connection), RowResult<PartsBlocks>({}, Result::Ok));
}

TEST_F(StorageTest, BlockIdsCountFromOneAndAClosedConnectionTakesNone)
{
    DatabaseConnection connection(pool());
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 1);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 2);
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    EXPECT_EQ(BlockIdGenerator::next(QString(), closed), -1);
    EXPECT_EQ(BlockIdGenerator::next(QStringLiteral("x'"), connection), -1);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 3);

    // Inside a transaction of the caller the ids still count on, and commit with it.
    QSqlDatabase database = connection.database();
    ASSERT_TRUE(database.transaction());
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 4);
    ASSERT_TRUE(database.commit());
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 5);

    ASSERT_TRUE(run(connection, QStringLiteral("drop table block_id_generator")));
    ASSERT_TRUE(run(connection, QStringLiteral("delete from sqlite_sequence")));
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), -1);  // no counter row
}

TEST_F(StorageTest, BlockIdsFromConcurrentConnectionsNeverRepeat)
{
    constexpr int Threads = 4;
    constexpr int PerThread = 200;
    QMutex mutex;
    QList<qint64> ids;
    std::vector<std::unique_ptr<QThread>> threads;
    QPointer<DatabasePool>& shared = pool();
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back(QThread::create([&] {
            DatabaseConnection connection(shared);
            QList<qint64> mine;
            for (int i = 0; i < PerThread; ++i)
                mine << BlockIdGenerator::next(QString(), connection);
            QMutexLocker lock(&mutex);
            ids << mine;
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        thread->wait();

    ASSERT_EQ(ids.size(), Threads * PerThread);
    std::sort(ids.begin(), ids.end());
    for (int i = 0; i < ids.size(); ++i)
        ASSERT_EQ(ids.at(i), i + 1) << "ids handed out twice or lost";
}
