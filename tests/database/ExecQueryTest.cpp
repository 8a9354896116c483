#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/Utitlity.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QTemporaryDir>
#include <QVariant>
#include <memory>

using namespace RPX::SQL;
using rpxtest::LogCapture;

// Retries rest on the class: a locked table is busy like a locked file. A code that cannot be read
// or is not known is Unknown, with a warning.
TEST(SQLiteResultCodesTest, LockedIsBusyAndUnknownCodesAreReported)
{
    const auto to = [](const char* code) {
        return SQLiteResultCodes::to(QSqlError(QStringLiteral("driver"), QStringLiteral("database"),
                                               QSqlError::StatementError, QLatin1String(code)));
    };
    EXPECT_EQ(SQLiteResultCodes::to(QSqlError()), Result::Ok);
    EXPECT_EQ(to("5"), Result::Busy);
    EXPECT_EQ(to("6"), Result::Busy);
    LogCapture log;
    EXPECT_EQ(to("abc"), Result::Unknown);
    EXPECT_TRUE(log.contains(QStringLiteral("Unknown sqlite return nativeErrorCode: 0")));
    EXPECT_EQ(to("24"), Result::Unknown);
    EXPECT_TRUE(log.contains(QStringLiteral("Unknown sqlite return code: 24")));
}

// Read-back dates come as local times: they are marked UTC without converting, and lose their milliseconds.
TEST(UtitlityTest, ModifiedDateTimeMarksUtcWithoutConverting)
{
    const QDateTime local(QDate(2024, 6, 1), QTime(10, 15, 30, 250), Qt::OffsetFromUTC, 7200);
    const QDateTime result = Utitlity::modifiedDateTime(local);
    EXPECT_EQ(result.timeSpec(), Qt::UTC);
    EXPECT_EQ(result, QDateTime(QDate(2024, 6, 1), QTime(10, 15, 30), Qt::UTC));
}

using ExecQueryTest = rpxtest::RepositoryTest;

// A statement that goes through is silent unless it is slow; one that fails is logged with its
// statement and values, and retried on PostgreSQL only.
TEST_P(ExecQueryTest, SlowAndFailedStatementsAreLogged)
{
    DatabaseConnection connection(pool());
    QSqlQuery query = connection.query();
    query.prepare(QStringLiteral("select repository_version from metadata where repository_version = :v"));
    query.bindValue(QStringLiteral(":v"), QStringLiteral("0.11"));
    LogCapture log;
    EXPECT_EQ(ExecQuery(query).exec(), Result::Ok);
    ASSERT_TRUE(query.next());
    EXPECT_EQ(query.value(0).toString(), QStringLiteral("0.11"));
    EXPECT_TRUE(log.lines().isEmpty());

    ExecQuery::setElapsedFunction([](const QElapsedTimer&) { return qint64(11000); });
    EXPECT_EQ(ExecQuery(query).exec(), Result::Ok);
    ExecQuery::setElapsedFunction({});
    ASSERT_EQ(log.lines().size(), 1);
    const QString slow = log.texts().first();
    EXPECT_TRUE(slow.startsWith(QStringLiteral("Slow SQL query. timeout: 11000 \n select repository_version from "
                                               "metadata where repository_version = :v")))
        << slow.toStdString();
    EXPECT_TRUE(slow.contains(QStringLiteral("\nresult code:"))) << slow.toStdString();
    EXPECT_TRUE(slow.endsWith(QStringLiteral("\n#####################################"))) << slow.toStdString();

    log.clear();
    query.prepare(QStringLiteral("insert into no_such_table(a) values (:a)"));
    query.bindValue(QStringLiteral(":a"), 42);
    // How often and after which pauses a failure is retried: StressTest and ExecQueryBusyTest.
    EXPECT_EQ(ExecQuery(query).exec(), postgres() ? Result::RetryLimit : Result::Error);
    const QString first = log.texts().value(0);
    EXPECT_TRUE(first.startsWith(QStringLiteral("Error on exec sql query:"))) << first.toStdString();
    for (const char* part : {"\n\tdatabase text:", "\n\tdriver text:", "\n\terror code:", "\n\terror query:",
                             "no_such_table", "\n\tvalues: QMap(", "\n\ttimeout:"})
        EXPECT_TRUE(first.contains(QLatin1String(part))) << part;
}

RPX_ON_BOTH_ENGINES(ExecQueryTest);

// Another connection holds the write lock: the statement fails busy and is retried after pauses of
// 2, 4 and 6 s; it goes through once the lock is let go during a pause, and gives up otherwise.
TEST(ExecQueryBusyTest, BusyDatabaseIsRetriedAfterPausesThenGivesUp)
{
    QTemporaryDir dir;
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(dir.filePath(QStringLiteral("busy.db")));
        ASSERT_TRUE(holder.open());
        QSqlQuery hold(holder);
        ASSERT_TRUE(hold.exec(QStringLiteral("create table t (a integer)")));
        QSqlDatabase waiter = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("waiter"));
        waiter.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        waiter.setDatabaseName(holder.databaseName());
        ASSERT_TRUE(waiter.open());
        QSqlQuery query(waiter);
        query.prepare(QStringLiteral("insert into t values (1)"));

        // Pauses are recorded instead of slept; the first ones let the lock go.
        bool release = true;
        std::vector<int> pauses;
        std::shared_ptr<void> restore(nullptr, [](void*) { ExecQuery::setSleepFunction([](int) {}); });
        ExecQuery::setSleepFunction([&](int ms) {
            pauses.push_back(ms);
            EXPECT_TRUE(!release || hold.exec(QStringLiteral("commit")));
        });
        ASSERT_TRUE(hold.exec(QStringLiteral("begin exclusive")));
        LogCapture log;
        EXPECT_EQ(ExecQuery(query).exec(), Result::Ok);
        EXPECT_EQ(pauses, std::vector<int>{2000});
        EXPECT_EQ(log.count(QStringLiteral("Error on exec sql query:")), 1);
        EXPECT_EQ(log.texts().filter(QStringLiteral("Go to retry sql query:")),
                  QStringList{QStringLiteral("[!] Go to retry sql query: 0 / 3")});

        release = false;
        pauses.clear();
        log.clear();
        ASSERT_TRUE(hold.exec(QStringLiteral("begin exclusive")));
        EXPECT_EQ(ExecQuery(query).exec(), Result::RetryLimit) << log.texts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(pauses, (std::vector<int>{2000, 4000, 6000}));
        EXPECT_EQ(log.count(QStringLiteral("Error on exec sql query:")), 4);
        EXPECT_EQ(log.texts().filter(QStringLiteral("Go to retry sql query:")).value(2),
                  QStringLiteral("[!] Go to retry sql query: 2 / 3"));
        // Giving up leaves the statement usable: with the lock gone it goes through.
        ASSERT_TRUE(hold.exec(QStringLiteral("commit")));
        EXPECT_EQ(ExecQuery(query).exec(), Result::Ok);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    QSqlDatabase::removeDatabase(QStringLiteral("waiter"));
}
