#include "support/RepositoryFixture.h"

#include <rpxRepository/database/ConnectionSettings.h>
#include <rpxRepository/database/DatabaseConnection.h>

#include <QSqlQuery>
#include <thread>

using namespace RPX::SQL;

namespace {

class ConnectionSettingsTest : public rpxtest::RepositoryTest
{
protected:
    QStringList settingsOf(DatabaseConnection& connection) const
    {
        const QStringList statements =
            postgres() ? QStringList{"show plan_cache_mode"}
                       : QStringList{"PRAGMA cache_size", "PRAGMA mmap_size", "PRAGMA busy_timeout"};
        QStringList values;
        for (const QString& statement : statements) {
            QSqlQuery query = connection.query();
            values << ((query.exec(statement) && query.next()) ? query.value(0).toString() : "failed");
        }
        return values;
    }
};

}  // namespace

// Two connections held at once force a second clone; a new thread gets a clone of its own.
TEST_P(ConnectionSettingsTest, EveryConnectionThePoolOpensHasTheSameSettings)
{
    const SQLiteCacheSettings small = sqliteCacheSettings(0);
    const QStringList expected = postgres() ? QStringList{"force_custom_plan"}
                                            : QStringList{QString::number(-small.cacheKiB),
                                                          QString::number(small.mmapBytes), "30000"};
    QStringList first, second, worker;
    {
        DatabaseConnection a(pool());
        DatabaseConnection b(pool());
        ASSERT_NE(a.database().connectionName(), b.database().connectionName());
        first = settingsOf(a);
        second = settingsOf(b);
    }
    std::thread([&] {
        DatabaseConnection c(pool());
        worker = settingsOf(c);
    }).join();
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    EXPECT_EQ(worker, expected);
}

// The cache and the map follow the database's size between their floors and caps.
TEST(SQLiteCacheSettingsTest, SizedFromTheDatabaseAndCapped)
{
    const qint64 MiB = 1024 * 1024;
    const SQLiteCacheSettings empty = sqliteCacheSettings(-1);
    EXPECT_EQ(empty.cacheKiB, 2048);
    EXPECT_EQ(empty.mmapBytes, 256 * MiB);
    const SQLiteCacheSettings mid = sqliteCacheSettings(80 * MiB);
    EXPECT_EQ(mid.cacheKiB, 5 * 1024);
    EXPECT_EQ(mid.mmapBytes, 256 * MiB);
    const SQLiteCacheSettings large = sqliteCacheSettings(320 * MiB);
    EXPECT_EQ(large.cacheKiB, 8 * 1024);
    EXPECT_EQ(large.mmapBytes, 640 * MiB);
    const SQLiteCacheSettings huge = sqliteCacheSettings(100000 * MiB);
    EXPECT_EQ(huge.cacheKiB, 8 * 1024);
    EXPECT_LT(huge.mmapBytes, 2048 * MiB);
}

RPX_ON_BOTH_ENGINES(ConnectionSettingsTest);
