#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>
#include <rpxRepository/database/ExecQuery.h>

#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QVariant>
#include <atomic>
#include <memory>
#include <thread>

using namespace RPX::SQL;
using rpxtest::LogCapture;

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

TEST_F(PoolTest, NestedConnectionsAreDistinctAndQueuedInReturnOrder)
{
    QString first, second;
    {
        auto outer = std::make_unique<DatabaseConnection>(m_pool);
        DatabaseConnection inner(m_pool);
        first = outer->database().connectionName();
        second = inner.database().connectionName();
        EXPECT_NE(first, second);
        EXPECT_TRUE(outer->isOpen());
        EXPECT_TRUE(inner.isOpen());
        outer.reset();
    }
    EXPECT_EQ(m_pool->idleConnections(), (QStringList{first, second}));

    // The connection idle longest is handed out next, still open.
    DatabaseConnection again(m_pool);
    EXPECT_EQ(again.database().connectionName(), first);
    EXPECT_TRUE(again.isOpen());
}

// closeIdle keeps the two longest idle connections whatever their age, and of the rest only those
// returned within the last minute.
TEST_F(PoolTest, IdleClosingKeepsTheTwoLongestIdleAndRecentOnes)
{
    const QDateTime start = m_now;
    const QDateTime old = start.addSecs(-90), ancient = start.addSecs(-3600), recent = start.addSecs(-10);
    const struct
    {
        QList<QDateTime> returned;
        QList<int> kept;
    } cases[] = {
        {{old, old, recent, recent, recent}, {0, 1, 2, 3, 4}},
        {{old, old, old, recent, recent}, {0, 1, 3, 4}},
        {{ancient, ancient, ancient}, {0, 1}},
    };
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<DatabaseConnection>> held;
        QStringList names, kept;
        for (int i = 0; i < c.returned.size(); ++i) {
            held.push_back(std::make_unique<DatabaseConnection>(m_pool));
            names << held.back()->database().connectionName();
        }
        for (int i = 0; i < c.returned.size(); ++i) {
            m_now = c.returned[i];
            held[size_t(i)].reset();
        }
        for (int i : c.kept)
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
}

TEST_F(PoolTest, SecondInitFailsAndKeepsTheFirstRegistration)
{
    QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
    other.setDatabaseName(m_dir.filePath(QStringLiteral("other.db")));
    ASSERT_TRUE(other.open());
    LogCapture log;
    EXPECT_FALSE(m_pool->initDatabase(other));
    EXPECT_TRUE(log.contains(QStringLiteral("DatabasePool: error on init database. default pool database already init")));
    EXPECT_TRUE(m_pool->isInit());
    EXPECT_TRUE(QSqlDatabase::database(m_pool->masterName(), false).databaseName().endsWith(QStringLiteral("pool.db")));
    other = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("other"));

    DatabasePool fresh;
    EXPECT_FALSE(fresh.initDatabase(QSqlDatabase()));
    EXPECT_TRUE(log.contains(QStringLiteral("DatabasePool: error on init database. database is not valid")));
    EXPECT_FALSE(fresh.isInit());
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

class DefaultPoolThreadsTest : public rpxtest::RepositoryTest
{
};

TEST_P(DefaultPoolThreadsTest, EightThreadsRunAThousandStatementsEach)
{
    ASSERT_TRUE(
        DatabaseConnection(pool()).query().exec(QStringLiteral("create table counter (thread integer, n integer)")));
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i) {
                // Writes and reads alternate, each on a connection taken from the pool afresh.
                DatabaseConnection connection(DatabasePool::defaultPool());
                QSqlQuery query = connection.query();
                query.prepare(i % 2 == 0 ? QStringLiteral("insert into counter (thread, n) values (:t, :n)")
                                         : QStringLiteral("select count(*) from counter where thread = :t"));
                query.bindValue(QStringLiteral(":t"), t);
                if (i % 2 == 0)
                    query.bindValue(QStringLiteral(":n"), i);
                succeeded += ExecQuery(query).exec() == Result::Ok ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(succeeded.load(), 8000);

    DatabaseConnection connection(pool());
    QSqlQuery query = connection.query();
    ASSERT_TRUE(query.exec(QStringLiteral("select count(*) from counter")));
    ASSERT_TRUE(query.next());
    EXPECT_EQ(query.value(0).toInt(), 4000);
}

RPX_ON_BOTH_ENGINES(DefaultPoolThreadsTest);
