#include "ImageSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

using namespace image;
using filecatalog::run;
using rpxtest::LogCapture;
using PlatformType = DiskImage::PlatformType;
using DiskImageTest = rpxtest::RepositoryTest;
RPX_ON_BOTH_ENGINES(DiskImageTest);

TEST_P(DiskImageTest, InsertedFieldsReadBack)
{
    DatabaseConnection connection(pool());
    const quint64 dest = addDestination(connection, "a");
    RPX::Info::DiskImageMetaData metaData;
    metaData.setCreateDate(utc(2024, 3, 1, 12, 30, 15));
    metaData.setCompressed(true);
    metaData.setOriginalSize(Q_UINT64_C(5000000000000));
    metaData.setCompressedSize(Q_UINT64_C(4000000000000));
    metaData.setHostName("pc-1");
    metaData.setPlatformType(PlatformType(2));
    const auto created = DiskImage::create(metaData);
    EXPECT_FALSE(created->insert(connection));  // no destination yet
    created->setDestinationId(dest);
    created->setBackupFolderName("images/pc-1");
    created->setIsBlockLevel(true);
    ASSERT_TRUE(created->insert(connection));

    const auto read = DiskImage::selectLatestVersion(dest, connection);
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(std::make_tuple(read->id(), read->size(), read->originalSize(), read->dateCreate()),
              std::make_tuple(created->id(), Q_UINT64_C(4000000000000), Q_UINT64_C(5000000000000),
                              utc(2024, 3, 1, 12, 30, 15)));
    EXPECT_TRUE(read->isCompressed() && !read->isEncrypted() && read->isBlockLevel() && !read->needDecrypt());
    EXPECT_EQ(QStringList({read->backupFolderName(), read->displayName(), read->xml()}),
              QStringList({"images/pc-1", "pc-1", metaData.toXml()}));
    EXPECT_EQ(read->platformType(), PlatformType(2));

    // Only the codes 1 and 2 are kept; anything else reads back as unknown.
    created->setDateCreate(utc(2024, 4, 1));
    created->setPlatformType(PlatformType(3));
    created->setNeedDecrypt(true);
    ASSERT_TRUE(created->insert(connection));
    EXPECT_EQ(int(DiskImage::selectLatestVersion(dest, connection)->platformType()), 0);
    EXPECT_TRUE(DiskImage::selectLatestVersion(dest, connection)->needDecrypt());
}

TEST_P(DiskImageTest, SelectsByMomentAndByPage)
{
    DatabaseConnection connection(pool());
    const quint64 dest = addDestination(connection, "a");
    const quint64 other = addDestination(connection, "b");
    // Inserted out of order: the selects order by creation date, not by id.
    for (int day : {3, 1, 4, 2})
        ASSERT_FALSE(addImage(connection, dest, utc(2024, 1, day, 10), day % 2 == 0).isNull());
    ASSERT_FALSE(addImage(connection, dest, utc(2024, 1, 3, 12), false, true).isNull());
    ASSERT_FALSE(addImage(connection, other, utc(2025, 1, 1), false).isNull());

    EXPECT_EQ(DiskImage::selectLatestVersion(dest, connection)->dateCreate(), utc(2024, 1, 4, 10));
    EXPECT_EQ(DiskImage::select(dest, utc(2024, 1, 3, 10), connection)->dateCreate(), utc(2024, 1, 3, 10));
    // The image that needs decrypting is an image of the destination like any other here.
    EXPECT_EQ(DiskImage::select(dest, utc(2024, 1, 4, 9), connection)->dateCreate(), utc(2024, 1, 3, 12));
    EXPECT_TRUE(DiskImage::select(dest, utc(2024, 1, 1, 9, 59, 59), connection).isNull());

    const QList<QDateTime> all = {utc(2024, 1, 1, 10), utc(2024, 1, 2, 10), utc(2024, 1, 3, 10), utc(2024, 1, 3, 12),
                                  utc(2024, 1, 4, 10)};
    EXPECT_EQ(each(DiskImage::select(dest, 0, 0, false, connection), &DiskImage::dateCreate), all);
    EXPECT_EQ(each(DiskImage::select(dest, 2, 2, false, connection), &DiskImage::dateCreate), all.mid(2, 2));
    // The readable list leaves out the image that needs decrypting.
    EXPECT_EQ(each(DiskImage::select(dest, 3, 1, true, connection), &DiskImage::dateCreate),
              QList<QDateTime>({all[1], all[2], all[4]}));

    EXPECT_TRUE(DiskImage::hasData(dest, connection) && DiskImage::hasEncryptedData(dest, connection));
    EXPECT_FALSE(DiskImage::hasEncryptedData(other, connection));
    const quint64 locked = addDestination(connection, "locked");
    ASSERT_FALSE(addImage(connection, locked, utc(2024, 1, 1), false, true).isNull());
    EXPECT_FALSE(DiskImage::hasData(locked, connection));
}

TEST_P(DiskImageTest, VersionRowsFollowTheirImage)
{
    DatabaseConnection connection(pool());
    const quint64 dest = addDestination(connection, "a");
    const auto first = addImage(connection, dest, utc(2024, 1, 1), false);
    const auto second = addImage(connection, dest, utc(2024, 1, 2), true);
    ASSERT_FALSE(first.isNull() || second.isNull());
    const quint64 v1 = addVersion(connection, dest, "/RPX_DiskImage/disk0", utc(2024, 1, 1), 6)->id();
    const quint64 v2 = addVersion(connection, dest, "/RPX_DiskImage/disk1", utc(2024, 1, 1), 6)->id();
    const quint64 v3 = addVersion(connection, dest, "/RPX_DiskImage/disk0", utc(2024, 1, 2), 5)->id();
    ASSERT_TRUE(link(connection, first->id(), v1) && link(connection, first->id(), v2));
    ASSERT_TRUE(link(connection, second->id(), v1) && link(connection, second->id(), v3));

    const auto versionIds = [&](quint64 imageId) {
        auto ids = each(DiskImageVersions::select(imageId, connection), &DiskImageVersions::versionId);
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    // Every image that referred to v1 now refers to v3; a zero id changes nothing.
    EXPECT_TRUE(DiskImageVersions::updateVersionId(v1, v3, connection));
    EXPECT_FALSE(DiskImageVersions::updateVersionId(v3, 0, connection));
    EXPECT_FALSE(DiskImageVersions::updateVersionId(0, v2, connection));
    EXPECT_EQ(versionIds(first->id()), QList<quint64>({v2, v3}));
    EXPECT_EQ(versionIds(second->id()), QList<quint64>({v3, v3}));

    ASSERT_TRUE(first->delete_(connection));
    EXPECT_TRUE(DiskImage::select(dest, utc(2024, 1, 1, 12), connection).isNull());
    EXPECT_TRUE(versionIds(first->id()).isEmpty());
    EXPECT_EQ(versionIds(second->id()), QList<quint64>({v3, v3}));
}

TEST_P(DiskImageTest, RefusalsRunNoStatement)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    DatabaseConnection connection(pool());
    const quint64 dest = addDestination(connection, "a");
    const auto image = addImage(connection, dest, utc(2024, 1, 1), false);
    ASSERT_FALSE(image.isNull());
    // Any statement that runs now fails and is logged.
    ASSERT_TRUE(run(connection, "drop table diskimage_versions"));
    ASSERT_TRUE(run(connection, "drop table diskimage"));
    LogCapture log;
    DiskImageVersions half;
    half.setDiskImageId(image->id());
    EXPECT_FALSE(DiskImage().delete_(connection) || half.insert(connection) || DiskImage::hasData(0, connection));
    EXPECT_TRUE(DiskImage::select(0, QDateTime(), connection).isNull());
    EXPECT_TRUE(DiskImage::select(0, 0, 0, false, connection).isEmpty());
    EXPECT_TRUE(DiskImageVersions::select(0, connection).isEmpty());
    EXPECT_FALSE(image->insert(closed) || image->delete_(closed) || DiskImage::hasData(dest, closed));
    EXPECT_TRUE(DiskImage::select(dest, 0, 0, true, closed).isEmpty());
    EXPECT_FALSE(DiskImageVersions::updateVersionId(1, 2, closed));
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();

    // The same calls with good input do reach the database, and fail there.
    EXPECT_FALSE(image->delete_(connection) || DiskImage::hasData(dest, connection));
    EXPECT_FALSE(log.texts().isEmpty());
}
