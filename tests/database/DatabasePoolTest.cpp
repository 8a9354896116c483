#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <memory>
#include <thread>

using namespace RPX::SQL;

namespace {

// A pool of its own on a temporary SQLite file, with a clock the test moves.
class PoolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("pool-source"));
            db.setDatabaseName(m_dir.filePath(QStringLiteral("pool.db")));
            ASSERT_TRUE(db.open());
            m_pool = new DatabasePool(nullptr);
            ASSERT_TRUE(m_pool->initDatabase(db));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("pool-source"));
        m_pool->setClock([this] { return m_now; });
    }
    void TearDown() override { delete m_pool.data(); }

    QTemporaryDir m_dir;
    QPointer<DatabasePool> m_pool;
    QDateTime m_now = QDateTime(QDate(2024, 1, 1), QTime(12, 0), Qt::UTC);
};

}  // namespace

// Connections held at once are distinct and queue in the order they come back. closeIdle keeps the
// two longest idle whatever their age, and of the rest only those returned within the last minute.
TEST_F(PoolTest, IdleClosingKeepsTheTwoLongestIdleAndRecentOnes)
{
    const QDateTime start = m_now;
    const QDateTime old = start.addSecs(-90), ancient = start.addSecs(-3600), recent = start.addSecs(-10);
    // When each connection came back, and which of them stay open.
    const std::pair<QList<QDateTime>, QList<int>> cases[] = {
        {{old, old, recent, recent, recent}, {0, 1, 2, 3, 4}},
        {{old, old, old, recent, recent}, {0, 1, 3, 4}},
        {{ancient, ancient, ancient}, {0, 1}},
    };
    for (const auto& [returned, stay] : cases) {
        std::vector<std::unique_ptr<DatabaseConnection>> held;
        QStringList names, kept;
        for (int i = 0; i < returned.size(); ++i) {
            held.push_back(std::make_unique<DatabaseConnection>(m_pool));
            names << held.back()->database().connectionName();
        }
        EXPECT_EQ(names.removeDuplicates(), 0);
        for (int i = 0; i < returned.size(); ++i) {
            m_now = returned[i];
            held[size_t(i)].reset();
        }
        for (int i : stay)
            kept << names[i];
        m_now = start;
        m_pool->closeIdle();
        EXPECT_EQ(m_pool->idleConnections(), kept);
        for (const QString& name : names)
            EXPECT_EQ(QSqlDatabase::contains(name), kept.contains(name)) << name.toStdString();
        // Two or fewer are never closed, however long they wait.
        m_now = start.addSecs(7200);
        m_pool->closeIdle();
        EXPECT_EQ(m_pool->idleConnections(), kept.mid(0, 2));
    }
    // The connection idle longest is handed out next, still open.
    const QString longest = m_pool->idleConnections().value(0);
    DatabaseConnection again(m_pool);
    EXPECT_EQ(again.database().connectionName(), longest);
    EXPECT_TRUE(again.isOpen());
}

TEST_F(PoolTest, ConnectionsAreHandedOnlyToTheThreadThatMadeThemAndDieWithIt)
{
    QString workerName;
    std::thread worker([&] {
        DatabaseConnection connection(m_pool);
        QSqlQuery query = connection.query();
        EXPECT_TRUE(query.exec(QStringLiteral("select 1")));
        workerName = connection.database().connectionName();
    });
    worker.join();

    // The main thread must not get the worker's connection: Qt would refuse it.
    DatabaseConnection mine(m_pool);
    EXPECT_NE(mine.database().connectionName(), workerName);
    EXPECT_TRUE(mine.isOpen());
    EXPECT_FALSE(QSqlDatabase::contains(workerName));
}
