#include "GenerationTree.h"
#include "support/LogCapture.h"

#include <rpxRepository/generation/FileListingRecursive.h>

#include <QRegularExpression>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::describe;
using gentest::run;
using rpxtest::LogCapture;

namespace {

class FileListingRecursiveTest : public gentest::GenerationTreeTest
{
protected:
    static QString describe(const FileListingRecursive::Item& item)
    {
        return item.first.isNull() ? gentest::describe(*item.second) : gentest::describe(*item.first);
    }

    // Everything next() hands out until it returns two null pointers.
    static QStringList walk(FileListingRecursive& listing, int atMost = 100)
    {
        QStringList items;
        for (FileListingRecursive::Item item = listing.next(); !item.first.isNull() || !item.second.isNull();
             item = listing.next()) {
            EXPECT_TRUE(item.first.isNull() || item.second.isNull());
            items << describe(item);
            if (items.size() == atMost)
                break;
        }
        return items;
    }

    static QStringList filesOf(const QStringList& items) { return items.filter(QRegularExpression("^F ")); }
};

// One line per folder and its files. Within a folder the rows come grouped by path, which SQLite
// returns sorted.
// clang-format off
const QStringList AtSecond = {
    "D /data @1", "F /data/readme.md @1",
    "D /data/docs @2", "F /data/docs/a.txt @2", "F /data/docs/b.txt @1",
    "D /data/docs-archive @1",
    "D /data/music @2", "F /data/music/s.mp3 @2",
    "D /data/pics @2", "F /data/pics/p1.jpg @1", "F /data/pics/p2.jpg @2",
    "D /data/tmp @2", "F /data/tmp/t.log @2 deleted",
    "D /data/docs/old @2 deleted", "F /data/docs/old/x.txt @2 deleted"};
const QStringList AtThird = {
    "D /data @3", "F /data/readme.md @3",
    "D /data/docs @3", "F /data/docs/a.txt @2", "F /data/docs/b.txt @3 deleted",
    "D /data/docs-archive @1",
    "D /data/music @2", "F /data/music/s.mp3 @2",
    "D /data/pics @2", "F /data/pics/p1.jpg @1", "F /data/pics/p2.jpg @2",
    "D /data/tmp @3 deleted", "F /data/tmp/t.log @2 deleted",
    "D /data/docs/old @3", "F /data/docs/old/x.txt @3", "F /data/docs/old/y.txt @3"};
// clang-format on

// The items a walk skipping deleted ones keeps: no deleted item and nothing below the deleted folder.
QStringList withoutDeleted(const QStringList& items, const QString& deletedFolder = QString())
{
    QStringList kept;
    for (const QString& item : items) {
        const bool below = !deletedFolder.isEmpty() && item.section(QLatin1Char(' '), 1, 1).startsWith(deletedFolder);
        if (!item.endsWith(QLatin1String(" deleted")) && !below)
            kept << item;
    }
    return kept;
}

}  // namespace

TEST_F(FileListingRecursiveTest, EachMomentListsTheTreeARestoreThereNeeds)
{
    struct View
    {
        const char* name;
        QDateTime upTo;
        QStringList items;
        QStringList itemsSkippingDeleted;
    };
    // A run's own start sees that run, a later moment the newest run before it; an invalid moment
    // sees every run.
    const QList<View> views = {
        {"second", startOf(2), AtSecond, withoutDeleted(AtSecond, "/data/docs/old")},
        {"third", startOf(3).addSecs(1), AtThird, withoutDeleted(AtThird, "/data/tmp")},
        {"all", QDateTime(), AtThird, withoutDeleted(AtThird, "/data/tmp")},
    };
    for (const View& view : views) {
        for (const bool skipDeleted : {false, true}) {
            const QStringList& expected = skipDeleted ? view.itemsSkippingDeleted : view.items;
            for (const bool onlyFiles : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << view.name << " skipDeleted " << skipDeleted << " onlyFiles " << onlyFiles);
                FileListingRecursive listing({"/data"}, view.upTo, onlyFiles, skipDeleted, pool());
                EXPECT_EQ(listing.hasNext(), qMakePair(true, Result::Ok));
                EXPECT_EQ(walk(listing), onlyFiles ? filesOf(expected) : expected);
                EXPECT_EQ(listing.hasNext(), qMakePair(false, Result::Ok));
                EXPECT_TRUE(listing.isFinished());
            }
        }
    }
}

TEST_F(FileListingRecursiveTest, GivenFilesComeFirstAndADeletedFolderIsAFileWhenDeletedItemsAreSkipped)
{
    // /data/none.txt has no row: taken for a file, it lists nothing.
    const QStringList paths = {"/data/docs/old", "/data/docs/old/x.txt", "/data/music", "/data/none.txt"};
    FileListingRecursive all(paths, startOf(2), false, false, pool());
    EXPECT_EQ(walk(all),
              (QStringList{"F /data/docs/old/x.txt @2 deleted", "D /data/docs/old @2 deleted",
                           "F /data/docs/old/x.txt @2 deleted", "D /data/music @2", "F /data/music/s.mp3 @2"}));
    FileListingRecursive skipping(paths, startOf(2), false, true, pool());
    EXPECT_EQ(walk(skipping), (QStringList{"D /data/music @2", "F /data/music/s.mp3 @2"}));
}

TEST_F(FileListingRecursiveTest, PruningDropsWhatIsQueuedBelowTheFolder)
{
    // The folder's own row goes with its queued files; a file queued under an older row of the path
    // stays, and "/data/docs-archive" is no child of "/data/docs".
    FileListingRecursive third({"/data"}, QDateTime(), false, false, pool());
    QStringList items;
    for (FileListingRecursive::Item item = third.next(); !item.second.isNull() || !item.first.isNull();
         item = third.next()) {
        items << describe(item);
        if (!item.second.isNull() && item.second->localPath() == QLatin1String("/data/docs"))
            third.skipFolderListing(item.second);
    }
    EXPECT_EQ(items, (QStringList{"D /data @3", "F /data/readme.md @3", "D /data/docs @3", "F /data/docs/a.txt @2",
                                  "D /data/docs-archive @1", "D /data/music @2", "F /data/music/s.mp3 @2",
                                  "D /data/pics @2", "F /data/pics/p1.jpg @1", "F /data/pics/p2.jpg @2",
                                  "D /data/tmp @3 deleted", "F /data/tmp/t.log @2 deleted"}));

    // By path the folder is looked up in the view first: the first run's /data row.
    FileListingRecursive first({"/data"}, startOf(1), false, false, pool());
    EXPECT_EQ(describe(first.next()), "D /data @1");
    first.skipFolderListing("/data");
    EXPECT_EQ(walk(first), QStringList());
    EXPECT_EQ(first.hasNext(), qMakePair(false, Result::Ok));
}

TEST_F(FileListingRecursiveTest, AMomentBeforeEveryRunListsNothing)
{
    LogCapture log;
    FileListingRecursive listing({"/data", "/data/readme.md"}, startOf(1).addSecs(-1), false, false, pool());
    EXPECT_EQ(listing.hasNext(), qMakePair(false, Result::Ok));
    EXPECT_TRUE(listing.isFinished());
    // An empty view is no "every restore point" to an explicit expansion either.
    listing.next("/data");
    EXPECT_EQ(walk(listing), QStringList());
    EXPECT_FALSE(log.contains("include"));
}

TEST_F(FileListingRecursiveTest, AFailureEndsTheWalkAndItsCodeStays)
{
    FileListingRecursive listing({"/data"}, QDateTime(), false, false, pool());
    EXPECT_EQ(describe(listing.next()), "D /data @3");
    EXPECT_EQ(describe(listing.next()), "F /data/readme.md @3");

    // The next expansion finds its folder row but cannot read the files.
    DatabaseConnection connection(pool());
    ASSERT_TRUE(run(connection, "ALTER TABLE files RENAME TO files_away"));
    const int code = Files::selectInFolder("/data/docs", {}, -1, -1, QString(), connection).second;
    ASSERT_NE(code, Result::Ok);
    EXPECT_EQ(listing.next(), FileListingRecursive::Item());
    EXPECT_EQ(listing.hasNext(), qMakePair(false, code));
    EXPECT_TRUE(listing.isFinished());

    // Failed is final, even once the database is whole again.
    ASSERT_TRUE(run(connection, "ALTER TABLE files_away RENAME TO files"));
    EXPECT_EQ(listing.next(), FileListingRecursive::Item());
    listing.skipFolderListing("/data");
    EXPECT_EQ(listing.hasNext(), qMakePair(false, code));

    // Classification stops at the first failing lookup; a missing pool fails before it.
    ASSERT_TRUE(run(connection, "ALTER TABLE folders RENAME TO folders_away"));
    FileListingRecursive unclassified({"/data"}, QDateTime(), false, false, pool());
    EXPECT_NE(unclassified.hasNext().second, Result::Ok);
    EXPECT_EQ(unclassified.next(), FileListingRecursive::Item());
    QPointer<DatabasePool> none;
    FileListingRecursive closed({"/data"}, QDateTime(), false, false, none);
    EXPECT_EQ(closed.hasNext(), qMakePair(false, Result::Error));
}
