#include "GenerationTree.h"

#include <rpxRepository/generation/BlockIdGenerator.h>
#include <rpxRepository/generation/Metadata.h>
#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/PartsBlocks.h>
#include <rpxRepository/generation/RestorePointParts.h>
#include <rpxRepository/generation/StorageFiles.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::describe;
using gentest::run;
using gentest::scalar;

namespace {

class IdChainPart : public RestorePointParts
{
protected:
    bool initChainNumber() override
    {
        setChainNumber(qint64(id()));
        return true;
    }
};
RestorePointParts* makePart()
{
    return new IdChainPart();
}

// Every statement that makes a generation's tables, indexes and counter.
QStringList schema(const QString& p)
{
    return QStringList{Metadata::createTable(p), StorageFiles::createTable(p), RestorePoints::createTable(p),
                       Folders::createTable(p), Files::createTable(p), Parts::createTable(p),
                       PartsBlocks::createTable(p), BlockIdGenerator::createTable(p)} +
           Metadata::createIndex(p) + StorageFiles::createIndex(p) + RestorePoints::createIndex(p) +
           Folders::createIndex(p) + Files::createIndex(p) + Parts::createIndex(p) + PartsBlocks::createIndex(p) +
           BlockIdGenerator::createIndex(p) + QStringList{BlockIdGenerator::init(p)};
}

// The tree is the connection's own generation; a second one is attached to it as g2.
using SchemaPrefixTest = gentest::GenerationTreeTest;

}  // namespace

TEST_F(SchemaPrefixTest, SchemaStatementsAndEveryTableClassWorkOnAnAttachedGeneration)
{
    DatabaseConnection c(pool());
    const QString g2 = "g2";
    QSqlQuery attach = c.query();
    attach.prepare("ATTACH DATABASE :file AS g2");
    attach.bindValue(":file", path("second.db"));
    ASSERT_TRUE(attach.exec());
    for (const QString& statement : schema(g2))
        ASSERT_TRUE(run(c, statement)) << statement.toStdString();
    const QString indexes = QStringLiteral(
        "select group_concat(name) from (select name from %1.sqlite_master "
        "where type = 'index' and sql is not null order by name)");
    EXPECT_EQ(scalar(c, indexes.arg(g2)).toString(), scalar(c, indexes.arg("main")).toString());
    EXPECT_EQ(scalar(c, "select count(*) from g2.sqlite_master where type = 'table'").toInt(), 9);

    Metadata metadata;
    metadata.setGenerationMarker(QUuid::createUuid());
    ASSERT_EQ(metadata.insert(g2, c), Result::Ok);
    metadata.setBlockSize(8192);
    ASSERT_EQ(metadata.update(g2, c), Result::Ok);
    EXPECT_EQ(Metadata::select(g2, c).first->blockSize(), 8192);

    StorageFiles file;
    file.setPath("second/part");
    file.setSize(10);
    file.setLastModified(startOf(1));
    ASSERT_EQ(file.insert(g2, c), Result::Ok);
    file.setSize(11);
    ASSERT_EQ(file.update(g2, c), Result::Ok);
    EXPECT_EQ(StorageFiles::sizeOnStorage(g2, c), qMakePair(qint64(11), Result::Ok));
    EXPECT_EQ(StorageFiles::selectPathStartWith("second", g2, c).first.size(), 1);

    RestorePoints point;
    point.setSequenceNumber(1);
    point.setStartDate(startOf(1));
    ASSERT_EQ(point.insert(g2, c), Result::Ok);
    point.setPartsCount(1);
    ASSERT_EQ(point.update(g2, c), Result::Ok);
    EXPECT_EQ(RestorePoints::selectLast(g2, c).first->partsCount(), 1);
    ASSERT_EQ(Parts(file.id(), point.id()).insert(g2, c), Result::Ok);
    EXPECT_EQ(Parts::select(point.id(), g2, c).first.size(), 1);
    EXPECT_EQ(BlockIdGenerator::next(g2, c), 1);
    ASSERT_EQ(PartsBlocks(1, file.id(), QByteArray("g2-address")).insert(g2, c), Result::Ok);
    EXPECT_FALSE(PartsBlocks::select(1, g2, c).first.isNull());
    const RestorePointParts::Map parts = RestorePointParts::select(point.id(), g2, c, makePart);
    ASSERT_EQ(parts.size(), 1);
    EXPECT_EQ(parts.first()->path(), "second/part");

    // The same path as in the connection's own generation, so a join reading a bare table shows.
    Folders top;
    top.setDisplayName("data");
    top.setLocalPath("/data");
    top.setRestorePointId(point.id());
    ASSERT_EQ(top.insert(g2, c), Result::Ok);
    Files readme;
    readme.setDisplayName("readme.md");
    readme.setLocalPath("/data/readme.md");
    readme.setParentId(top.id());
    readme.setOriginalSize(7);
    readme.setDateModificationUtc(startOf(1));
    ASSERT_EQ(readme.insert(g2, c), Result::Ok);
    EXPECT_EQ(Folders::selectInFolder("/data", {}, false, 0, 0, g2, c), ListResult<Folders>({}, Result::Ok));
    EXPECT_EQ(describe(Files::selectInFolder("/data", {1}, 0, 0, g2, c).first), QStringList{"F /data/readme.md @7"});

    // Nothing of it landed in the connection's own generation.
    for (const char* table : {"storage_files", "parts", "part_blocks"})
        EXPECT_EQ(scalar(c, QStringLiteral("select count(*) from main.%1").arg(QLatin1String(table))).toInt(), 0)
            << table;
    EXPECT_EQ(scalar(c, "select count(*) from main.restore_points").toInt(), 3);
    EXPECT_EQ(scalar(c, "select count(*) from main.files").toInt(), 15);
    EXPECT_EQ(Metadata::select(QString(), c).first->generationMarker(), m_marker);
    EXPECT_EQ(BlockIdGenerator::next(QString(), c), 1);

    ASSERT_EQ(point.remove(g2, c), Result::Ok);
    ASSERT_EQ(file.remove(g2, c), Result::Ok);
    EXPECT_TRUE(RestorePoints::selectLast(g2, c).first.isNull());
    EXPECT_TRUE(StorageFiles::select(file.id(), g2, c).first.isNull());
    EXPECT_EQ(scalar(c, "select count(*) from main.restore_points").toInt(), 3);
}

// A prefix is pasted into statements as a schema name: one that is no plain name is refused whole,
// as is any call on a closed connection, before a statement runs.
TEST_F(SchemaPrefixTest, AClosedConnectionOrAPrefixThatIsNoPlainNameRunsNoStatement)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    DatabaseConnection open(pool());
    // A dot, a leading digit, a statement of its own.
    const QList<QPair<DatabaseConnection*, QString>> cases = {
        {&closed, QString()}, {&open, "g2.x"}, {&open, "2g"}, {&open, "main; drop table files --"}};
    QStringList statements;
    ExecQuery::setStatementObserver([&](const QString& sql) { statements << sql; });
    for (const auto& [connection, prefix] : cases) {
        SCOPED_TRACE(prefix.toStdString());
        DatabaseConnection& c = *connection;
        if (!prefix.isEmpty()) {
            EXPECT_EQ(schema(prefix).join(QString()), QString());
        }
        Folders folder;
        folder.setDisplayName("new");
        folder.setRestorePointId(1);
        EXPECT_EQ(folder.insert(prefix, c), Result::Error);
        EXPECT_EQ(Folders::countSubfolder(quint64(1), {}, false, prefix, c).second, Result::Error);
        EXPECT_EQ(Folders::checkPathIsDeleted("/data", {}, prefix, c), qMakePair(false, Result::Error));
        EXPECT_EQ(Folders::checkPathIsDeleted("", {}, prefix, c), qMakePair(false, Result::Ok));
        EXPECT_EQ(Folders::isFolder("/data", {}, false, prefix, c), qMakePair(false, Result::Error));
        EXPECT_EQ(Folders::selectInFolder("/data", {}, false, 0, 0, prefix, c).second, Result::Error);
        EXPECT_EQ(Files::selectInFolder("/data", {}, 0, 0, prefix, c).second, Result::Error);
        EXPECT_EQ(RestorePoints().insert(prefix, c), Result::Error);
        EXPECT_EQ(RestorePoints::selectLast(prefix, c), RowResult<RestorePoints>({}, Result::Error));
        EXPECT_EQ(Metadata().update(prefix, c), Result::Error);
        EXPECT_EQ(Metadata::select(prefix, c), RowResult<Metadata>({}, Result::Error));
        StorageFiles file;
        file.setPath("p");
        EXPECT_EQ(file.insert(prefix, c), Result::Error);
        EXPECT_EQ(Parts(1, 1).insert(prefix, c), Result::Error);
        EXPECT_EQ(PartsBlocks(1, 1, "a").insert(prefix, c), Result::Error);
        EXPECT_EQ(BlockIdGenerator::next(prefix, c), -1);
        EXPECT_TRUE(RestorePointParts::select(1, prefix, c, makePart).isEmpty());
    }
    ExecQuery::setStatementObserver({});
    EXPECT_EQ(statements, QStringList());
}
