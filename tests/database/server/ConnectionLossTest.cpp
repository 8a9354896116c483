// A PostgreSQL server that ends sessions, restarts or stops under a running client.
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/Transaction.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QSet>
#include <QThread>
#include <atomic>
#include <iostream>
#include <mutex>

using namespace RPX::SQL;
using rpxtest::LogCapture;

namespace {

// Through a Statement: the connection may itself have lost its session while idle.
QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    Statement statement(connection, sql);
    return statement.exec() == Result::Ok && statement.next() ? statement.query().value(0) : QVariant();
}

unsigned long long registerVersion(DatabaseConnection& connection, const QString& path)
{
    CloudFileVersion version;
    version.setPath(path);
    version.setDateModified(QDateTime(QDate(2024, 1, 1), QTime(12, 0), Qt::UTC));
    version.setCloudPath(path.toUtf8());
    return version.insert(1, connection) ? version.id() : 0;
}

// Runs pg_ctl on the test server: RPX_TEST_PGCTL holds the command with its data folder and log.
bool pgCtl(const QStringList& arguments)
{
    QStringList command = qEnvironmentVariable("RPX_TEST_PGCTL").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (command.isEmpty())
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    const QString program = command.takeFirst();
    process.start(program, command + arguments);
    return process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

class ConnectionLossTest : public rpxtest::RepositoryTest
{
protected:
    void SetUp() override
    {
        RepositoryTest::SetUp();
        ExecQuery::setSleepFunction([this](int milliseconds) { m_pauses.push_back(milliseconds); });
    }
    void TearDown() override
    {
        ExecQuery::setSleepFunction({});
        RepositoryTest::TearDown();
    }

    // Ends every session of this test's database but the caller's own.
    void endSessions()
    {
        QString error;
        ASSERT_TRUE(rpxtest::runOnTestServer(
            QStringLiteral("select pg_terminate_backend(pid) from pg_stat_activity where datname = '%1'")
                .arg(pgDatabase()), &error)) << error.toStdString();
    }
    void requireServerControl()
    {
        if (qEnvironmentVariableIsEmpty("RPX_TEST_PGCTL"))
            GTEST_SKIP() << "RPX_TEST_PGCTL is not set; run the tests through ./dev test";
    }

    std::vector<int> m_pauses;
};

TEST_P(ConnectionLossTest, EndedSessionsCostNoRegistration)
{
    constexpr int Threads = 4;
    constexpr int PerThread = 150;
    LogCapture log;
    std::mutex lock;
    QSet<unsigned long long> acknowledged;
    std::atomic<int> failures{0};
    {
        // Each thread registers under folders of its own: only the server's doing can make one fail.
        DatabaseConnection connection(pool());
        for (int t = 0; t < Threads; ++t) {
            for (int d = 0; d < 7; ++d)
                ASSERT_TRUE(CloudFolder::selectOrInsert(1, QStringLiteral("/loss/t%1/d%2").arg(t).arg(d), connection));
        }
    }
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back(QThread::create([&, t] {
            for (int i = 0; i < PerThread; ++i) {
                // The first thread ends every session of the database now and then, the others' mid-work.
                if (t == 0 && i % 25 == 10)
                    endSessions();
                DatabaseConnection connection(pool());
                const unsigned long long id =
                    registerVersion(connection, QStringLiteral("/loss/t%1/d%2/f%3").arg(t).arg(i % 7).arg(i));
                std::lock_guard<std::mutex> guard(lock);
                if (id == 0)
                    ++failures;
                else
                    acknowledged.insert(id);
            }
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        thread->wait();

    EXPECT_EQ(failures.load(), 0);
    DatabaseConnection connection(pool());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files")).toInt(), Threads * PerThread);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(distinct local_path) from cloud_files")).toInt(),
              Threads * PerThread);
    for (const unsigned long long id : qAsConst(acknowledged))
        EXPECT_TRUE(CloudFileVersion::selectById(id, connection)) << id;
    EXPECT_EQ(acknowledged.size(), Threads * PerThread);
    // Reconnecting is immediate: no pause of the retry ladder, and no statement of an old session run again.
    EXPECT_TRUE(m_pauses.empty());
    EXPECT_GT(log.count(QStringLiteral("opening it again")), 0);
    EXPECT_EQ(log.count(QStringLiteral("does not exist")), 0);
}

TEST_P(ConnectionLossTest, SessionLostInsideATransactionLosesTheTransactionOnly)
{
    DatabaseConnection connection(pool());
    {
        Transaction transaction(connection);
        ASSERT_TRUE(transaction.isActive());
        ASSERT_NE(registerVersion(connection, QStringLiteral("/tx/a")), 0u);
        endSessions();
        EXPECT_EQ(registerVersion(connection, QStringLiteral("/tx/b")), 0u);
        // Nothing is replayed on a new session behind the transaction's back.
        EXPECT_EQ(Statement(connection, QStringLiteral("select 1")).exec(), Result::Error);
        EXPECT_FALSE(transaction.commit());
    }
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files")).toInt(), 0);

    // The next transaction on the same connection runs on a new session with the connection's settings,
    // also when that session too was ended while the connection was idle.
    endSessions();
    Transaction next(connection);
    ASSERT_TRUE(next.isActive());
    ASSERT_NE(registerVersion(connection, QStringLiteral("/tx/c")), 0u);
    EXPECT_EQ(scalar(connection, QStringLiteral("select current_setting('plan_cache_mode')")).toString(),
              QStringLiteral("force_custom_plan"));
    EXPECT_TRUE(next.commit());
    DatabaseConnection other(pool());
    EXPECT_EQ(scalar(other, QStringLiteral("select count(*) from cloud_files")).toInt(), 1);
    EXPECT_TRUE(m_pauses.empty());
}

// A batch whose session ends half-way keeps nothing and says so; the next batch on the same
// connection, and one after a session ended while idle, go through on a new session.
TEST_P(ConnectionLossTest, SessionLostInsideABatchLosesThatBatchOnly)
{
    const auto batchOf = [](const QString& folder) {
        QVector<CloudFileVersion> batch(50);
        for (int i = 0; i < batch.size(); ++i) {
            batch[i].setPath(QStringLiteral("%1/f%2").arg(folder).arg(i));
            batch[i].setDateModified(QDateTime(QDate(2024, 1, 1), QTime(12, 0), Qt::UTC).addSecs(i));
        }
        return batch;
    };
    DatabaseConnection connection(pool());
    QVector<CloudFileVersion> first = batchOf(QStringLiteral("/batch/first"));
    // The sessions end when the new files' ids are drawn: after the lookup, before any row is copied.
    bool ended = false;
    ExecQuery::setStatementObserver([&](const QString& statement) {
        if (!ended && statement.contains(QLatin1String("nextval"))) {
            ended = true;
            endSessions();
        }
    });
    EXPECT_EQ(CloudFileVersion::insertBatch(1, first, connection), Result::Error);
    ExecQuery::setStatementObserver({});
    ASSERT_TRUE(ended);
    EXPECT_EQ(first.first().id(), 0u);

    QVector<CloudFileVersion> second = batchOf(QStringLiteral("/batch/second"));
    EXPECT_EQ(CloudFileVersion::insertBatch(1, second, connection), Result::Ok);
    endSessions();
    QVector<CloudFileVersion> third = batchOf(QStringLiteral("/batch/third"));
    EXPECT_EQ(CloudFileVersion::insertBatch(1, third, connection), Result::Ok);
    // Versions of known files, one copy outside any transaction, after a session ended while idle.
    endSessions();
    for (CloudFileVersion& version : third)
        version.setDateModified(version.dateModified().addDays(1));
    EXPECT_EQ(CloudFileVersion::insertBatch(1, third, connection), Result::Ok);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files")).toInt(), 100);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_file_versions")).toInt(), 150);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files where local_path like "
                                                "'/batch/first/%'")).toInt(), 0);
    EXPECT_TRUE(m_pauses.empty());
}

TEST_P(ConnectionLossTest, ServerRestartedOrStoppedUnderARunningClient)
{
    requireServerControl();
    LogCapture log;
    // Connections with prepared statements wait in the pool, one of them held across everything.
    DatabaseConnection held(pool());
    ASSERT_NE(registerVersion(held, QStringLiteral("/restart/before")), 0u);
    {
        DatabaseConnection second(pool());
        ASSERT_NE(registerVersion(second, QStringLiteral("/restart/before2")), 0u);
    }

    ASSERT_TRUE(pgCtl({QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("restart")}));
    QElapsedTimer backToWork;
    backToWork.start();
    int registered = 0;
    for (int i = 0; i < 40; ++i) {
        DatabaseConnection connection(pool());
        registered += registerVersion(i % 2 ? connection : held, QStringLiteral("/restart/f%1").arg(i)) != 0;
        if (i == 0)
            std::cout << "back to work " << backToWork.elapsed() << " ms after the server accepted connections\n";
    }
    EXPECT_EQ(registered, 40);
    EXPECT_LT(backToWork.elapsed(), 2000);
    EXPECT_TRUE(m_pauses.empty());

    // Stopped: operations run the retry ladder (no real pauses here) and fail with a clear code.
    ASSERT_TRUE(pgCtl({QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")}));
    struct StartAgain
    {
        bool pending = true;
        ~StartAgain()
        {
            if (pending)
                pgCtl({QStringLiteral("-w"), QStringLiteral("start")});
        }
    } startAgain;
    EXPECT_EQ(Statement(held, QStringLiteral("select count(*) from cloud_files")).exec(), Result::RetryLimit);
    EXPECT_EQ(m_pauses, (std::vector<int>{2000, 4000, 6000}));
    {
        DatabaseConnection during(pool());
        EXPECT_EQ(registerVersion(during, QStringLiteral("/restart/during")), 0u);
    }

    startAgain.pending = false;
    ASSERT_TRUE(pgCtl({QStringLiteral("-w"), QStringLiteral("start")}));
    EXPECT_NE(registerVersion(held, QStringLiteral("/restart/after")), 0u);
    DatabaseConnection fresh(pool());
    EXPECT_NE(registerVersion(fresh, QStringLiteral("/restart/after2")), 0u);
    EXPECT_EQ(scalar(fresh, QStringLiteral("select count(*) from cloud_files")).toInt(), 44);
    EXPECT_EQ(log.count(QStringLiteral("does not exist")), 0);
}

INSTANTIATE_TEST_SUITE_P(, ConnectionLossTest, ::testing::Values(rpxtest::DatabaseType::PostgreSQL),
                         rpxtest::engineName);

}  // namespace
