#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/ExecQuery.h>

using namespace RPX::SQL;
using namespace filecatalog;
using rpxtest::TestConnection;

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
    return file->selectOrInsert(connection) ? file : QSharedPointer<CloudFile>();
}

QVector<CloudFile> filesAt(const QStringList& paths)
{
    QVector<CloudFile> files;
    for (const QString& path : paths) {
        files << CloudFile();
        files.last().setLocalPath(path);
        files.last().setName(path.section('/', -1, -1));
    }
    return files;
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

}  // namespace

struct CloudFileTest : rpxtest::RepositoryTest {};

TEST_P(CloudFileTest, RegisterLoadAndUpdate)
{
    TestConnection connection(pool());
    CloudFile file;
    file.setDestinationId(Dest);
    file.setLocalPath("/home/u/a.txt");
    file.setDateModified(utc(2024, 1, 31, 23, 59, 59));
    file.setSize(1ull << 40);
    ASSERT_TRUE(file.selectOrInsert(connection));
    const QString mine = QString(" from cloud_files where id = %1").arg(file.id());
    EXPECT_EQ(scalar(connection, "select date_modified_utc || ' ' || date_deleted_utc" + mine).toString(),
              "20240131235959 99999999999999");

    // A registered file is loaded, not written again.
    const auto again = registerFile(connection, "/home/u/a.txt");
    ASSERT_FALSE(again.isNull());
    EXPECT_EQ(again->id(), file.id());
    EXPECT_EQ(again->dateModified().toString(Qt::ISODate), "2024-01-31T23:59:59Z");
    EXPECT_FALSE(again->dateDeleted().isValid());
    EXPECT_EQ(again->size(), 1ull << 40);

    // The same path under another destination is another file (a second insert of one is refused
    // below, for a long path).
    EXPECT_FALSE(registerFile(connection, "/home/u/a.txt", Dest + 1).isNull());
    EXPECT_EQ(rows(connection, "cloud_files"), 2);

    // Update writes back every column it read, drive and flags included (the deletion mark is the
    // purge tests'); an invalid modification time is written as 0.
    ASSERT_TRUE(run(connection, QString("update cloud_files set drive_id = 200, flags = 65535 where id = %1").arg(file.id())));
    ASSERT_TRUE(again->select(file.id(), connection));
    again->setCloudPath(QByteArray("obj/\xc3\xa9t\xc3\xa9\0tail", 14));
    again->setDateModified(QDateTime());
    again->setIsCompressed(1);
    again->setIsBroken(true);
    ASSERT_TRUE(again->update(connection));
    CloudFile loaded;
    ASSERT_TRUE(loaded.select(file.id(), connection));
    EXPECT_EQ(loaded.cloudPath(), QByteArray("obj/\xc3\xa9t\xc3\xa9"));  // cut at the zero byte
    EXPECT_EQ(QString("%1%2").arg(loaded.isCompressed()).arg(loaded.isBroken()), "11");
    EXPECT_EQ(scalar(connection, "select drive_id || ' ' || flags || ' ' || date_modified_utc" + mine).toString(),
              "200 65535 0");
}

TEST_P(CloudFileTest, LocalPathsComeBackExactly)
{
    TestConnection connection(pool());
    const QStringList paths = {"/pct/it's 100%_[x]^.txt", QString::fromUtf8("/ünï/日本語/файл 😀.txt"),
                               longPath(4096), "//double//slash.txt", "no-slash.txt"};
    for (const QString& path : paths) {
        ASSERT_FALSE(registerFile(connection, path).isNull()) << path.left(60).toStdString();
        const auto loaded = CloudFile::select_(Dest, path, connection);
        ASSERT_FALSE(loaded.isNull()) << path.left(60).toStdString();
        EXPECT_EQ(loaded->localPath(), path);
    }
    // The folder path is the local path without its last component; a path without "/" is its own folder.
    EXPECT_EQ(CloudFolder::select(Dest, "//double/", connection)->id(),
              CloudFile::select_(Dest, "//double//slash.txt", connection)->parentId());
    EXPECT_EQ(CloudFolder::select(Dest, "no-slash.txt", connection)->id(),
              CloudFile::select_(Dest, "no-slash.txt", connection)->parentId());
    EXPECT_TRUE(CloudFile::select_(Dest, "/PCT/it's 100%_[x]^.txt", connection).isNull());

    // Uniqueness holds for paths too long for a plain index entry.
    CloudFile duplicate = *CloudFile::select_(Dest, longPath(4096), connection);
    EXPECT_FALSE(duplicate.insert(connection));
    EXPECT_EQ(rows(connection, "cloud_files"), paths.size());
}

TEST_P(CloudFileTest, ListingsAndNameSearch)
{
    TestConnection connection(pool());
    for (const char* name : {"c.txt", "a.txt", "d.txt", "b.txt"})
        ASSERT_FALSE(registerFile(connection, QString("/f/") + name, Dest, name[0] == 'b').isNull());
    for (const char* name : {"50%_off.txt", "50x_off.txt", "50%xoff.txt", "a[1]^b.txt", "a1^b.txt", "Report.TXT"})
        ASSERT_FALSE(registerFile(connection, QString("/s/") + name).isNull());
    ASSERT_FALSE(registerFile(connection, "/s/50%_off.txt", Dest + 1).isNull());
    const unsigned long long folder = CloudFolder::select(Dest, "/f", connection)->id();

    EXPECT_EQ(displayNames(CloudFile::selectFolder(folder, 2, 1, connection)), QStringList({"b.txt", "c.txt"}));
    // Broken files are not uploaded.
    EXPECT_EQ(displayNames(CloudFile::selectFolderUploaded(folder, 10, 0, connection)),
              QStringList({"a.txt", "c.txt", "d.txt"}));
    // Paged by destination, each file once.
    QStringList all = displayNames(CloudFile::select_(Dest, 6, 0, connection) + CloudFile::select_(Dest, 6, 6, connection));
    EXPECT_EQ(all.size(), 10);
    EXPECT_EQ(all.removeDuplicates(), 0);

    // The search takes LIKE wildcards literally and stays in its destination.
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
    QList<QSharedPointer<CloudFile>> files;
    for (const char* path : {"/x/y/1.txt", "/x/y/2.txt"}) {
        CloudFileVersion version;
        version.setPath(path);
        version.setDateModified(utc(2024, 5, 1));
        ASSERT_TRUE(version.insert(Dest, connection));
        files << CloudFile::select_(Dest, path, connection);
        ASSERT_FALSE(files.last().isNull());
    }
    EXPECT_EQ(rows(connection, "cloud_folders"), 3);  // "", x, y

    ASSERT_TRUE(files[0]->delete_(false, connection));
    EXPECT_EQ(rows(connection, "cloud_folders"), 3);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 2);  // without versions they stay behind

    ASSERT_TRUE(files[1]->delete_(true, connection));
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 1);
    EXPECT_EQ(rows(connection, "cloud_files"), 1);
    // y and x go; the top-level folder still holds keep.txt.
    EXPECT_EQ(rows(connection, "cloud_folders"), 1);
}

// The set-wise form works outside a transaction too, and a later call neither repeats nor loses what
// an earlier one registered.
TEST_P(CloudFileTest, SetWiseRegistrationStandsAlone)
{
    TestConnection connection(pool());
    QVector<CloudFile> first = filesAt({"/d/a.txt", "/d/e/b'%_.txt", QString::fromUtf8("/d/\xc3\xa9/c.txt")});
    ASSERT_EQ(CloudFile::selectOrInsert(Dest, first, connection), Result::Ok);
    QVector<CloudFile> second = filesAt({"/d/e/b'%_.txt", "/d/x.txt"});
    ASSERT_EQ(CloudFile::selectOrInsert(Dest, second, connection), Result::Ok);
    EXPECT_EQ(second.at(0).id(), first.at(1).id());
    EXPECT_EQ(rows(connection, "cloud_files"), 4);
    for (const CloudFile& file : first + second) {
        const auto stored = CloudFile::select_(Dest, file.localPath(), connection);
        ASSERT_FALSE(stored.isNull()) << file.localPath().toStdString();
        EXPECT_EQ(stored->id(), file.id());
        EXPECT_EQ(CloudFolder::selectPath(stored->parentId(), connection), file.localPath().section('/', 0, -2) + '/');
    }

    // A file row that outlived its folder is still found, though its folder is created anew.
    ASSERT_TRUE(run(connection, "delete from cloud_folders where name = '\xc3\xa9'"));
    QVector<CloudFile> third = filesAt({QString::fromUtf8("/d/\xc3\xa9/c.txt"), QString::fromUtf8("/d/\xc3\xa9/n.txt")});
    ASSERT_EQ(CloudFile::selectOrInsert(Dest, third, connection), Result::Ok);
    EXPECT_EQ(third.at(0).id(), first.at(2).id());
    EXPECT_NE(third.at(1).id(), 0u);
    EXPECT_EQ(rows(connection, "cloud_files"), 5);
}

// A path that another session registers after the set's lookup, before its insert, is taken as that
// session left it; the others of the set go in beside it, and nothing is reported as failed.
TEST_P(CloudFileTest, SetWiseRegistrationMeetsAPathRegisteredMeanwhile)
{
    if (!postgres())
        GTEST_SKIP() << "one writer at a time: no other session can register in between";
    {
        DatabaseConnection setup(pool());  // the folder, committed, so that the other session does not wait for it
        ASSERT_TRUE(registerFile(setup, "/m/x.txt"));
    }
    TestConnection connection(pool());
    QVector<CloudFile> files = filesAt({"/m/a.txt", "/m/b.txt", "/m/c.txt"});
    unsigned long long otherId = 0;
    bool registering = false;
    // The ids of the new rows are drawn after the lookup: the other session registers then.
    ExecQuery::setStatementObserver([&](const QString& statement) {
        if (registering || otherId != 0 || !statement.contains("nextval"))
            return;
        registering = true;
        DatabaseConnection other(pool());
        if (const auto file = registerFile(other, "/m/b.txt"))
            otherId = file->id();
        registering = false;
    });
    rpxtest::LogCapture log;
    const int code = CloudFile::selectOrInsert(Dest, files, connection);
    ExecQuery::setStatementObserver({});
    ASSERT_EQ(code, Result::Ok);
    ASSERT_NE(otherId, 0u);
    EXPECT_EQ(files.at(1).id(), otherId);
    EXPECT_EQ(rows(connection, "cloud_files"), 4);
    for (const CloudFile& file : files)
        EXPECT_EQ(CloudFile::select_(Dest, file.localPath(), connection)->id(), file.id());
    for (const auto& line : log.lines())
        EXPECT_TRUE(line.type == QtDebugMsg || line.type == QtInfoMsg) << line.text.toStdString();
}

RPX_ON_BOTH_ENGINES(CloudFileTest);
