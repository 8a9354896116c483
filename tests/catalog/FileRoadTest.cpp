#include "FileCatalogSupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>

#include <QJsonObject>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using namespace filecatalog;

class FileRoadTest : public rpxtest::RepositoryTest
{
};

// One file from its first backup to the deletion of its last version.
TEST_P(FileRoadTest, BackupRestoreLookupAndRemoval)
{
    TestConnection connection(pool());
    const QJsonObject account{{"AccountType", "AmazonS3"}, {"AccessKey", "AKIAROAD"}, {"ContainerName", "bucket"},
                              {"BackupPrefix", "laptop"}};
    const auto destination = Destination::selectOrInsert(account, connection);
    ASSERT_FALSE(destination.isNull());
    ASSERT_NE(destination->id(), 0u);
    QJsonObject otherAccount = account;
    otherAccount.insert("ContainerName", "other");
    const auto other = Destination::selectOrInsert(otherAccount, connection);
    ASSERT_FALSE(other.isNull());
    ASSERT_NE(other->id(), destination->id());

    const QString path = QString::fromUtf8("/home/user/Docs/Übersicht 2024.pdf");
    auto backup = [&](unsigned long long destinationId, const QDateTime& modified, const QByteArray& object) {
        CloudFileVersion version;
        version.setPath(path);
        version.setDateModified(modified);
        version.setDateBackup(modified.addSecs(60));
        version.setSize(1000);
        version.setOriginalSize(4000);
        version.setAttribute(0);
        version.setIsCompressed(1);
        version.setCloudPath(object);
        version.setUploadId("upload-" + object);
        EXPECT_TRUE(version.insert(destinationId, connection));
        return version;
    };
    CloudFileVersion first = backup(destination->id(), utc(2024, 4, 1, 9), "obj/1");
    CloudFileVersion second = backup(destination->id(), utc(2024, 4, 2, 9), "obj/2");
    backup(other->id(), utc(2024, 4, 3, 9), "elsewhere/1");
    CloudFileVersion sibling;
    sibling.setPath("/home/user/notes.txt");
    sibling.setDateModified(utc(2024, 4, 1));
    ASSERT_TRUE(sibling.insert(destination->id(), connection));
    ASSERT_EQ(first.fileId(), second.fileId());

    // Restore without any history: the file by its local path, the version by point in time.
    const auto file = CloudFile::select_(destination->id(), path, connection);
    ASSERT_FALSE(file.isNull());
    EXPECT_EQ(file->id(), first.fileId());
    EXPECT_EQ(file->name(), QString::fromUtf8("übersicht 2024.pdf"));
    EXPECT_EQ(CloudFolder::selectPath(file->parentId(), connection), "/home/user/Docs/");
    const auto restored = CloudFileVersion::selectPointInTime(file->id(), utc(2024, 4, 1, 23), connection);
    ASSERT_FALSE(restored.isNull());
    EXPECT_EQ(restored->id(), first.id());
    EXPECT_EQ(restored->cloudPath(), QByteArray("obj/1"));
    EXPECT_EQ(restored->uploadId(), QByteArray("upload-obj/1"));
    EXPECT_EQ(CloudFileVersion::selectPointInTime(file->id(), utc(2024, 5, 1), connection)->id(), second.id());
    EXPECT_TRUE(CloudFileVersion::selectPointInTime(file->id(), utc(2024, 3, 31), connection).isNull());

    // The last version takes the file and the folder it leaves empty; the other destination is untouched.
    ASSERT_TRUE(first.delete_(true, connection));
    EXPECT_FALSE(CloudFile::select_(destination->id(), path, connection).isNull());
    ASSERT_TRUE(second.delete_(true, connection));
    EXPECT_TRUE(CloudFile::select_(destination->id(), path, connection).isNull());
    EXPECT_TRUE(CloudFolder::select(destination->id(), "/home/user/Docs", connection).isNull());
    EXPECT_FALSE(CloudFolder::select(destination->id(), "/home/user", connection).isNull());
    EXPECT_FALSE(CloudFile::select_(other->id(), path, connection).isNull());
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 2);
}

RPX_ON_BOTH_ENGINES(FileRoadTest);
