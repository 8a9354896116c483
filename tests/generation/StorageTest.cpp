#include "GenerationFixture.h"

#include <rpxRepository/generation/BlockIdGenerator.h>
#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/PartsBlocks.h>
#include <rpxRepository/generation/StorageFiles.h>

#include <QMutex>
#include <QThread>
#include <memory>
#include <tuple>
#include <vector>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::found;
using gentest::run;
using gentest::scalar;

using StorageTest = gentest::GenerationTest;

TEST_F(StorageTest, StorageFilesAreWrittenUpdatedAndFoundByPathAndId)
{
    DatabaseConnection connection(pool());
    StorageFiles file;
    file.setPath("gen/part");
    file.setCloudId("cid");
    file.setUploadId("uid");
    file.setSize(qint64(1) << 40);
    file.setBrokenType(KTL::Archive::BrokenType::ToPurgeRemoved);
    file.setLastModified(QDateTime(QDate(2024, 6, 1), QTime(12, 0, 0, 500), Qt::UTC));
    ASSERT_EQ(file.insert(QString(), connection), Result::Ok);
    ASSERT_NE(file.id(), 0u);

    const auto fields = [](const StorageFiles& f) {
        return gentest::texts(f.id(), f.path(), f.cloudId(), f.uploadId(), f.size(), int(f.brokenType()),
                              f.lastModified());
    };
    EXPECT_EQ(found(StorageFiles::select("gen/part", QString(), connection), fields), fields(file));

    file.setPath("gen/renamed");
    file.setBrokenType(KTL::Archive::BrokenType::NotBroken);
    ASSERT_EQ(file.update(QString(), connection), Result::Ok);
    EXPECT_EQ(found(StorageFiles::select(file.id(), QString(), connection), fields), fields(file));
    EXPECT_EQ(StorageFiles::select("gen/part", QString(), connection), RowResult<StorageFiles>({}, Result::Ok));
    EXPECT_EQ(StorageFiles::select(QString(), QString(), connection), RowResult<StorageFiles>({}, Result::Error));
    EXPECT_EQ(StorageFiles::select(quint64(0), QString(), connection), RowResult<StorageFiles>({}, Result::Error));
}

TEST_F(StorageTest, SizesLastUploadAndPathPrefixesSpanTheTable)
{
    DatabaseConnection connection(pool());
    EXPECT_EQ(StorageFiles::sizeOnStorage(QString(), connection), qMakePair(qint64(0), Result::Ok));
    const auto emptyLast = StorageFiles::lastUploadDateTime(QString(), connection);
    EXPECT_EQ(emptyLast.second, Result::Ok);
    ASSERT_FALSE(emptyLast.first.isNull());  // an aggregate always returns its row
    EXPECT_FALSE(emptyLast.first->isValid());

    const QDateTime latest(QDate(2024, 7, 2), QTime(1, 2, 3), Qt::UTC);
    const QList<std::tuple<QString, qint64, QDateTime>> files = {
        {"a/b", qint64(3) << 33, latest.addDays(-1)}, {"a/bc", 7, latest}, {"a/b/c", 0, {}}, {"a/x", 0, {}}};
    for (const auto& [path, size, modified] : files) {
        StorageFiles file;
        file.setPath(path);
        file.setSize(size);
        file.setLastModified(modified);
        ASSERT_EQ(file.insert(QString(), connection), Result::Ok);
    }
    EXPECT_EQ(StorageFiles::sizeOnStorage(QString(), connection), qMakePair((qint64(3) << 33) + 7, Result::Ok));
    const auto last = StorageFiles::lastUploadDateTime(QString(), connection);
    ASSERT_EQ(last.second, Result::Ok);
    ASSERT_FALSE(last.first.isNull());
    EXPECT_EQ(*last.first, latest);
    EXPECT_EQ(last.first->timeSpec(), Qt::UTC);

    QStringList startingWith;
    for (const auto& file : StorageFiles::selectPathStartWith("a/b", QString(), connection).first)
        startingWith << file->path();
    startingWith.sort();
    EXPECT_EQ(startingWith, (QStringList{"a/b", "a/b/c", "a/bc"}));
    EXPECT_EQ(StorageFiles::select(QString(), 0, 3, connection).first.size(), 4);
    EXPECT_EQ(StorageFiles::select(QString(), 3, 2, connection).first.size(), 2);
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
    EXPECT_EQ(scalar(connection, "select count(*) from parts").toInt(), 2);
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
    EXPECT_EQ(gentest::texts(kept->partId(), kept->address().toHex()), gentest::texts(5, address.toHex()));
}

TEST_F(StorageTest, BlockIdsCountFromOneAlsoInACallersTransaction)
{
    DatabaseConnection connection(pool());
    // Inside a transaction of the caller the ids count from one too, and commit with it; counting on
    // outside one is checked by the concurrent test.
    QSqlDatabase database = connection.database();
    ASSERT_TRUE(database.transaction());
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 1);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 2);
    ASSERT_TRUE(database.commit());
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 3);

    ASSERT_TRUE(run(connection, "drop table block_id_generator"));
    ASSERT_TRUE(run(connection, "delete from sqlite_sequence"));
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
