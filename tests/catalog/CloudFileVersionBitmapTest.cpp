#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFileVersionBitmap.h>
#include <rpxRepository/database/agent/ConfigPaths.h>

#include <QDir>
#include <QFile>

using namespace RPX::SQL;
using namespace filecatalog;
using RPX::Defines::AppPath;
using rpxtest::LogCapture;
using rpxtest::TestConnection;

namespace {

const QUuid MapA = QUuid::fromString(QStringLiteral("{6f1c1d3e-2b7a-4c2e-9a51-0d2e8c7b1a01}"));
const QUuid MapB = QUuid::fromString(QStringLiteral("{6f1c1d3e-2b7a-4c2e-9a51-0d2e8c7b1a02}"));

QString differentialMap(const QUuid& uuid) { return AppPath::to().differentialFileMap() + '/' + uuid.toString(); }
QString diskImageMap(const QUuid& uuid) { return AppPath::to().diskImageMap() + '/' + uuid.toString(); }

void touch(const QString& path)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()) && QFile(path).open(QIODevice::WriteOnly))
        << path.toStdString();
}

CloudFileVersionBitmap bitmap(unsigned long long versionId, const QUuid& uuid)
{
    CloudFileVersionBitmap result(versionId);
    result.setVersionUuid(uuid);
    return result;
}

}  // namespace

struct CloudFileVersionBitmapTest : rpxtest::RepositoryTest {};

TEST_P(CloudFileVersionBitmapTest, RowsAreKeptPerVersion)
{
    if (postgres() && rpxtest::inCallerTransaction())
        GTEST_SKIP() << "fails statements on purpose, which on PostgreSQL ends the caller's transaction";
    TestConnection connection(pool());
    ASSERT_TRUE(bitmap(7, MapA).insert(connection));

    CloudFileVersionBitmap loaded = bitmap(99, MapB);
    EXPECT_FALSE(loaded.select(8, connection));
    EXPECT_EQ(loaded.versionUuid(), MapB);  // untouched by a miss
    ASSERT_TRUE(loaded.select(7, connection));
    EXPECT_EQ(qMakePair(loaded.versionId(), loaded.versionUuid()), qMakePair(7ull, MapA));

    // One bitmap per version.
    EXPECT_FALSE(bitmap(7, MapB).insert(connection));
    EXPECT_TRUE(bitmap(7, MapB).update(connection));
    ASSERT_TRUE(loaded.select(connection));
    EXPECT_EQ(loaded.versionUuid(), MapB);

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

TEST_P(CloudFileVersionBitmapTest, DeleteRemovesRowAndAtMostOneMapFile)
{
    TestConnection connection(pool());
    // Both maps exist: only the differential one goes; without it the disk-image map goes.
    touch(differentialMap(MapA));
    touch(diskImageMap(MapA));
    const CloudFileVersionBitmap a = bitmap(1, MapA);
    ASSERT_TRUE(a.insert(connection));
    LogCapture log;
    EXPECT_TRUE(a.delete_(connection));
    EXPECT_FALSE(a.checkOnDisk(false));
    EXPECT_TRUE(a.checkOnDisk(true));
    ASSERT_TRUE(bitmap(2, MapA).insert(connection));
    EXPECT_TRUE(bitmap(2, MapA).delete_(connection));
    EXPECT_FALSE(a.checkOnDisk(true));

    // No map at all is no failure.
    ASSERT_TRUE(bitmap(3, MapB).insert(connection));
    EXPECT_TRUE(bitmap(3, MapB).delete_(connection));
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();

    // A map that cannot be removed (a non-empty directory, even for root) is logged; the row goes.
    touch(differentialMap(MapA) + QStringLiteral("/inside"));
    ASSERT_TRUE(bitmap(4, MapA).insert(connection));
    EXPECT_TRUE(bitmap(4, MapA).delete_(connection));
    EXPECT_EQ(rows(connection, "cloud_file_version_bitmaps"), 0);
    ASSERT_FALSE(log.lines().isEmpty());
    EXPECT_EQ(log.lines()[0].type, QtCriticalMsg);
    EXPECT_TRUE(log.texts().join('\n').contains(differentialMap(MapA))) << log.texts().join('\n').toStdString();
}

RPX_ON_BOTH_ENGINES(CloudFileVersionBitmapTest);
