#include "GenerationTree.h"
#include "support/LogCapture.h"

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
using rpxtest::LogCapture;

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
    QStringList statements = {Metadata::createTable(g2),      StorageFiles::createTable(g2),
                              RestorePoints::createTable(g2), Folders::createTable(g2),
                              Files::createTable(g2),         Parts::createTable(g2),
                              PartsBlocks::createTable(g2),   BlockIdGenerator::createTable(g2)};
    statements << Metadata::createIndex(g2) << StorageFiles::createIndex(g2) << RestorePoints::createIndex(g2)
               << Folders::createIndex(g2) << Files::createIndex(g2) << Parts::createIndex(g2)
               << PartsBlocks::createIndex(g2) << BlockIdGenerator::createIndex(g2) << BlockIdGenerator::init(g2);
    for (const QString& statement : statements)
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
    EXPECT_EQ(*StorageFiles::lastUploadDateTime(g2, c).first, file.lastModified());
    EXPECT_EQ(StorageFiles::selectPathStartWith("second", g2, c).first.size(), 1);
    EXPECT_EQ(StorageFiles::select(g2, 0, 0, c).first.size(), 1);

    RestorePoints point;
    point.setSequenceNumber(1);
    point.setStartDate(startOf(1));
    ASSERT_EQ(point.insert(g2, c), Result::Ok);
    point.setPartsCount(1);
    ASSERT_EQ(point.update(g2, c), Result::Ok);
    EXPECT_EQ(RestorePoints::selectLast(g2, c).first->partsCount(), 1);
    EXPECT_FALSE(RestorePoints::selectBySequenceNumber(1, g2, c).first.isNull());
    EXPECT_EQ(RestorePoints::select(point.startDate(), g2, 0, 0, c).first.size(), 1);
    ASSERT_EQ(Parts(file.id(), point.id()).insert(g2, c), Result::Ok);
    EXPECT_EQ(Parts::select(point.id(), g2, c).first.size(), 1);
    EXPECT_EQ(BlockIdGenerator::next(g2, c), 1);
    ASSERT_EQ(PartsBlocks(1, file.id(), QByteArray("g2-address")).insert(g2, c), Result::Ok);
    EXPECT_FALSE(PartsBlocks::select(1, g2, c).first.isNull());
    const RestorePointParts::Map parts = RestorePointParts::select(point.id(), g2, c, makePart);
    ASSERT_EQ(parts.size(), 1);
    EXPECT_EQ(parts.first()->path(), "second/part");

    // The same paths as the connection's own generation, so a lookup reading a bare table shows.
    Folders top;
    top.setDisplayName("data");
    top.setLocalPath("/data");
    top.setRestorePointId(point.id());
    ASSERT_EQ(top.insert(g2, c), Result::Ok);
    Folders child = top;
    child.setDisplayName("only-in-g2");
    child.setLocalPath("/data/only-in-g2");
    child.setParentId(top.id());
    ASSERT_EQ(child.insert(g2, c), Result::Ok);
    Files readme;
    readme.setDisplayName("readme.md");
    readme.setLocalPath("/data/readme.md");
    readme.setParentId(top.id());
    readme.setOriginalSize(7);
    readme.setDateModificationUtc(startOf(1));
    ASSERT_EQ(readme.insert(g2, c), Result::Ok);
    EXPECT_EQ(describe(Folders::selectInFolder("/data", {}, false, 0, 0, g2, c).first),
              QStringList{"D /data/only-in-g2 @1"});
    EXPECT_EQ(Folders::countSubfolder("/data", {1}, false, g2, c), qMakePair(1, Result::Ok));
    EXPECT_EQ(Folders::checkPathIsDeleted("/data/only-in-g2", {}, g2, c), qMakePair(false, Result::Ok));
    EXPECT_EQ(describe(Files::selectInFolder("/data", {1}, 0, 0, g2, c).first), QStringList{"F /data/readme.md @7"});
    EXPECT_EQ(describe(*Files::select("/data/readme.md", {}, g2, c).first), "F /data/readme.md @7");

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
}

TEST_F(SchemaPrefixTest, APrefixThatIsNoPlainNameIsRefusedWithoutAStatement)
{
    DatabaseConnection connection(pool());
    LogCapture log;
    // A dot, a leading digit, anything that is no letter, digit or underscore.
    for (const QString prefix : {"g2.x", "2g", "main --"}) {
        SCOPED_TRACE(prefix.toStdString());
        EXPECT_TRUE(StorageFiles::createTable(prefix).isEmpty());
        EXPECT_TRUE(Parts::createIndex(prefix).isEmpty());
        EXPECT_EQ(Metadata().update(prefix, connection), Result::Error);
        StorageFiles file;
        file.setPath("p");
        EXPECT_EQ(file.insert(prefix, connection), Result::Error);
        EXPECT_EQ(RestorePoints::selectLast(prefix, connection).second, Result::Error);
        EXPECT_EQ(Parts(1, 1).insert(prefix, connection), Result::Error);
        EXPECT_EQ(PartsBlocks(1, 1, "a").insert(prefix, connection), Result::Error);
        EXPECT_EQ(BlockIdGenerator::next(prefix, connection), -1);
        EXPECT_TRUE(RestorePointParts::select(1, prefix, connection, makePart).isEmpty());
    }
    EXPECT_FALSE(log.contains("Error on exec sql query"));
    EXPECT_EQ(scalar(connection, "select count(*) from storage_files").toInt(), 0);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 1);
}
