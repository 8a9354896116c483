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
using gentest::insertPoint;
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
const RestorePointParts::Factory makePart = [] { return new IdChainPart(); };

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

    StorageFiles part;
    part.setPath("second/part");
    part.setSize(10);
    part.setLastModified(startOf(1));
    ASSERT_EQ(part.insert(g2, c), Result::Ok);
    part.setSize(11);
    ASSERT_EQ(part.update(g2, c), Result::Ok);
    EXPECT_EQ(StorageFiles::sizeOnStorage(g2, c), qMakePair(qint64(11), Result::Ok));
    EXPECT_EQ(StorageFiles::selectPathStartWith("second", g2, c).first.size(), 1);

    RestorePoints point = insertPoint(c, 1, startOf(1), g2);
    point.setPartsCount(1);
    ASSERT_EQ(point.update(g2, c), Result::Ok);
    EXPECT_EQ(RestorePoints::selectLast(g2, c).first->partsCount(), 1);
    ASSERT_EQ(Parts(part.id(), point.id()).insert(g2, c), Result::Ok);
    EXPECT_EQ(Parts::select(point.id(), g2, c).first.size(), 1);
    EXPECT_EQ(BlockIdGenerator::next(g2, c), 1);
    ASSERT_EQ(PartsBlocks(1, part.id(), QByteArray("g2-address")).insert(g2, c), Result::Ok);
    EXPECT_FALSE(PartsBlocks::select(1, g2, c).first.isNull());
    const RestorePointParts::Map parts = RestorePointParts::select(point.id(), g2, c, makePart);
    ASSERT_EQ(parts.size(), 1);
    EXPECT_EQ(parts.first()->path(), "second/part");

    // The same paths as in the connection's own generation, under a restore point id it does not have,
    // so a join reading a bare table shows.
    folder(c, "/data@7", "", false, g2);
    file(c, "/data@7", "readme.md", false, g2);
    EXPECT_EQ(Folders::selectInFolder("/data", {}, false, 0, 0, g2, c), ListResult<Folders>({}, Result::Ok));
    EXPECT_EQ(describe(Files::selectInFolder("/data", {7}, 0, 0, g2, c).first), QStringList{"F /data/readme.md @7"});

    // Nothing of it landed in the connection's own generation.
    const QList<QPair<QString, int>> mainRows = {
        {"storage_files", 0}, {"parts", 0}, {"part_blocks", 0}, {"restore_points", 3}, {"files", 15}};
    for (const auto& [table, rows] : mainRows)
        EXPECT_EQ(scalar(c, "select count(*) from main." + table).toInt(), rows) << table.toStdString();
    EXPECT_EQ(Metadata::select(QString(), c).first->generationMarker(), m_marker);
    EXPECT_EQ(BlockIdGenerator::next(QString(), c), 1);

    ASSERT_EQ(point.remove(g2, c), Result::Ok);
    ASSERT_EQ(part.remove(g2, c), Result::Ok);
    EXPECT_TRUE(RestorePoints::selectLast(g2, c).first.isNull());
    EXPECT_TRUE(StorageFiles::select(part.id(), g2, c).first.isNull());
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
