#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/Utitlity.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QTemporaryDir>
#include <QVariant>

using namespace RPX::SQL;
using rpxtest::LogCapture;

namespace {

// Records retry pauses instead of sleeping, for the life of the test.
class PauseRecorder
{
public:
    PauseRecorder()
    {
        ExecQuery::setSleepFunction([this](int ms) { pauses.push_back(ms); });
    }
    ~PauseRecorder() { ExecQuery::setSleepFunction([](int) {}); }
    std::vector<int> pauses;
};

QSqlError sqliteError(const QString& code)
{
    return QSqlError(QStringLiteral("driver"), QStringLiteral("database"), QSqlError::StatementError, code);
}

}  // namespace

TEST(SQLiteResultCodesTest, MapsEveryPrimaryCodeToItsClass)
{
    const std::vector<std::pair<std::vector<int>, int>> table = {
        {{0}, Result::Ok},
        {{1, 2, 4, 7, 9, 21, 22, 26}, Result::Error},
        {{3, 23}, Result::Permission},
        {{5, 6, 15}, Result::Busy},
        {{8}, Result::ReadOnly},
        {{12, 18, 20, 25}, Result::Mismatch},
        {{11, 14, 17}, Result::Corrupt},
        {{19}, Result::Constraint},
        {{10, 13}, Result::IoError},
        {{16, 24, 27, 100, -1}, Result::Unknown},
    };
    for (const auto& [codes, expected] : table) {
        for (int code : codes)
            EXPECT_EQ(SQLiteResultCodes::to(sqliteError(QString::number(code))), expected) << "code " << code;
    }
    EXPECT_EQ(SQLiteResultCodes::to(QSqlError()), Result::Ok);
}

TEST(SQLiteResultCodesTest, UnreadableCodesAreUnknownWithAWarning)
{
    LogCapture log;
    EXPECT_EQ(SQLiteResultCodes::to(sqliteError(QStringLiteral("abc"))), Result::Unknown);
    EXPECT_TRUE(log.contains(QStringLiteral("Unknown sqlite return nativeErrorCode: 0")));
    EXPECT_EQ(SQLiteResultCodes::to(sqliteError(QStringLiteral("24"))), Result::Unknown);
    EXPECT_TRUE(log.contains(QStringLiteral("Unknown sqlite return code: 24")));
}

TEST(UtitlityTest, ModifiedDateTimeDropsMillisecondsAndMarksUtcWithoutConverting)
{
    const QDateTime utc(QDate(2024, 1, 31), QTime(23, 59, 7, 999), Qt::UTC);
    EXPECT_EQ(Utitlity::modifiedDateTime(utc), QDateTime(QDate(2024, 1, 31), QTime(23, 59, 7), Qt::UTC));

    const QDateTime local(QDate(2024, 6, 1), QTime(10, 15, 30, 250), Qt::OffsetFromUTC, 7200);
    const QDateTime result = Utitlity::modifiedDateTime(local);
    EXPECT_EQ(result.timeSpec(), Qt::UTC);
    EXPECT_EQ(result.time(), QTime(10, 15, 30));
    EXPECT_EQ(result.date(), QDate(2024, 6, 1));
    EXPECT_FALSE(Utitlity::modifiedDateTime(QDateTime()).isValid());
}

class ExecQueryTest : public rpxtest::RepositoryTest
{
};

TEST_P(ExecQueryTest, SuccessReturnsOkAndLogsNothing)
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
}

TEST_P(ExecQueryTest, FailureIsLoggedWithStatementAndValues)
{
    DatabaseConnection connection(pool());
    QSqlQuery query = connection.query();
    query.prepare(QStringLiteral("insert into no_such_table(a) values (:a)"));
    query.bindValue(QStringLiteral(":a"), 42);
    PauseRecorder pauses;
    LogCapture log;
    const int result = ExecQuery(query).exec();
    const QString first = log.texts().value(0);
    EXPECT_TRUE(first.startsWith(QStringLiteral("Error on exec sql query:"))) << first.toStdString();
    for (const char* part : {"\n\tdatabase text:", "\n\tdriver text:", "\n\terror code:", "\n\terror query:",
                             "no_such_table", "\n\tvalues: QMap(", "\n\ttimeout:"})
        EXPECT_TRUE(first.contains(QLatin1String(part))) << part;

    if (postgres()) {
        // Every PostgreSQL failure is retried three times.
        EXPECT_EQ(result, Result::RetryLimit);
        EXPECT_EQ(pauses.pauses, (std::vector<int>{2000, 4000, 6000}));
        EXPECT_EQ(log.count(QStringLiteral("Error on exec sql query:")), 4);
    } else {
        EXPECT_EQ(result, Result::Error);
        EXPECT_TRUE(pauses.pauses.empty());
        EXPECT_EQ(log.count(QStringLiteral("Go to retry sql query:")), 0);
    }
}

TEST_P(ExecQueryTest, UniqueViolationFailsOnce)
{
    DatabaseConnection connection(pool());
    QSqlQuery setup = connection.query();
    ASSERT_TRUE(setup.exec(QStringLiteral("create table u (a integer unique)")));
    ASSERT_TRUE(setup.exec(QStringLiteral("insert into u values (1)")));

    QSqlQuery query = connection.query();
    query.prepare(QStringLiteral("insert into u values (:a)"));
    query.bindValue(QStringLiteral(":a"), 1);
    PauseRecorder pauses;
    LogCapture log;
    const int result = ExecQuery(query).exec();
    if (postgres()) {
        EXPECT_EQ(result, Result::RetryLimit);
    } else {
        EXPECT_EQ(result, Result::Constraint);
        EXPECT_EQ(log.count(QStringLiteral("Error on exec sql query:")), 1);
        EXPECT_TRUE(pauses.pauses.empty());
    }
}

TEST_P(ExecQueryTest, SlowStatementIsReportedWithEmptyResultCode)
{
    ExecQuery::setElapsedFunction([](const QElapsedTimer&) { return qint64(11000); });
    DatabaseConnection connection(pool());
    QSqlQuery query = connection.query();
    query.prepare(QStringLiteral("select count(*) from metadata"));
    LogCapture log;
    EXPECT_EQ(ExecQuery(query).exec(), Result::Ok);
    ExecQuery::setElapsedFunction({});
    ASSERT_EQ(log.lines().size(), 1);
    const QString line = log.texts().first();
    EXPECT_TRUE(line.startsWith(QStringLiteral("Slow SQL query. timeout: 11000 \n select count(*) from metadata")))
        << line.toStdString();
    EXPECT_TRUE(line.contains(QStringLiteral("\nresult code:"))) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QStringLiteral("\n#####################################"))) << line.toStdString();
}

RPX_ON_BOTH_ENGINES(ExecQueryTest);

TEST(ExecQueryBusyTest, BusyDatabaseIsRetriedThreeTimesThenGivesUp)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("busy.db"));
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(path);
        ASSERT_TRUE(holder.open());
        QSqlQuery hold(holder);
        ASSERT_TRUE(hold.exec(QStringLiteral("create table t (a integer)")));
        ASSERT_TRUE(hold.exec(QStringLiteral("begin exclusive")));

        QSqlDatabase waiter = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("waiter"));
        waiter.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        waiter.setDatabaseName(path);
        ASSERT_TRUE(waiter.open());
        QSqlQuery query(waiter);
        query.prepare(QStringLiteral("insert into t values (1)"));

        PauseRecorder pauses;
        LogCapture log;
        EXPECT_EQ(ExecQuery(query).exec(), Result::RetryLimit) << log.texts().join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(pauses.pauses, (std::vector<int>{2000, 4000, 6000}));
        EXPECT_EQ(log.count(QStringLiteral("Error on exec sql query:")), 4);
        const QStringList retries = log.texts().filter(QStringLiteral("Go to retry sql query:"));
        EXPECT_EQ(retries, (QStringList{QStringLiteral("[!] Go to retry sql query: 0 / 3"),
                                        QStringLiteral("[!] Go to retry sql query: 1 / 3"),
                                        QStringLiteral("[!] Go to retry sql query: 2 / 3")}));

        // Once the lock is gone the same statement goes through.
        ASSERT_TRUE(hold.exec(QStringLiteral("commit")));
        EXPECT_EQ(ExecQuery(query).exec(), Result::Ok);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));
    QSqlDatabase::removeDatabase(QStringLiteral("waiter"));
}
