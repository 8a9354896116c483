#include "GenerationTree.h"
#include "support/LogCapture.h"

#include <QJsonArray>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::describe;
using gentest::run;
using rpxtest::LogCapture;

using FoldersTest = gentest::GenerationTreeTest;

// Lookups by path of the newest row in a set, and isFolder, are walked through by the listing's tests.
TEST_F(FoldersTest, LookupsOverASetOfRestorePointsJudgeTheNewestRow)
{
    DatabaseConnection c(pool());
    // A row counts as deleted when it or a parent row it names is; a row left under the deleted
    // /data/tmp of the third run is.
    folder(c, "/data/tmp/cache@3", "/data/tmp@3");
    EXPECT_EQ(Folders::checkPathIsDeleted("/data/docs/old", {1, 2}, QString(), c), qMakePair(true, Result::Ok));
    EXPECT_EQ(Folders::checkPathIsDeleted("/data/docs/old", {}, QString(), c), qMakePair(false, Result::Ok));
    EXPECT_EQ(Folders::checkPathIsDeleted("/data/tmp/cache", {}, QString(), c), qMakePair(true, Result::Ok));

    // Child paths judged by their newest row in the set; by row, only that row's children.
    EXPECT_EQ(Folders::countSubfolder("/data/docs", {}, true, QString(), c), qMakePair(1, Result::Ok));
    EXPECT_EQ(Folders::countSubfolder("/data/docs", {1, 2}, true, QString(), c), qMakePair(0, Result::Ok));
    EXPECT_EQ(Folders::countSubfolder("/data", {}, false, QString(), c), qMakePair(5, Result::Ok));
    EXPECT_EQ(Folders::countSubfolder(row("/data/docs@2"), {2}, true, QString(), c), qMakePair(0, Result::Ok));
    EXPECT_EQ(Folders::countSubfolder(row("/data/docs@2"), {2}, false, QString(), c), qMakePair(1, Result::Ok));

    // Rows of one restore point; a second run's row may hang under a first run's parent.
    const RowResult<Folders> docs = Folders::select(row("/data@1"), "docs", 2, QString(), c);
    ASSERT_FALSE(docs.first.isNull());
    EXPECT_EQ(docs.first->id(), row("/data/docs@2"));
    EXPECT_EQ(Folders::select("/data/docs", quint64(3), QString(), c).first->id(), row("/data/docs@3"));
    EXPECT_EQ(Folders::select(row("/data@1"), "docs", 0, QString(), c).second, Result::Error);
}

TEST_F(FoldersTest, SubfolderListingsGroupByPathFilterBeforeGroupingAndPage)
{
    DatabaseConnection c(pool());
    const auto byPath = [&](const QList<quint64>& points, bool notDeletedOnly, qint64 limit, qint64 offset) {
        const ListResult<Folders> listed =
            Folders::selectInFolder("/data", points, notDeletedOnly, limit, offset, QString(), c);
        EXPECT_EQ(listed.second, Result::Ok);
        return describe(listed.first);
    };
    const QStringList all = {"D /data/docs @3", "D /data/docs-archive @1", "D /data/music @2", "D /data/pics @2",
                             "D /data/tmp @3 deleted"};
    // The deleted newest row of /data/tmp gives way to its older row that is not deleted.
    EXPECT_EQ(byPath({}, true, 0, 0), all.mid(0, 4) << "D /data/tmp @2");
    EXPECT_EQ(byPath({}, false, 2, 2), all.mid(2, 2));
    // An offset without a limit is no statement the database takes.
    const ListResult<Folders> offsetOnly = Folders::selectInFolder("/data", {}, false, 0, 1, "", c);
    EXPECT_TRUE(offsetOnly.first.isEmpty());
    EXPECT_NE(offsetOnly.second, Result::Ok);

    // By row: the children of that one row only, in the set.
    EXPECT_EQ(describe(Folders::selectInFolder(row("/data@1"), {2}, false, 0, 0, QString(), c).first),
              (QStringList{"D /data/docs @2", "D /data/music @2", "D /data/pics @2", "D /data/tmp @2"}));
    EXPECT_EQ(Folders::selectInFolder(row("/data/docs@2"), {}, true, 0, 0, QString(), c).first.size(), 0);
    EXPECT_EQ(Folders::selectInFolder(row("/data@3"), {}, false, 1, 1, QString(), c).first.size(), 1);
}

TEST_F(FoldersTest, InsertKeepsNamesUniquePerRunAndMetadataSurvivesOrIsLogged)
{
    DatabaseConnection c(pool());
    Folders again;
    again.setDisplayName("docs");
    again.setLocalPath("/data/docs");
    again.setParentId(row("/data@1"));
    again.setRestorePointId(1);
    EXPECT_EQ(again.insert(QString(), c), Result::Constraint);
    EXPECT_EQ(again.id(), 0u);
    again.setRestorePointId(3);
    again.setMetadata(QJsonObject{{"owner", 1000}, {"acl", QJsonArray{"r", "w"}}});
    ASSERT_EQ(again.insert(QString(), c), Result::Ok);
    EXPECT_EQ(Folders::select(row("/data@1"), "docs", 3, QString(), c).first->metadata(), again.metadata());

    // Text that does not parse is logged and read as none, an array as none.
    ASSERT_TRUE(
        run(c, QStringLiteral("update folders set metadata = '{\"owner\": ' where id = %1").arg(row("/data@1"))));
    ASSERT_TRUE(run(c, QStringLiteral("update folders set metadata = '[1, 2]' where id = %1").arg(row("/data@3"))));
    LogCapture log;
    const QSharedPointer<Folders> broken = Folders::select("/data", quint64(1), QString(), c).first;
    ASSERT_FALSE(broken.isNull());
    EXPECT_TRUE(broken->metadata().isEmpty());
    ASSERT_EQ(log.texts().size(), 1);
    EXPECT_TRUE(log.texts().first().startsWith("Error parce folder metadata: ")) << log.texts().first().toStdString();
    log.clear();
    EXPECT_TRUE(Folders::select("/data", quint64(3), QString(), c).first->metadata().isEmpty());
    EXPECT_TRUE(log.texts().isEmpty());
}
