#include "GenerationTree.h"

#include <QJsonDocument>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::describe;

namespace {

using FilesTest = gentest::GenerationTreeTest;

QString described(const RowResult<Files>& found)
{
    EXPECT_EQ(found.second, Result::Ok);
    return found.first.isNull() ? QString() : gentest::describe(*found.first);
}

}  // namespace

TEST_F(FilesTest, VersionsAreFoundByTheRestorePointOfTheirFolderRow)
{
    DatabaseConnection c(pool());
    // Lookups by path over a set of restore points are walked through by the listing's tests.
    EXPECT_EQ(Files::select("", {}, QString(), c), qMakePair(QSharedPointer<Files>(), Result::Error));

    // The version before, whatever its restore point; optionally the one before that is not deleted.
    const QSharedPointer<Files> third = Files::select("/data/docs/old/x.txt", {}, QString(), c).first;
    ASSERT_FALSE(third.isNull());
    EXPECT_EQ(described(Files::selectPrev(third, false, QString(), c)), "F /data/docs/old/x.txt @2 deleted");
    const RowResult<Files> first = Files::selectPrev(third, true, QString(), c);
    EXPECT_EQ(described(first), "F /data/docs/old/x.txt @1");
    EXPECT_EQ(Files::selectPrev(first.first, false, QString(), c), qMakePair(QSharedPointer<Files>(), Result::Ok));
    EXPECT_EQ(Files::selectPrev({}, false, QString(), c).second, Result::Error);

    // By folder path, a page of the newest rows; by folder row, that row's files while it is in the set.
    EXPECT_EQ(describe(Files::selectInFolder("/data/docs", {}, 1, 1, QString(), c).first),
              QStringList{"F /data/docs/b.txt @3 deleted"});
    EXPECT_EQ(describe(Files::selectInFolder(row("/data/docs@1"), {1}, 0, 0, QString(), c).first),
              (QStringList{"F /data/docs/a.txt @1", "F /data/docs/b.txt @1"}));
    EXPECT_TRUE(Files::selectInFolder(row("/data/docs@1"), {2, 3}, 0, 0, QString(), c).first.isEmpty());
}

TEST_F(FilesTest, InsertWritesEveryFieldAndRefusesIncompleteFiles)
{
    DatabaseConnection c(pool());
    Files file;
    file.setDisplayName("raw.bin");
    file.setLocalPath("/data/pics/raw.bin");
    file.setParentId(row("/data/pics@2"));
    file.setOriginalSize(qint64(5) << 32);
    file.setTotalSize(4096);
    file.setExtentsSize(8192);
    file.setDateModificationUtc(QDateTime(QDate(2024, 3, 2), QTime(10, 15, 30, 250), Qt::UTC));
    file.setAttributes(0x2021);
    file.setIsCompressed(true);
    file.setHash(QByteArray("\x00\xffhash", 6));
    file.setMap(QByteArray(3, '\0'));
    file.setMetadata(QJsonObject{{"mode", 420}, {"owner", "backup"}});
    ASSERT_EQ(file.insert(QString(), c), Result::Ok);
    ASSERT_NE(file.id(), 0u);

    const auto fields = [](const Files& f) {
        return gentest::texts(f.id(), f.displayName(), f.localPath(), f.parentId(), f.originalSize(), f.totalSize(),
                              f.extentsSize(), f.attributes(), f.isCompressed(), f.deleted(), f.hash().toHex(),
                              f.map().toHex(), QJsonDocument(f.metadata()).toJson());
    };
    const QSharedPointer<Files> read = Files::select("/data/pics/raw.bin", {2}, QString(), c).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(fields(*read), fields(file));
    // Dates are kept to the second.
    EXPECT_EQ(read->dateModificationUtc(), QDateTime(QDate(2024, 3, 2), QTime(10, 15, 30), Qt::UTC));

    // The same name under the same folder row is refused by the database; an incomplete file by the class.
    Files twin = file;
    EXPECT_EQ(twin.insert(QString(), c), Result::Constraint);
    EXPECT_EQ(twin.id(), file.id());
    QStringList statements;
    ExecQuery::setStatementObserver([&](const QString& sql) { statements << sql; });
    for (int missing = 0; missing < 3; ++missing) {
        Files incomplete = file;
        incomplete.setDisplayName(missing == 0 ? QString() : QStringLiteral("new.bin"));
        incomplete.setLocalPath(missing == 1 ? QString() : QStringLiteral("/data/pics/new.bin"));
        incomplete.setParentId(missing == 2 ? 0 : file.parentId());
        EXPECT_EQ(incomplete.insert(QString(), c), Result::Error) << missing;
    }
    ExecQuery::setStatementObserver({});
    EXPECT_EQ(statements, QStringList());
}
