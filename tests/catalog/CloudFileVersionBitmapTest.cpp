#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFileVersionBitmap.h>
#include <rpxRepository/database/agent/ConfigPaths.h>

#include <QDir>
#include <QFile>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using namespace filecatalog;
using rpxtest::LogCapture;

namespace {

const QUuid MapA = QUuid::fromString(QStringLiteral("{6f1c1d3e-2b7a-4c2e-9a51-0d2e8c7b1a01}"));
const QUuid MapB = QUuid::fromString(QStringLiteral("{6f1c1d3e-2b7a-4c2e-9a51-0d2e8c7b1a02}"));

QString differentialMap(const QUuid& uuid)
{
    return RPX::Defines::AppPath::to().differentialFileMap() + QLatin1Char('/') + uuid.toString();
}

QString diskImageMap(const QUuid& uuid)
{
    return RPX::Defines::AppPath::to().diskImageMap() + QLatin1Char('/') + uuid.toString();
}

void touch(const QString& path)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

CloudFileVersionBitmap bitmap(unsigned long long versionId, const QUuid& uuid)
{
    CloudFileVersionBitmap result(versionId);
    result.setVersionUuid(uuid);
    return result;
}

}  // namespace

class CloudFileVersionBitmapTest : public rpxtest::RepositoryTest
{
};

TEST_P(CloudFileVersionBitmapTest, RowsAreKeptPerVersion)
{
    if (postgres() && rpxtest::inCallerTransaction())
        GTEST_SKIP() << "fails statements on purpose, which on PostgreSQL ends the caller's transaction";
    TestConnection connection(pool());
    ASSERT_TRUE(bitmap(7, MapA).insert(connection));

    CloudFileVersionBitmap loaded(99);
    loaded.setVersionUuid(MapB);
    EXPECT_FALSE(loaded.select(8, connection));
    EXPECT_EQ(loaded.versionId(), 99u);  // untouched by a miss
    EXPECT_EQ(loaded.versionUuid(), MapB);
    ASSERT_TRUE(loaded.select(7, connection));
    EXPECT_EQ(loaded.versionId(), 7u);
    EXPECT_EQ(loaded.versionUuid(), MapA);
    EXPECT_EQ(scalar(connection, "select uuid from cloud_file_version_bitmaps").toString(), MapA.toString());

    // One bitmap per version.
    EXPECT_FALSE(bitmap(7, MapB).insert(connection));

    EXPECT_TRUE(bitmap(7, MapB).update(connection));
    CloudFileVersionBitmap reloaded(7);
    ASSERT_TRUE(reloaded.select(connection));
    EXPECT_EQ(reloaded.versionUuid(), MapB);

    ASSERT_TRUE(bitmap(9, MapA).insert(connection));
    EXPECT_FALSE(CloudFileVersionBitmap::updateVersionId(7, 9, connection));
    EXPECT_TRUE(CloudFileVersionBitmap::updateVersionId(7, 8, connection));
    EXPECT_FALSE(CloudFileVersionBitmap(7).select(connection));
    EXPECT_TRUE(CloudFileVersionBitmap(8).select(connection));

    // The static delete removes the row only.
    touch(differentialMap(MapA));
    EXPECT_TRUE(CloudFileVersionBitmap::delete_(9, connection));
    EXPECT_FALSE(CloudFileVersionBitmap(9).select(connection));
    EXPECT_TRUE(QFile::exists(differentialMap(MapA)));
}

TEST_P(CloudFileVersionBitmapTest, DeleteRemovesRowAndOneMapFile)
{
    TestConnection connection(pool());
    // Both maps exist: only the differential one goes.
    touch(differentialMap(MapA));
    touch(diskImageMap(MapA));
    ASSERT_TRUE(bitmap(1, MapA).insert(connection));
    LogCapture log;
    EXPECT_TRUE(bitmap(1, MapA).delete_(connection));
    EXPECT_FALSE(QFile::exists(differentialMap(MapA)));
    EXPECT_TRUE(QFile::exists(diskImageMap(MapA)));
    EXPECT_EQ(rows(connection, "cloud_file_version_bitmaps"), 0);

    // Without a differential map the disk-image map goes.
    ASSERT_TRUE(bitmap(2, MapA).insert(connection));
    EXPECT_TRUE(bitmap(2, MapA).delete_(connection));
    EXPECT_FALSE(QFile::exists(diskImageMap(MapA)));

    // No map at all is no failure.
    ASSERT_TRUE(bitmap(3, MapB).insert(connection));
    EXPECT_TRUE(bitmap(3, MapB).delete_(connection));
    EXPECT_EQ(rows(connection, "cloud_file_version_bitmaps"), 0);
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
}

TEST_P(CloudFileVersionBitmapTest, MapThatCannotBeRemovedIsLoggedButRowGoes)
{
    TestConnection connection(pool());
    // A non-empty directory in place of the map file cannot be removed as a file, even by root.
    touch(differentialMap(MapA) + QStringLiteral("/inside"));
    ASSERT_TRUE(bitmap(4, MapA).insert(connection));
    LogCapture log;
    EXPECT_TRUE(bitmap(4, MapA).delete_(connection));
    EXPECT_EQ(rows(connection, "cloud_file_version_bitmaps"), 0);
    ASSERT_EQ(log.lines().size(), 2) << log.texts().join('\n').toStdString();
    EXPECT_EQ(log.lines()[0].type, QtCriticalMsg);
    EXPECT_TRUE(log.lines()[0].text.startsWith("Error on remove differential backup map, message: "));
    EXPECT_GT(log.lines()[0].text.size(), QString("Error on remove differential backup map, message: ").size());
    EXPECT_TRUE(log.lines()[1].text.contains(differentialMap(MapA)));

    touch(diskImageMap(MapB) + QStringLiteral("/inside"));
    ASSERT_TRUE(bitmap(5, MapB).insert(connection));
    log.clear();
    EXPECT_TRUE(bitmap(5, MapB).delete_(connection));
    EXPECT_EQ(log.count("Error on remove differential ibb backup map, message:"), 1);
}

TEST_P(CloudFileVersionBitmapTest, CheckOnDiskLooksInTheFolderOfTheKind)
{
    CloudFileVersionBitmap none(1);
    touch(differentialMap(QUuid()));
    touch(diskImageMap(QUuid()));
    EXPECT_FALSE(none.checkOnDisk(false));
    EXPECT_FALSE(none.checkOnDisk(true));

    const CloudFileVersionBitmap a = bitmap(1, MapA);
    EXPECT_FALSE(a.checkOnDisk(false));
    touch(differentialMap(MapA));
    EXPECT_TRUE(a.checkOnDisk(false));
    EXPECT_FALSE(a.checkOnDisk(true));
    touch(diskImageMap(MapA));
    EXPECT_TRUE(a.checkOnDisk(true));
}

TEST_P(CloudFileVersionBitmapTest, ClosedConnectionRunsNothing)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    touch(differentialMap(MapA));
    LogCapture log;
    CloudFileVersionBitmap row = bitmap(1, MapA);
    EXPECT_FALSE(row.insert(closed));
    EXPECT_FALSE(row.select(closed));
    EXPECT_FALSE(row.update(closed));
    EXPECT_FALSE(CloudFileVersionBitmap::updateVersionId(1, 2, closed));
    EXPECT_FALSE(CloudFileVersionBitmap::delete_(1, closed));
    EXPECT_FALSE(row.delete_(closed));
    EXPECT_TRUE(QFile::exists(differentialMap(MapA)));
    EXPECT_TRUE(log.texts().isEmpty());
    EXPECT_EQ(row.versionUuid(), MapA);
}

TEST(CloudFileVersionBitmapSchema, SameStatementForBothEnginesOnly)
{
    const QString sqlite = CloudFileVersionBitmap::createTable(DatabaseType::SQLite);
    EXPECT_EQ(sqlite, CloudFileVersionBitmap::createTable(DatabaseType::PostgreSQL));
    EXPECT_TRUE(sqlite.startsWith("CREATE TABLE IF NOT EXISTS cloud_file_version_bitmaps"));
    EXPECT_TRUE(CloudFileVersionBitmap::createTable(DatabaseType(0)).isEmpty());
}

RPX_ON_BOTH_ENGINES(CloudFileVersionBitmapTest);
