#include "GenerationFixture.h"
#include "support/LogCapture.h"

#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/BlockIdGenerator.h>
#include <rpxRepository/generation/Metadata.h>
#include <rpxRepository/generation/Parts.h>
#include <rpxRepository/generation/PartsBlocks.h>
#include <rpxRepository/generation/RestorePointParts.h>
#include <rpxRepository/generation/RestorePoints.h>
#include <rpxRepository/generation/StorageFiles.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::run;
using gentest::scalar;
using rpxtest::LogCapture;

namespace {

const QString G2 = QStringLiteral("g2");

class PathChainPart : public RestorePointParts
{
protected:
    bool initChainNumber() override
    {
        setChainNumber(qint64(id()));
        return true;
    }
};

bool attachAs(const DatabaseConnection& connection, const QString& file, const QString& schema)
{
    QSqlQuery query = connection.query();
    query.prepare(QStringLiteral("ATTACH DATABASE :file AS ") + schema);
    query.bindValue(QStringLiteral(":file"), file);
    return query.exec();
}

// The first generation is the connection's own database; a second one is attached to it as g2.
class SchemaPrefixTest : public gentest::GenerationTest
{
protected:
    void SetUp() override
    {
        GenerationTest::SetUp();
        ASSERT_FALSE(AttachDatabase::attach(path(QStringLiteral("second.db")), m_secondMarker).isNull());
    }

    const QUuid m_secondMarker = QUuid::createUuid();
};

}  // namespace

TEST_F(SchemaPrefixTest, EveryTableClassWorksOnAnAttachedGeneration)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(attachAs(connection, path(QStringLiteral("second.db")), G2));

    const QSharedPointer<Metadata> metadata = Metadata::select(G2, connection).first;
    ASSERT_FALSE(metadata.isNull());
    EXPECT_EQ(metadata->generationMarker(), m_secondMarker);
    metadata->setBlockSize(8192);
    ASSERT_EQ(metadata->update(G2, connection), Result::Ok);

    StorageFiles file;
    file.setPath(QStringLiteral("second/part"));
    file.setSize(10);
    file.setLastModified(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC));
    ASSERT_EQ(file.insert(G2, connection), Result::Ok);
    file.setSize(11);
    ASSERT_EQ(file.update(G2, connection), Result::Ok);
    EXPECT_EQ(StorageFiles::sizeOnStorage(G2, connection), qMakePair(qint64(11), Result::Ok));
    EXPECT_EQ(*StorageFiles::lastUploadDateTime(G2, connection).first, file.lastModified());
    EXPECT_EQ(StorageFiles::selectPathStartWith(QStringLiteral("second"), G2, connection).first.size(), 1);
    EXPECT_EQ(StorageFiles::select(G2, 0, 0, connection).first.size(), 1);
    EXPECT_FALSE(StorageFiles::select(QStringLiteral("second/part"), G2, connection).first.isNull());

    RestorePoints point;
    point.setSequenceNumber(1);
    point.setStartDate(QDateTime(QDate(2024, 1, 1), QTime(1, 0), Qt::UTC));
    ASSERT_EQ(point.insert(G2, connection), Result::Ok);
    point.setPartsCount(1);
    ASSERT_EQ(point.update(G2, connection), Result::Ok);
    EXPECT_EQ(RestorePoints::selectLast(G2, connection).first->partsCount(), 1);
    EXPECT_FALSE(RestorePoints::selectBySequenceNumber(1, G2, connection).first.isNull());
    EXPECT_EQ(RestorePoints::select(point.startDate(), G2, 0, 0, connection).first.size(), 1);

    ASSERT_EQ(Parts(file.id(), point.id()).insert(G2, connection), Result::Ok);
    EXPECT_EQ(Parts::select(point.id(), G2, connection).first.size(), 1);
    const qint64 block = BlockIdGenerator::next(G2, connection);
    EXPECT_EQ(block, 1);
    ASSERT_EQ(PartsBlocks(block, file.id(), QByteArray("g2-address")).insert(G2, connection), Result::Ok);
    EXPECT_FALSE(PartsBlocks::select(block, G2, connection).first.isNull());
    const RestorePointParts::Map parts =
        RestorePointParts::select(point.id(), G2, connection, [] { return new PathChainPart(); });
    ASSERT_EQ(parts.size(), 1);
    EXPECT_EQ(parts.first()->path(), QStringLiteral("second/part"));

    // Nothing of it landed in the connection's own generation.
    for (const char* table : {"storage_files", "restore_points", "parts", "part_blocks"})
        EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from %1").arg(QLatin1String(table))).toInt(), 0)
            << table;
    EXPECT_EQ(Metadata::select(QString(), connection).first->generationMarker(), m_marker);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 1);

    ASSERT_EQ(point.remove(G2, connection), Result::Ok);
    ASSERT_EQ(file.remove(G2, connection), Result::Ok);
    EXPECT_TRUE(RestorePoints::selectLast(G2, connection).first.isNull());

    // The second file, opened on its own, holds what was written through the prefix.
    ASSERT_TRUE(run(connection, QStringLiteral("DETACH DATABASE g2")));
    QSharedPointer<AttachDatabase> second = AttachDatabase::attach(path(QStringLiteral("second.db")), QUuid());
    ASSERT_FALSE(second.isNull());
    DatabaseConnection own(second->attachedDatabasePool());
    EXPECT_EQ(Metadata::select(QString(), own).first->blockSize(), 8192);
    EXPECT_EQ(Parts::select(point.id(), QString(), own).first.size(), 1);
    EXPECT_EQ(BlockIdGenerator::next(QString(), own), 2);
}

TEST_F(SchemaPrefixTest, SchemaStatementsCreateAGenerationUnderTheSchemaName)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(attachAs(connection, path(QStringLiteral("third.db")), QStringLiteral("g3")));
    const QString g3 = QStringLiteral("g3");
    QStringList statements = {Metadata::createTable(g3), StorageFiles::createTable(g3), RestorePoints::createTable(g3),
                              Parts::createTable(g3), PartsBlocks::createTable(g3), BlockIdGenerator::createTable(g3)};
    statements << Metadata::createIndex(g3) << StorageFiles::createIndex(g3) << RestorePoints::createIndex(g3)
               << Parts::createIndex(g3) << PartsBlocks::createIndex(g3) << BlockIdGenerator::createIndex(g3)
               << BlockIdGenerator::init(g3);
    for (const QString& statement : statements)
        ASSERT_TRUE(run(connection, statement)) << statement.toStdString();

    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from g3.sqlite_master where type = 'table'")).toInt(),
              7);
    EXPECT_EQ(scalar(connection, QStringLiteral("select group_concat(name) from (select name from g3.sqlite_master "
                                                "where type = 'index' and sql is not null order by name)"))
                  .toString(),
              QStringLiteral("part_blocks_part_id,parts_archive_id"));
    EXPECT_EQ(BlockIdGenerator::next(g3, connection), 1);
    // The connection's own generation keeps its seven indexes and its counter.
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from main.sqlite_master where type = 'index' and "
                                                "sql is not null"))
                  .toInt(),
              7);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 1);
}

TEST_F(SchemaPrefixTest, APrefixThatIsNoPlainNameIsRefusedWithoutAStatement)
{
    DatabaseConnection connection(pool());
    LogCapture log;
    for (const QString& prefix : {QStringLiteral("g2.x"), QStringLiteral("2g"), QStringLiteral("g2;"),
                                  QStringLiteral("main --"), QStringLiteral("\"g2\"")}) {
        SCOPED_TRACE(prefix.toStdString());
        EXPECT_TRUE(StorageFiles::createTable(prefix).isEmpty());
        EXPECT_TRUE(Parts::createIndex(prefix).isEmpty());
        EXPECT_TRUE(BlockIdGenerator::init(prefix).isEmpty());
        StorageFiles file;
        file.setPath(QStringLiteral("p"));
        EXPECT_EQ(file.insert(prefix, connection), Result::Error);
        EXPECT_EQ(StorageFiles::sizeOnStorage(prefix, connection).second, Result::Error);
        RestorePoints point;
        point.setStartDate(QDateTime::currentDateTimeUtc());
        EXPECT_EQ(point.insert(prefix, connection), Result::Error);
        EXPECT_EQ(RestorePoints::selectLast(prefix, connection).second, Result::Error);
        EXPECT_EQ(Parts(1, 1).insert(prefix, connection), Result::Error);
        EXPECT_EQ(PartsBlocks(1, 1, "a").insert(prefix, connection), Result::Error);
        EXPECT_EQ(BlockIdGenerator::next(prefix, connection), -1);
        EXPECT_TRUE(RestorePointParts::select(1, prefix, connection, [] { return new PathChainPart(); }).isEmpty());
    }
    EXPECT_FALSE(log.contains(QStringLiteral("Error on exec sql query")));
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from storage_files")).toInt(), 0);
    EXPECT_EQ(BlockIdGenerator::next(QString(), connection), 1);
}
