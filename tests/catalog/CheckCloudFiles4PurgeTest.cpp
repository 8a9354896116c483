#include "FileCatalogSupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CheckCloudFiles4Purge.h>
#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/database/ExecQuery.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using namespace filecatalog;
using Purge = CheckCloudFiles4Purge;
using VersionPointer = QSharedPointer<CloudFileVersion>;

namespace {

const QDateTime Now = utc(2024, 6, 30, 12);

VersionPointer version(const QString& label, const QDateTime& modified, int kind = 0, bool full = false,
                       const QDateTime& backup = QDateTime())
{
    VersionPointer v(new CloudFileVersion());
    v->setCloudPath(label.toUtf8());
    v->setDateModified(modified);
    v->setDateBackup(backup.isValid() ? backup : modified.addSecs(3600));
    v->setAttribute(kind);
    v->setBlockLevelIsFull(full);
    return v;
}

QStringList labels(const Purge::Picks& picks)
{
    QStringList out;
    for (const auto& pick : picks)
        out << QString::fromUtf8(pick.first->cloudPath()) + ':' + QString::number(pick.second);
    return out;
}

QStringList columns(const CloudFileVersion& v)
{
    return {QString::number(v.id()), QString::number(v.fileId()), v.cloudPath(), v.path(), QString::number(v.size()),
            QString::number(v.originalSize()), v.dateModified().toString(), v.datePurgeDelay().toString(),
            QString::number(v.attribute()), QString::number(v.isCompressed()), QString::number(v.isEncrypted()),
            QString::number(v.isSimple()), QString::number(v.isBroken()), v.uploadId(), v.dateBackup().toString(),
            v.fileNameIv(), QString::number(v.blockLevelRevision()), QString::number(v.blockLevelIsFull()),
            v.versionDelimiter(), v.encryptionIv(), v.kdfsalt(), v.encryptionKey()};
}

}  // namespace

// The count takes the oldest first; the period then works on what is left and stops, taking that
// version out as well, at the first one that is young enough.
TEST(CheckCloudFiles4PurgeHelpers, CountFirstThenPeriodWithKeepLast)
{
    auto ages = [](const QList<int>& days, const QList<int>& backupDays = {}) {
        QList<VersionPointer> list;
        for (int i = 0; i < days.size(); ++i)
            list << version(QString::number(days[i]), Now.addDays(-days[i]), 0, false,
                            backupDays.isEmpty() ? QDateTime() : Now.addDays(-backupDays[i]));
        return list;
    };
    Purge purge(1);
    purge.setCurrentTime(Now);
    purge.keepNumberOfVersion(true, 3);
    purge.deleteVersionOlder(true, 30, false, Purge::BackupDate);
    auto list = ages({400, 200, 100, 90, 80}, {400, 200, 5, 100, 90});
    EXPECT_EQ(labels(purge.checkFileBackup(list)), QStringList({"400:1", "200:1"}));
    EXPECT_EQ(list.size(), 2);

    purge.keepNumberOfVersion(false, 0);
    purge.deleteVersionOlder(true, 30, true, Purge::ModifiedDate);
    list = ages({400});
    EXPECT_TRUE(purge.checkFileBackup(list).isEmpty());
    purge.deleteVersionOlder(true, 30, false, Purge::ModifiedDate);
    EXPECT_EQ(labels(purge.checkFileBackup(list)), QStringList({"400:0"}));
    list = ages({30});  // exactly at the threshold: not older
    EXPECT_TRUE(purge.checkFileBackup(list).isEmpty());
    purge.keepNumberOfVersion(true, 0);  // a count of 0 takes every version
    list = ages({400, 1});
    EXPECT_EQ(labels(purge.checkFileBackup(list)), QStringList({"400:1", "1:1"}));
}

class CheckCloudFiles4PurgeTest : public rpxtest::RepositoryTest
{
protected:
    static constexpr unsigned long long Dest = 7;

    VersionPointer add(DatabaseConnection& connection, const QString& path, const QString& label,
                       const QDateTime& modified, int kind = 0, bool full = false,
                       const QDateTime& backup = QDateTime(), unsigned long long destination = Dest)
    {
        VersionPointer v = version(label, modified, kind, full, backup);
        v->setPath(path);
        EXPECT_TRUE(v->insert(destination, connection)) << label.toStdString();
        return v;
    }

    void markDeleted(DatabaseConnection& connection, const QString& path, const QDateTime& when,
                     unsigned long long destination = Dest)
    {
        const auto file = CloudFile::select_(destination, path, connection);
        ASSERT_FALSE(file.isNull());
        file->setDateDeleted(when);
        ASSERT_TRUE(file->update(connection));
    }

    // Updates of cloud_files sent while `action` runs.
    static int writesDuring(const std::function<void()>& action)
    {
        int written = 0;
        ExecQuery::setStatementObserver([&written](const QString& statement) {
            written += statement.startsWith("update cloud_files", Qt::CaseInsensitive);
        });
        action();
        ExecQuery::setStatementObserver({});
        return written;
    }
};

// A destination with every kind of file; the rule picks of one file come together, in the file's
// order, and the deleted-locally picks come last. Differential chains go whole up to the next full
// version; paths outside the prefixes (compared with case) and other destinations are left alone.
TEST_P(CheckCloudFiles4PurgeTest, RealisticDestinationGivesEveryPickInOrder)
{
    TestConnection connection(pool());
    const QString docs = "/home/u/docs/", photos = "/home/u/photos/";
    const QList<QDateTime> reports{utc(2024, 1, 10), utc(2024, 2, 10), utc(2024, 3, 10), utc(2024, 6, 10), utc(2024, 6, 25)};
    for (int i = 0; i < reports.size(); ++i)
        add(connection, docs + "report.txt", QStringLiteral("r%1").arg(i + 1), reports[i]);
    // Three differential chains: a..d, e..f2 and the newest g..h, which always stays. b is full, yet
    // no full differential.
    const struct { const char* label; int month, day, kind; bool full; } disk[] = {
        {"a", 1, 1, 3, true}, {"b", 1, 2, 2, true}, {"c", 1, 5, 3, false}, {"d", 1, 6, 2, false},
        {"e", 2, 1, 3, true}, {"f", 2, 5, 3, false}, {"f2", 2, 6, 2, false}, {"g", 6, 20, 3, true}, {"h", 6, 25, 3, false}};
    for (const auto& v : disk)
        add(connection, docs + "disk.vhd", v.label, utc(2024, v.month, v.day), v.kind, v.full);
    add(connection, photos + "a.jpg", "p0", utc(2024, 1, 5), 5);  // disk-image kind: not examined
    add(connection, photos + "a.jpg", "p1", utc(2024, 6, 1));
    add(connection, photos + "a.jpg", "p2", utc(2024, 6, 28));
    add(connection, photos + "gone.jpg", "g1", utc(2023, 12, 1));
    add(connection, photos + "gone.jpg", "g2", utc(2023, 12, 20));
    markDeleted(connection, photos + "gone.jpg", utc(2024, 1, 1));
    // Outside the prefixes, or in another destination.
    for (int i = 1; i <= 2; ++i) {
        add(connection, "/home/u/music/song.mp3", "m", utc(2022, i, 1));
        add(connection, "/home/u/Docs/Report.txt", "R", utc(2022, i, 1));
        add(connection, docs + "report.txt", "x", utc(2022, i, 1), 0, false, {}, Dest + 1);
    }
    markDeleted(connection, "/home/u/music/song.mp3", utc(2023, 1, 1));
    markDeleted(connection, docs + "report.txt", utc(2023, 1, 1), Dest + 1);

    Purge purge(Dest);
    purge.setCurrentTime(Now);
    purge.keepNumberOfVersion(true, 3);
    purge.deleteVersionOlder(true, 30, true, Purge::ModifiedDate);
    purge.deleteLocalyDeleted(true, 90);
    const Purge::Picks picks = purge.files({docs, photos}, connection);

    ASSERT_GE(picks.size(), 2);
    EXPECT_EQ(labels(picks.mid(picks.size() - 2)), QStringList({"g1:2", "g2:2"}));
    // The file query has no order: the rule picks are compared as runs of one file each, so a file
    // whose picks are split shows as two runs.
    QStringList runs;
    for (int i = 0; i + 2 < picks.size(); ++i) {
        if (i == 0 || picks[i].first->fileId() != picks[i - 1].first->fileId())
            runs << QString();
        runs.last() += labels({picks[i]}).first() + ' ';
    }
    runs.sort();
    EXPECT_EQ(runs, QStringList({"a:0 b:0 c:0 d:0 a:0 b:0 c:0 d:0 e:0 f:0 f2:0 ", "g1:0 ", "r1:1 r2:1 r3:0 "}));
}

// Which statement finds the candidates, the path prefixes and the deleted-locally threshold.
TEST_P(CheckCloudFiles4PurgeTest, CandidateStatementsPrefixesAndDeletionThreshold)
{
    if (postgres() && rpxtest::inCallerTransaction())
        GTEST_SKIP() << "fails statements on purpose, which on PostgreSQL ends the caller's transaction";
    TestConnection connection(pool());
    add(connection, "/d/oldmod", "oldmod", Now.addDays(-400), 0, false, Now.addDays(-2));
    add(connection, "/d/oldbackup", "oldbackup", Now.addDays(-300), 0, false, Now.addDays(-200));
    add(connection, "/d/recent", "recent", Now.addDays(-1));
    add(connection, "/e/edge", "edge", Now.addDays(-500));
    markDeleted(connection, "/e/edge", Now.addDays(-90));
    add(connection, "/e/late", "late", Now.addDays(-500));
    markDeleted(connection, "/e/late", Now.addDays(-90).addSecs(1));

    Purge purge(Dest);
    purge.setCurrentTime(Now);
    auto run = [&](const QStringList& paths) {
        QStringList got = labels(purge.files(paths, connection));
        got.sort();
        return got;
    };
    EXPECT_TRUE(run({""}).isEmpty());  // every rule off

    // Single-version files are candidates only through the period, on the time it is measured on.
    purge.deleteVersionOlder(true, 30, false, Purge::ModifiedDate);
    EXPECT_EQ(run({"/d/"}), QStringList({"oldbackup:0", "oldmod:0"}));
    purge.deleteVersionOlder(true, 30, false, Purge::BackupDate);
    EXPECT_TRUE(run({}).isEmpty());
    EXPECT_EQ(run({""}), QStringList({"edge:0", "late:0", "oldbackup:0"}));
    purge.deleteVersionOlder(true, 30, false, Purge::NotMeasured);
    EXPECT_TRUE(run({""}).isEmpty());

    // Deleted exactly 90 days ago is old enough, one second less is not; other rules off.
    purge.deleteVersionOlder(false, 30, false, Purge::ModifiedDate);
    purge.deleteLocalyDeleted(true, 90);
    EXPECT_EQ(run({""}), QStringList({"edge:2"}));

    // A failing file query returns nothing, not even the deleted-locally picks.
    purge.deleteVersionOlder(true, 30, false, static_cast<Purge::VersionOlderType>(5));
    EXPECT_TRUE(run({""}).isEmpty());
}

// Pages of two rows cut files short and one file fills a page alone; the streamed picks are still
// files()'s. A sink that deletes in batches as picks come leaves nothing to pick, and a sink that
// says stop gets no more.
TEST_P(CheckCloudFiles4PurgeTest, StreamedPicksMatchFilesAndMayBeDeletedMeanwhile)
{
    TestConnection connection(pool());
    // Every column distinct, so that the walk's reading by position is checked against init's by name.
    for (int file = 0; file < 6; ++file) {
        for (int v = 0; v <= file % 3 + (file == 4 ? 3 : 0); ++v) {
            VersionPointer row = version(QStringLiteral("f%1v%2").arg(file).arg(v), utc(2024, 1 + v, 1 + file),
                                         v % 2 ? 1 : 0, v == 1, utc(2024, 1 + v, 2 + file));
            row->setPath(QStringLiteral("/d/f%1").arg(file));
            row->setSize(100 + v);
            row->setOriginalSize(200 + v);
            row->setDatePurgeDelay(utc(2025, 1, 1 + v));
            row->setIsCompressed(1);
            row->setIsSimple(1);
            row->setIsBroken(v == 2);
            row->setUploadId("up" + QByteArray::number(v));
            row->setFileNameIv("iv" + QByteArray::number(v));
            row->setBlockLevelRevision(7 + v);
            row->setVersionDelimiter("#");
            row->setEncryptionIv("ei" + QByteArray::number(v));
            row->setKdfsalt("salt");
            row->setEncryptionKey("key" + QByteArray::number(file));
            ASSERT_TRUE(row->insert(Dest, connection));
        }
    }
    markDeleted(connection, "/d/f2", utc(2023, 1, 1));
    markDeleted(connection, "/d/f5", utc(2022, 1, 1));
    Purge purge(Dest);
    purge.setCurrentTime(Now);
    purge.keepNumberOfVersion(true, 1);
    purge.deleteLocalyDeleted(true, 90);
    const QStringList expected = labels(purge.files({"/d/"}, connection));
    ASSERT_EQ(expected.size(), 15);  // 9 by the count, 6 of deleted files, 4 of them twice

    purge.setSelectionPageRows(2);
    Purge::Picks streamed;
    EXPECT_TRUE(purge.selectEach({"/d/"}, connection, [&](const Purge::Pick& pick) {
        streamed << pick;
        return streamed.size() < 3;
    }));
    EXPECT_EQ(labels(streamed), expected.mid(0, 3));
    for (const auto& pick : streamed)
        EXPECT_EQ(columns(*pick.first), columns(*CloudFileVersion::selectById(pick.first->id(), connection)));

    QSet<unsigned long long> deleted;
    QList<VersionPointer> batch;
    auto flush = [&] {
        for (const auto& version : batch)
            EXPECT_TRUE(version->delete_(true, connection));
        batch.clear();
    };
    EXPECT_TRUE(purge.selectEach({"/d/"}, connection, [&](const Purge::Pick& pick) {
        if (!deleted.contains(pick.first->id())) {
            deleted.insert(pick.first->id());
            batch << pick.first;
        }
        if (batch.size() == 3)
            flush();
        return true;
    }));
    flush();
    EXPECT_EQ(deleted.size(), 11);
    EXPECT_TRUE(purge.files({"/d/"}, connection).isEmpty());
    EXPECT_EQ(CloudFileVersion::select_(CloudFile::select_(Dest, "/d/f4", connection)->id(), connection).size(), 1);
}

// Marks follow the disk: removed files get the current time, reappearing ones (a.txt) are cleared,
// and only the rows whose mark changes are written. Pages of two make the root folder take two.
TEST_P(CheckCloudFiles4PurgeTest, MarkWalkFollowsTheDiskAndWritesOnlyChanges)
{
    TestConnection connection(pool());
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = tmp.path() + "/tree";
    ASSERT_TRUE(QDir().mkpath(root + "/sub/deeper"));
    const QStringList names{"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/deeper/e.txt"};
    for (const QString& name : names) {
        ASSERT_TRUE(QFile(root + '/' + name).open(QIODevice::WriteOnly));
        add(connection, root + '/' + name, name, utc(2024, 1, 1));
    }
    markDeleted(connection, root + "/a.txt", utc(2023, 1, 1));
    ASSERT_TRUE(QFile::remove(root + "/c.txt"));
    ASSERT_TRUE(QFile::remove(root + "/sub/deeper/e.txt"));
    auto marks = [&] {
        QList<QDateTime> all;
        for (const QString& name : names)
            all << CloudFile::select_(Dest, root + '/' + name, connection)->dateDeleted();
        return all;
    };

    Purge purge(Dest);
    purge.setDeleteMarkPageSize(2);
    const QDateTime t1 = utc(2024, 6, 1, 8);
    purge.setCurrentTime(t1);
    EXPECT_EQ(writesDuring([&] { EXPECT_TRUE(purge.updateDeleteLocallyPath(root, root, connection)); }), 3);
    EXPECT_EQ(marks(), QList<QDateTime>({{}, {}, t1, {}, t1}));
    EXPECT_EQ(writesDuring([&] { purge.updateDeleteLocallyPath(root, root, connection); }), 0);

    // One file on its own; its folder path is not in the catalog.
    ASSERT_TRUE(QFile::remove(root + "/b.txt"));
    EXPECT_TRUE(purge.updateDeleteLocallyPath(root + "/b.txt", "/not/backed/up", connection));
    EXPECT_EQ(marks()[1], t1);
}

RPX_ON_BOTH_ENGINES(CheckCloudFiles4PurgeTest);
