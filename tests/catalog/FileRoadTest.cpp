#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>

#include <QJsonObject>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using namespace filecatalog;

struct FileRoadTest : rpxtest::RepositoryTest {};

// One file from its first backup to the deletion of its last version.
TEST_P(FileRoadTest, BackupRestoreLookupAndRemoval)
{
    TestConnection connection(pool());
    const QJsonObject account{{"AccountType", "AmazonS3"}, {"AccessKey", "AKIAROAD"}, {"ContainerName", "bucket"},
                              {"BackupPrefix", "laptop"}};
    const auto destination = Destination::selectOrInsert(account, connection);
    QJsonObject otherAccount = account;
    otherAccount.insert("ContainerName", "other");
    const auto other = Destination::selectOrInsert(otherAccount, connection);
    ASSERT_TRUE(destination && other);
    ASSERT_NE(other->id(), destination->id());

    const QString path = QString::fromUtf8("/home/user/Docs/Übersicht 2024.pdf");
    auto backup = [&](unsigned long long destinationId, const QDateTime& modified, const QByteArray& object,
                      const QString& file) {
        CloudFileVersion version;
        version.setPath(file);
        version.setDateModified(modified);
        version.setCloudPath(object);
        version.setUploadId("upload-" + object);
        EXPECT_TRUE(version.insert(destinationId, connection));
        return version;
    };
    CloudFileVersion first = backup(destination->id(), utc(2024, 4, 1, 9), "obj/1", path);
    CloudFileVersion second = backup(destination->id(), utc(2024, 4, 2, 9), "obj/2", path);
    backup(other->id(), utc(2024, 4, 3, 9), "elsewhere/1", path);
    backup(destination->id(), utc(2024, 4, 1), "obj/3", "/home/user/notes.txt");

    // Restore without any history: the file by its local path, the version by point in time.
    const auto file = CloudFile::select_(destination->id(), path, connection);
    ASSERT_FALSE(file.isNull());
    EXPECT_EQ(file->id(), first.fileId());
    EXPECT_EQ(file->name(), QString::fromUtf8("übersicht 2024.pdf"));
    EXPECT_EQ(CloudFolder::selectPath(file->parentId(), connection), "/home/user/Docs/");
    const auto restored = CloudFileVersion::selectPointInTime(file->id(), utc(2024, 4, 1, 23), connection);
    ASSERT_FALSE(restored.isNull());
    EXPECT_EQ(restored->id(), first.id());
    EXPECT_EQ(restored->cloudPath() + ' ' + restored->uploadId(), "obj/1 upload-obj/1");
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

// Bad input on any step of the road is refused before a statement runs: without the tables any
// statement would fail and be logged. Rows without a destination, folder, path or time would be
// written for nobody to find, and id 0 would reach the top-level rows.
TEST_P(FileRoadTest, BadInputIsRefusedBeforeAnyStatement)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    TestConnection connection(pool());
    for (const char* table : {"destination", "cloud_folders", "cloud_files", "cloud_file_versions"})
        ASSERT_TRUE(run(connection, QStringLiteral("drop table %1%2").arg(table, postgres() ? " cascade" : "")));
    rpxtest::LogCapture log;

    Destination unsaved;
    EXPECT_EQ(unsaved.spaceUsed(connection), 0);
    EXPECT_FALSE(Destination::selectOrInsert({}, connection));
    EXPECT_FALSE(Destination::selectOrInsert({{"AccountType", "AmazonS3"}}, closed));

    EXPECT_FALSE(CloudFolder::selectOrInsert(0, "/a", connection));
    EXPECT_FALSE(CloudFolder::isEmpty(0, connection));
    EXPECT_FALSE(CloudFolder().delete_(true, connection));
    EXPECT_EQ(CloudFolder::selectPath(0, connection), "/");

    CloudFile file;
    EXPECT_FALSE(file.selectOrInsert(connection));
    EXPECT_FALSE(file.select(0, connection));
    EXPECT_TRUE(CloudFile::selectFolder(0, 0, 0, connection).isEmpty());
    file.setLocalPath("/r/f.txt");
    file.setDestinationId(3);
    EXPECT_FALSE(file.insert(connection));  // no folder
    file.setParentId(1);
    file.setDestinationId(0);
    EXPECT_FALSE(file.insert(connection));
    EXPECT_FALSE(file.update(closed));

    CloudFileVersion version;
    version.setDateModified(utc(2024, 1, 1));
    EXPECT_FALSE(version.insert(3, connection));  // no path
    EXPECT_FALSE(version.update(connection));     // no file
    EXPECT_FALSE(version.delete_(true, connection));
    version.setPath("/r/f");
    version.setFileId(1);
    version.setDateModified(QDateTime());
    EXPECT_FALSE(version.insert(3, connection));
    EXPECT_FALSE(version.update(connection));
    EXPECT_TRUE(CloudFileVersion::selectPointInTime(1, QDateTime(), connection).isNull());
    EXPECT_TRUE(CloudFileVersion::select_(0, connection).isEmpty());
    EXPECT_FALSE(CloudFileVersion::isEmpty(0, connection));
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
}

RPX_ON_BOTH_ENGINES(FileRoadTest);
