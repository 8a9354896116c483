#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>

#include <QSqlRecord>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using namespace filecatalog;
using rpxtest::LogCapture;

namespace {

constexpr unsigned long long Dest = 3;

QSharedPointer<CloudFile> registerFile(DatabaseConnection& connection, const QString& localPath,
                                       unsigned long long destination = Dest, bool broken = false)
{
    QSharedPointer<CloudFile> file(new CloudFile());
    file->setDestinationId(destination);
    file->setLocalPath(localPath);
    file->setName(localPath.section('/', -1, -1));
    file->setIsBroken(broken);
    if (!file->selectOrInsert(connection))
        return {};
    return file;
}

// A path of `length` characters in components of up to 200 letters that do not compress.
QString longPath(int length)
{
    QString path;
    quint32 seed = 12345;
    while (path.size() < length) {
        path += path.size() % 201 == 0 ? QLatin1Char('/') : QLatin1Char(char('a' + (seed >> 16) % 26));
        seed = seed * 1103515245u + 12345u;
    }
    return path;
}

QStringList displayNames(const QList<QSharedPointer<CloudFile>>& files)
{
    QStringList names;
    for (const auto& file : files)
        names << file->displayName();
    return names;
}

}  // namespace

class CloudFileTest : public rpxtest::RepositoryTest
{
};

TEST_P(CloudFileTest, RegisteringBuildsTheFolderChainAndEncodesDates)
{
    TestConnection connection(pool());
    CloudFile file;
    file.setDestinationId(Dest);
    file.setLocalPath("/home/u/a.txt");
    file.setName("A.Txt");
    file.setDateModified(utc(2024, 1, 31, 23, 59, 59));
    file.setSize(1ull << 40);
    file.setOriginalSize((1ull << 41) + 1);
    ASSERT_TRUE(file.selectOrInsert(connection));
    ASSERT_NE(file.id(), 0u);

    const auto folder = CloudFolder::select(Dest, "/home/u", connection);
    ASSERT_FALSE(folder.isNull());
    EXPECT_EQ(file.parentId(), folder->id());
    EXPECT_EQ(CloudFolder::selectPath(file.parentId(), connection), "/home/u/");
    EXPECT_EQ(rows(connection, "cloud_folders"), 3);  // "", home, u

    QSqlQuery raw = connection.query();
    ASSERT_TRUE(raw.exec("select file_name, display_name, date_modified_utc, date_deleted_utc from cloud_files"));
    ASSERT_TRUE(raw.next());
    EXPECT_EQ(raw.value(0).toString(), "a.txt");
    EXPECT_EQ(raw.value(1).toString(), "A.Txt");
    EXPECT_EQ(raw.value(2).toString(), "20240131235959");
    EXPECT_EQ(raw.value(3).toString(), "99999999999999");

    const auto loaded = CloudFile::select_(Dest, "/home/u/a.txt", connection);
    ASSERT_FALSE(loaded.isNull());
    EXPECT_EQ(loaded->dateModified(), utc(2024, 1, 31, 23, 59, 59));
    EXPECT_EQ(loaded->dateModified().timeSpec(), Qt::UTC);
    EXPECT_FALSE(loaded->dateDeleted().isValid());
    EXPECT_EQ(loaded->size(), 1ull << 40);
    EXPECT_EQ(loaded->originalSize(), (1ull << 41) + 1);
    EXPECT_EQ(loaded->name(), "a.txt");

    // A registered file is loaded, not written again.
    CloudFile again;
    again.setDestinationId(Dest);
    again.setLocalPath("/home/u/a.txt");
    again.setSize(5);
    ASSERT_TRUE(again.selectOrInsert(connection));
    EXPECT_EQ(again.id(), file.id());
    EXPECT_EQ(again.size(), 1ull << 40);
    EXPECT_EQ(rows(connection, "cloud_files"), 1);

    // The same path under another destination is another file; the same one twice is refused.
    EXPECT_FALSE(registerFile(connection, "/home/u/a.txt", Dest + 1).isNull());
    CloudFile duplicate;
    duplicate.setDestinationId(Dest);
    duplicate.setLocalPath("/home/u/a.txt");
    duplicate.setParentId(file.parentId());
    EXPECT_FALSE(duplicate.insert(connection));
}

TEST_P(CloudFileTest, UpdateWritesEveryFieldAndKeepsDriveAndFlags)
{
    TestConnection connection(pool());
    auto file = registerFile(connection, "/d/f.bin");
    ASSERT_FALSE(file.isNull());
    ASSERT_TRUE(run(connection, QString("update cloud_files set drive_id = 200, flags = 65535 where id = %1").arg(file->id())));
    ASSERT_TRUE(file->select(file->id(), connection));

    file->setCloudPath(QByteArray("obj/\xc3\xa9t\xc3\xa9\0tail", 14));
    file->setDateDeleted(utc(2023, 12, 1, 8, 0, 1));
    file->setIsCompressed(1);
    file->setIsEncrypted(1);
    file->setIsSimple(1);
    file->setIsBroken(true);
    ASSERT_TRUE(file->update(connection));

    CloudFile loaded;
    ASSERT_TRUE(loaded.select(file->id(), connection));
    EXPECT_EQ(loaded.cloudPath(), QByteArray("obj/\xc3\xa9t\xc3\xa9"));  // cut at the zero byte
    EXPECT_EQ(loaded.dateDeleted(), utc(2023, 12, 1, 8, 0, 1));
    EXPECT_EQ(loaded.dateDeleted().timeSpec(), Qt::UTC);
    EXPECT_EQ(loaded.isCompressed(), 1);
    EXPECT_EQ(loaded.isEncrypted(), 1);
    EXPECT_EQ(loaded.isSimple(), 1);
    EXPECT_TRUE(loaded.isBroken());
    EXPECT_EQ(scalar(connection, "select date_deleted_utc from cloud_files").toString(), "20231201080001");
    EXPECT_EQ(scalar(connection, "select drive_id from cloud_files").toInt(), 200);
    EXPECT_EQ(scalar(connection, "select flags from cloud_files").toInt(), 65535);

    // Back to not deleted; an invalid modification time is written as 0.
    loaded.setDateDeleted(QDateTime());
    loaded.setDateModified(QDateTime());
    ASSERT_TRUE(loaded.update(connection));
    EXPECT_EQ(scalar(connection, "select date_deleted_utc from cloud_files").toString(), "99999999999999");
    EXPECT_EQ(scalar(connection, "select date_modified_utc from cloud_files").toLongLong(), 0);
    EXPECT_EQ(scalar(connection, "select flags from cloud_files").toInt(), 65535);
}

TEST_P(CloudFileTest, LocalPathsComeBackExactly)
{
    TestConnection connection(pool());
    const QStringList paths = {
        "/q/it's \"quoted\".txt",
        "/pct/100%_[x]^.txt",
        "/win\\share\\back\\slash.txt",
        QString::fromUtf8("/ünï/日本語/файл 😀.txt"),
        longPath(4096),
        "//double//slash.txt",
        "/trailing/",
        "no-slash.txt",
    };
    for (const QString& path : paths) {
        const auto file = registerFile(connection, path);
        ASSERT_FALSE(file.isNull()) << path.left(60).toStdString();
        const auto loaded = CloudFile::select_(Dest, path, connection);
        ASSERT_FALSE(loaded.isNull()) << path.left(60).toStdString();
        EXPECT_EQ(loaded->localPath(), path);
        EXPECT_EQ(loaded->id(), file->id());
    }
    // The folder path is the local path without its last component; a path without "/" is its own folder.
    EXPECT_EQ(CloudFolder::selectPath(CloudFile::select_(Dest, "//double//slash.txt", connection)->parentId(), connection),
              "/double/");
    EXPECT_EQ(CloudFolder::select(Dest, "//double/", connection)->id(),
              CloudFile::select_(Dest, "//double//slash.txt", connection)->parentId());
    EXPECT_EQ(CloudFolder::select(Dest, "/trailing", connection)->id(),
              CloudFile::select_(Dest, "/trailing/", connection)->parentId());
    EXPECT_EQ(CloudFolder::select(Dest, "no-slash.txt", connection)->id(),
              CloudFile::select_(Dest, "no-slash.txt", connection)->parentId());
    EXPECT_TRUE(CloudFile::select_(Dest, "/Q/it's \"quoted\".txt", connection).isNull());

    // Uniqueness holds for paths too long for a plain index entry.
    CloudFile duplicate = *CloudFile::select_(Dest, longPath(4096), connection);
    EXPECT_FALSE(duplicate.insert(connection));
    EXPECT_EQ(rows(connection, "cloud_files"), paths.size());
}

TEST_P(CloudFileTest, FolderAndDestinationListings)
{
    TestConnection connection(pool());
    for (const char* name : {"c.txt", "a.txt", "d.txt", "b.txt"})
        ASSERT_FALSE(registerFile(connection, QString("/f/") + name, Dest, name[0] == 'b').isNull());
    ASSERT_FALSE(registerFile(connection, "/g/e.txt").isNull());
    ASSERT_FALSE(registerFile(connection, "/f/z.txt", Dest + 1).isNull());
    const unsigned long long folder = CloudFolder::select(Dest, "/f", connection)->id();

    EXPECT_EQ(displayNames(CloudFile::selectFolder(folder, 0, 0, connection)),
              QStringList({"a.txt", "b.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(displayNames(CloudFile::selectFolder(folder, 2, 1, connection)), QStringList({"b.txt", "c.txt"}));
    EXPECT_TRUE(CloudFile::selectFolderUploaded(folder, 0, 0, connection).isEmpty());
    EXPECT_EQ(displayNames(CloudFile::selectFolderUploaded(folder, 10, 0, connection)),
              QStringList({"a.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(displayNames(CloudFile::selectFolderUploaded(folder, 1, 1, connection)), QStringList({"c.txt"}));

    // Paged by destination; the pages together hold each file once.
    QStringList all;
    for (unsigned long long offset = 0; offset < 10; offset += 2) {
        const auto page = CloudFile::select_(Dest, 2, offset, connection);
        EXPECT_LE(page.size(), 2);
        all << displayNames(page);
    }
    all.sort();
    EXPECT_EQ(all, QStringList({"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"}));
}

TEST_P(CloudFileTest, NameSearchTakesWildcardsLiterally)
{
    TestConnection connection(pool());
    for (const char* name : {"50%_off.txt", "50x_off.txt", "50%xoff.txt", "a[1]^b.txt", "a1^b.txt", "Report.TXT"})
        ASSERT_FALSE(registerFile(connection, QString("/s/") + name).isNull());
    ASSERT_FALSE(registerFile(connection, "/s/50%_off.txt", Dest + 1).isNull());

    auto names = [&](const QString& filter, unsigned long long limit = 100, unsigned long long offset = 0) {
        QStringList found = displayNames(CloudFile::selectByName(limit, offset, Dest, filter, connection));
        found.sort();
        return found;
    };
    EXPECT_EQ(names("50%_off"), QStringList({"50%_off.txt"}));
    EXPECT_EQ(names("[1]^"), QStringList({"a[1]^b.txt"}));
    EXPECT_EQ(names("off"), QStringList({"50%_off.txt", "50%xoff.txt", "50x_off.txt"}));
    EXPECT_EQ(names("off", 2, 0).size() + names("off", 2, 2).size(), 3);
    EXPECT_EQ(names("report"), QStringList({"Report.TXT"}));  // names are stored lower-case
    // The filter itself is not lower-cased: the engine's LIKE decides.
    EXPECT_EQ(names("REPORT").size(), postgres() ? 0 : 1);
}

TEST_P(CloudFileTest, DeletingTakesEmptyFoldersAndOptionallyVersions)
{
    TestConnection connection(pool());
    ASSERT_FALSE(registerFile(connection, "/keep.txt").isNull());
    auto first = registerFile(connection, "/x/y/1.txt");
    auto second = registerFile(connection, "/x/y/2.txt");
    ASSERT_FALSE(first.isNull());
    ASSERT_FALSE(second.isNull());
    for (const auto& file : {first, second}) {
        CloudFileVersion version;
        version.setFileId(file->id());
        version.setPath(file->localPath());
        version.setDateModified(utc(2024, 5, 1));
        ASSERT_TRUE(version.insert(Dest, connection));
    }
    EXPECT_EQ(rows(connection, "cloud_folders"), 3);  // "", x, y

    LogCapture log;
    ASSERT_TRUE(first->delete_(false, connection));
    EXPECT_EQ(log.count("SQL::CloudFile: path is not empty, file path: /x/y/1.txt"), 1);
    EXPECT_EQ(rows(connection, "cloud_folders"), 3);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 2);  // without versions they stay behind

    ASSERT_TRUE(second->delete_(true, connection));
    EXPECT_EQ(log.count("SQL::CloudFile: it's last file in folder, remove path for file: /x/y/2.txt"), 1);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 1);
    EXPECT_EQ(rows(connection, "cloud_files"), 1);
    // y and x go; the top-level folder still holds keep.txt.
    EXPECT_EQ(rows(connection, "cloud_folders"), 1);
    EXPECT_TRUE(CloudFolder::select(Dest, "/x", connection).isNull());
}

TEST_P(CloudFileTest, RefusalsRunNoStatement)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    TestConnection connection(pool());
    auto file = registerFile(connection, "/r/f.txt");
    ASSERT_FALSE(file.isNull());
    // Without the table any statement that runs fails and is logged.
    ASSERT_TRUE(run(connection, "drop table cloud_files"));
    LogCapture log;

    for (DatabaseConnection* c : std::initializer_list<DatabaseConnection*>{&closed, &connection}) {
        CloudFile missing;
        EXPECT_FALSE(missing.select(0, *c));
        EXPECT_FALSE(missing.select(0, "/r/f.txt", *c));
        EXPECT_FALSE(missing.select(Dest, "", *c));
        EXPECT_TRUE(CloudFile::select_(0, "/r/f.txt", *c).isNull());
        EXPECT_TRUE(CloudFile::select_(Dest, "", *c).isNull());
        EXPECT_TRUE(CloudFile::select_(0, 10, 0, *c).isEmpty());
        EXPECT_TRUE(CloudFile::selectFolder(0, 0, 0, *c).isEmpty());
        EXPECT_TRUE(CloudFile::selectFolderUploaded(file->parentId(), 0, 0, *c).isEmpty());
        EXPECT_TRUE(CloudFile::selectByName(10, 0, 0, "f", *c).isEmpty());
        EXPECT_FALSE(missing.delete_(true, *c));
        EXPECT_FALSE(missing.selectOrInsert(*c));

        CloudFile noParent = *file;
        noParent.setParentId(0);
        EXPECT_FALSE(noParent.insert(*c));
        CloudFile noDestination = *file;
        noDestination.setDestinationId(0);
        EXPECT_FALSE(noDestination.insert(*c));
        EXPECT_FALSE(noDestination.selectOrInsert(*c));
    }
    EXPECT_FALSE(file->select(file->id(), closed));
    EXPECT_FALSE(file->update(closed));
    EXPECT_FALSE(file->delete_(false, closed));
    EXPECT_TRUE(CloudFile::selectFolder(file->parentId(), 0, 0, closed).isEmpty());
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
}

TEST(CloudFileSchema, DialectsShareTheColumns)
{
    EXPECT_EQ(CloudFile::DateFormat, "yyyyMMddhhmmss");
    const QString sqlite = CloudFile::createTable(DatabaseType::SQLite);
    const QString postgres = CloudFile::createTable(DatabaseType::PostgreSQL);
    EXPECT_TRUE(sqlite.startsWith("CREATE TABLE cloud_files (id integer PRIMARY KEY ASC,destination_id INTEGER,"));
    EXPECT_TRUE(sqlite.endsWith(",UNIQUE (destination_id,local_path));"));
    // PostgreSQL keeps the same columns; only the key and the form of the uniqueness differ.
    const QString columns = sqlite.mid(sqlite.indexOf("destination_id INTEGER"));
    EXPECT_EQ(postgres, "CREATE TABLE cloud_files (id SERIAL PRIMARY KEY," + columns.left(columns.indexOf(",UNIQUE")) +
                            ");");
    EXPECT_TRUE(CloudFile::uniqueIndex(DatabaseType::SQLite).isEmpty());
    EXPECT_TRUE(CloudFile::uniqueIndex(DatabaseType::PostgreSQL).contains("(destination_id, md5(local_path))"));
    EXPECT_TRUE(CloudFile::createTable(DatabaseType(3)).isEmpty());
}

RPX_ON_BOTH_ENGINES(CloudFileTest);
