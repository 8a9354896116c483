#include "GenerationTree.h"
#include "support/LogCapture.h"

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::describe;
using gentest::run;
using gentest::scalar;
using rpxtest::LogCapture;

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
    EXPECT_EQ(described(Files::select("/data/readme.md", {1, 2}, QString(), c)), "F /data/readme.md @1");
    EXPECT_EQ(described(Files::select("/data/readme.md", {}, QString(), c)), "F /data/readme.md @3");
    EXPECT_EQ(described(Files::select("/data/docs/old/x.txt", {1, 2}, QString(), c)),
              "F /data/docs/old/x.txt @2 deleted");
    EXPECT_EQ(described(Files::select("/data/docs/old/x.txt", {1}, QString(), c)), "F /data/docs/old/x.txt @1");
    EXPECT_EQ(Files::select("", {}, QString(), c), qMakePair(QSharedPointer<Files>(), Result::Error));

    // The version before, whatever its restore point; optionally the one before that is not deleted.
    const QSharedPointer<Files> third = Files::select("/data/docs/old/x.txt", {}, QString(), c).first;
    ASSERT_FALSE(third.isNull());
    EXPECT_EQ(described(Files::selectPrev(third, false, QString(), c)), "F /data/docs/old/x.txt @2 deleted");
    const RowResult<Files> first = Files::selectPrev(third, true, QString(), c);
    EXPECT_EQ(described(first), "F /data/docs/old/x.txt @1");
    EXPECT_EQ(Files::selectPrev(first.first, false, QString(), c), qMakePair(QSharedPointer<Files>(), Result::Ok));
    EXPECT_EQ(Files::selectPrev({}, false, QString(), c).second, Result::Error);

    // By folder path: the newest row of each file under any row of the path in the set, deleted ones too.
    const auto inDocs = [&](const QList<quint64>& points, qint64 limit, qint64 offset) {
        const ListResult<Files> listed = Files::selectInFolder("/data/docs", points, limit, offset, QString(), c);
        EXPECT_EQ(listed.second, Result::Ok);
        return describe(listed.first);
    };
    EXPECT_EQ(inDocs({}, 0, 0), (QStringList{"F /data/docs/a.txt @2", "F /data/docs/b.txt @3 deleted"}));
    EXPECT_EQ(inDocs({1, 2}, -1, -1), (QStringList{"F /data/docs/a.txt @2", "F /data/docs/b.txt @1"}));
    EXPECT_EQ(inDocs({}, 1, 1), QStringList{"F /data/docs/b.txt @3 deleted"});
    const ListResult<Files> offsetOnly = Files::selectInFolder("/data/docs", {}, 0, 1, QString(), c);
    EXPECT_TRUE(offsetOnly.first.isEmpty());
    EXPECT_NE(offsetOnly.second, Result::Ok);

    // By folder row: that row's files, and only while the row is in the set.
    EXPECT_EQ(describe(Files::selectInFolder(row("/data/docs@1"), {1}, 0, 0, QString(), c).first),
              (QStringList{"F /data/docs/a.txt @1", "F /data/docs/b.txt @1"}));
    EXPECT_TRUE(Files::selectInFolder(row("/data/docs@1"), {2, 3}, 0, 0, QString(), c).first.isEmpty());
    EXPECT_EQ(describe(Files::selectInFolder(row("/data/docs@2"), {}, 0, 0, QString(), c).first),
              QStringList{"F /data/docs/a.txt @2"});
}

TEST_F(FilesTest, InsertWritesEveryFieldAndRefusesIncompleteFiles)
{
    DatabaseConnection c(pool());
    Files file;
    file.setDisplayName(QStringLiteral("raw.bin"));
    file.setLocalPath(QStringLiteral("/data/pics/raw.bin"));
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

    const QSharedPointer<Files> read = Files::select("/data/pics/raw.bin", {2}, QString(), c).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(read->id(), file.id());
    EXPECT_EQ(read->displayName(), file.displayName());
    EXPECT_EQ(read->parentId(), file.parentId());
    EXPECT_EQ(read->originalSize(), file.originalSize());
    EXPECT_EQ(read->totalSize(), 4096);
    EXPECT_EQ(read->extentsSize(), 8192);
    EXPECT_EQ(read->dateModificationUtc(), QDateTime(QDate(2024, 3, 2), QTime(10, 15, 30), Qt::UTC));
    EXPECT_EQ(read->dateModificationUtc().timeSpec(), Qt::UTC);
    EXPECT_EQ(read->attributes(), 0x2021);
    EXPECT_TRUE(read->isCompressed());
    EXPECT_FALSE(read->deleted());
    EXPECT_EQ(read->hash(), file.hash());
    EXPECT_EQ(read->map(), file.map());
    EXPECT_EQ(read->metadata(), file.metadata());

    // No metadata is an empty text, not NULL; text that does not parse is logged and read as none.
    const QString metadataOf = QStringLiteral(
        "select typeof(metadata) || ':' || metadata from files where "
        "local_path = '/data/readme.md' and id = (select min(id) from files "
        "where local_path = '/data/readme.md')");
    EXPECT_EQ(scalar(c, metadataOf).toString(), QStringLiteral("text:"));
    ASSERT_TRUE(run(c, QStringLiteral("update files set metadata = 'mode=420' where id = %1").arg(file.id())));
    LogCapture log;
    const QSharedPointer<Files> broken = Files::select("/data/pics/raw.bin", {}, QString(), c).first;
    ASSERT_FALSE(broken.isNull());
    EXPECT_TRUE(broken->metadata().isEmpty());
    ASSERT_EQ(log.texts().size(), 1);
    EXPECT_TRUE(log.texts().first().startsWith("Error parce files metadata: ")) << log.texts().first().toStdString();

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
    EXPECT_EQ(Files::selectInFolder("/data", {}, 0, 0, QStringLiteral("g2."), c).second, Result::Error);
    ExecQuery::setStatementObserver({});
    EXPECT_EQ(statements, QStringList());
}

TEST_F(FilesTest, BothTablesWorkUnderTheSchemaNameOfAnAttachedGeneration)
{
    DatabaseConnection c(pool());
    QSqlQuery attach = c.query();
    attach.prepare(QStringLiteral("ATTACH DATABASE :file AS g3"));
    attach.bindValue(QStringLiteral(":file"), path(QStringLiteral("third.db")));
    ASSERT_TRUE(attach.exec());
    const QString g3 = QStringLiteral("g3");
    QStringList schema = {RestorePoints::createTable(g3), Folders::createTable(g3), Files::createTable(g3)};
    schema << Folders::createIndex(g3) << Files::createIndex(g3);
    for (const QString& statement : schema)
        ASSERT_TRUE(run(c, statement)) << statement.toStdString();
    EXPECT_EQ(scalar(c, "select count(*) from g3.sqlite_master where type = 'index' and sql is not null").toInt(), 5);

    // The same paths as the connection's own generation, so a lookup reading a bare table shows.
    RestorePoints point;
    point.setSequenceNumber(1);
    point.setStartDate(startOf(1));
    ASSERT_EQ(point.insert(g3, c), Result::Ok);
    Folders top;
    top.setDisplayName(QStringLiteral("data"));
    top.setLocalPath(QStringLiteral("/data"));
    top.setRestorePointId(point.id());
    ASSERT_EQ(top.insert(g3, c), Result::Ok);
    Folders child = top;
    child.setDisplayName(QStringLiteral("only-in-g3"));
    child.setLocalPath(QStringLiteral("/data/only-in-g3"));
    child.setParentId(top.id());
    ASSERT_EQ(child.insert(g3, c), Result::Ok);
    Files file;
    file.setDisplayName(QStringLiteral("readme.md"));
    file.setLocalPath(QStringLiteral("/data/readme.md"));
    file.setParentId(top.id());
    file.setOriginalSize(7);
    file.setDateModificationUtc(startOf(1));
    ASSERT_EQ(file.insert(g3, c), Result::Ok);

    EXPECT_EQ(describe(Folders::selectInFolder(QStringLiteral("/data"), {}, false, 0, 0, g3, c).first),
              QStringList{"D /data/only-in-g3 @1"});
    EXPECT_EQ(Folders::countSubfolder(QStringLiteral("/data"), {1}, false, g3, c), qMakePair(1, Result::Ok));
    EXPECT_EQ(Folders::checkPathIsDeleted("/data/only-in-g3", {}, g3, c), qMakePair(false, Result::Ok));
    EXPECT_EQ(describe(Files::selectInFolder("/data", {1}, 0, 0, g3, c).first), QStringList{"F /data/readme.md @7"});
    EXPECT_EQ(described(Files::select("/data/readme.md", {}, g3, c)), "F /data/readme.md @7");
    EXPECT_EQ(scalar(c, "select count(*) from main.files").toInt(), 15);
}
