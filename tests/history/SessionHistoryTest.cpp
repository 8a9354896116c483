#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/history/SessionHistory.h>

#include <QSqlQuery>
#include <QVariant>

using namespace RPX::SQL;
using RPX::Info::Plan::PlanResult;

namespace {

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC);
}

QList<unsigned long long> ids(const QList<QSharedPointer<SessionHistory>>& rows)
{
    QList<unsigned long long> result;
    for (const auto& row : rows)
        result << row->id();
    return result;
}

// Every field as text, to compare whole rows; dates keep their time spec.
QStringList fields(const SessionHistory& row)
{
    QStringList numbers;
    for (unsigned long long value :
         {row.id(), row.destinationId(), row.duration(), row.uploadedCount(), row.uploadedSize(), row.scannedCount(),
          row.scannedSize(), row.purgedCount(), row.totalCount(), row.totalSize(), row.failedCount(),
          row.processorTime(), row.peerMemmoryUsage()})
        numbers << QString::number(value);
    return numbers + QStringList{row.palnId().toString(), row.dateStart().toString(Qt::ISODate),
                                 QString::number(row.result().value()), QString::number(row.diffSize()),
                                 row.errorMessage(), row.detailedReportUrl(), row.steps()};
}

bool run(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql);
}

}  // namespace

class SessionHistoryTest : public rpxtest::RepositoryTest
{
protected:
    // Three plans, two runs a month each from January to June 2023, in start order.
    void insertRunsOfThreePlans(DatabaseConnection& connection)
    {
        for (int month = 1; month <= 6; ++month) {
            for (int day : {5, 20}) {
                for (int plan = 0; plan < 3; ++plan) {
                    SessionHistory run;
                    run.setPalnId(plans[plan]);
                    run.setDestinationId(plan + 1);
                    run.setDateStart(utc(2023, month, day, 10 + plan));
                    ASSERT_TRUE(run.insert(connection));
                    runs << run.id();
                }
            }
        }
    }

    const QList<QUuid> plans = {QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid()};
    QList<unsigned long long> runs;  // ids in start order
};

TEST_P(SessionHistoryTest, DefaultRowAndFullRowRoundTrip)
{
    DatabaseConnection connection(pool());
    SessionHistory fresh;
    ASSERT_TRUE(fresh.insert(connection));
    ASSERT_GT(fresh.id(), 0u);
    auto stored = SessionHistory::selectById(fresh.id(), connection);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->diffSize(), -1);
    EXPECT_EQ(stored->result().value(), 2);
    EXPECT_TRUE(stored->palnId().isNull());
    EXPECT_FALSE(stored->dateStart().isValid());
    EXPECT_TRUE(stored->errorMessage().isEmpty());
    EXPECT_TRUE(stored->steps().isEmpty());

    const QUuid plan = QUuid::createUuid();
    const unsigned long long big = 5000000000000ULL;
    stored->setDestinationId(7);
    stored->setPalnId(plan);
    stored->setDateStart(utc(2024, 1, 31, 23, 59).addSecs(7));
    stored->setDuration(3600);
    stored->setResult(PlanResult::Failed);
    stored->setUploadedCount(11);
    stored->setUploadedSize(big + 1);
    stored->setScannedCount(12);
    stored->setScannedSize(big + 2);
    stored->setPurgedCount(13);
    stored->setTotalCount(14);
    stored->setTotalSize(big + 3);
    stored->setFailedCount(15);
    stored->setErrorMessage(QStringLiteral("Access denied: 'C:\\data'"));
    stored->setProcessorTime(16);
    stored->setPeerMemmoryUsage(big + 4);
    stored->setDiffSize(-(long long)big);
    stored->setDetailedReportUrl(QStringLiteral("https://reports/1?a=b"));
    stored->setSteps(QStringLiteral("{\"scan\":1}"));
    ASSERT_TRUE(stored->update(connection));

    auto updated = SessionHistory::selectById(fresh.id(), connection);
    ASSERT_TRUE(updated);
    EXPECT_EQ(fields(*updated), fields(*stored));

    // The plan id is stored in the form the plan lookups search for.
    auto last = SessionHistory::selectLast(plan, connection);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->id(), fresh.id());
}

TEST_P(SessionHistoryTest, MissingRowsAndClosedConnections)
{
    DatabaseConnection connection(pool());
    EXPECT_FALSE(SessionHistory::selectLast(QUuid::createUuid(), connection));
    EXPECT_FALSE(SessionHistory::selectById(12345, connection));
    EXPECT_TRUE(SessionHistory::selectLast(5, 0, connection).isEmpty());

    // Updating an id that does not exist is not an error.
    SessionHistory ghost;
    ghost.setId(999);
    EXPECT_TRUE(ghost.update(connection));
    EXPECT_FALSE(SessionHistory::selectById(999, connection));

    {
        rpxtest::LogCapture log;
        EXPECT_FALSE(SessionHistory::selectById(0, connection));
        EXPECT_TRUE(log.lines().isEmpty());
    }

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    rpxtest::LogCapture log;
    SessionHistory row;
    EXPECT_FALSE(row.insert(closed));
    EXPECT_EQ(row.id(), 0u);
    row.setId(1);
    EXPECT_FALSE(row.update(closed));
    EXPECT_FALSE(SessionHistory::selectLast(QUuid::createUuid(), closed));
    EXPECT_FALSE(SessionHistory::selectById(1, closed));
    EXPECT_TRUE(SessionHistory::selectLast(5, 0, closed).isEmpty());
    EXPECT_TRUE(SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 0, 0, closed).isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_P(SessionHistoryTest, LatestRunsAndPagesFromTheNewest)
{
    DatabaseConnection connection(pool());
    insertRunsOfThreePlans(connection);
    ASSERT_EQ(runs.size(), 36);

    auto last = SessionHistory::selectLast(plans[1], connection);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->id(), runs[34]);
    EXPECT_EQ(last->dateStart(), utc(2023, 6, 20, 11));
    EXPECT_EQ(last->destinationId(), 2u);

    EXPECT_EQ(ids(SessionHistory::selectLast(2, 0, connection)), (QList<unsigned long long>{runs[34], runs[35]}));
    EXPECT_EQ(ids(SessionHistory::selectLast(3, 2, connection)),
              (QList<unsigned long long>{runs[31], runs[32], runs[33]}));
    EXPECT_TRUE(SessionHistory::selectLast(0, 0, connection).isEmpty());
    EXPECT_TRUE(SessionHistory::selectLast(5, 36, connection).isEmpty());
}

TEST_P(SessionHistoryTest, SelectFiltersByPlanAndPeriodNewestStartFirst)
{
    DatabaseConnection connection(pool());
    insertRunsOfThreePlans(connection);

    // Everything, newest start first.
    auto all = SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 0, 0, connection);
    QList<unsigned long long> expected = runs;
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(ids(all), expected);

    // One plan in March and April; both bounds are inclusive.
    auto spring = SessionHistory::select(plans[2], utc(2023, 3, 5, 12), utc(2023, 4, 20, 12), 0, 0, connection);
    EXPECT_EQ(ids(spring), (QList<unsigned long long>{runs[23], runs[20], runs[17], runs[14]}));
    for (const auto& run : spring)
        EXPECT_EQ(run->palnId(), plans[2]);

    // Open end, open start.
    EXPECT_EQ(SessionHistory::select(plans[0], utc(2023, 6, 1), QDateTime(), 0, 0, connection).size(), 2);
    EXPECT_EQ(SessionHistory::select(plans[0], QDateTime(), utc(2023, 1, 31), 0, 0, connection).size(), 2);
    EXPECT_TRUE(SessionHistory::select(QUuid::createUuid(), QDateTime(), QDateTime(), 0, 0, connection).isEmpty());

    // A negative limit does not bound the list.
    EXPECT_EQ(SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 0, -1, connection).size(), 36);
}

TEST_P(SessionHistoryTest, PagingBackwardsWithBeforeIdVisitsEveryRunOnce)
{
    DatabaseConnection connection(pool());
    insertRunsOfThreePlans(connection);

    auto page = SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 30, 10, connection);
    ASSERT_EQ(page.size(), 10);
    for (const auto& run : page)
        EXPECT_LT(run->id(), 30u);
    for (int i = 1; i < page.size(); ++i)
        EXPECT_GE(page[i - 1]->dateStart(), page[i]->dateStart());

    // One plan, page by page, until nothing is left.
    QList<unsigned long long> visited;
    long long before = 0;
    for (int pages = 0; pages < 10; ++pages) {
        auto rows = SessionHistory::select(plans[1], utc(2023, 2, 1), utc(2023, 5, 31), before, 3, connection);
        if (rows.isEmpty())
            break;
        EXPECT_LE(rows.size(), 3);
        visited << ids(rows);
        before = (long long)rows.last()->id();
    }
    QList<unsigned long long> expected;
    for (int i = runs.size() - 1; i >= 0; --i) {
        if (i % 3 == 1 && i / 6 >= 1 && i / 6 <= 4)
            expected << runs[i];
    }
    EXPECT_EQ(visited, expected);
}

TEST_P(SessionHistoryTest, NullColumnsReadAsZeroOrEmpty)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(run(connection, QStringLiteral("insert into session_history(plan_id, date_start_utc) "
                                               "values ('not-a-uuid', 20230101000000)")));
    auto rows = SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 0, 0, connection);
    ASSERT_EQ(rows.size(), 1);
    auto byId = SessionHistory::selectById(rows[0]->id(), connection);
    ASSERT_TRUE(byId);
    for (const auto& row : {rows[0], byId}) {
        EXPECT_EQ(row->duration(), 0u);
        EXPECT_EQ(row->uploadedCount(), 0u);
        EXPECT_EQ(row->uploadedSize(), 0u);
        EXPECT_EQ(row->errorMessage(), QString());
        EXPECT_EQ(row->steps(), QString());
        EXPECT_EQ(row->result().value(), 0);
        EXPECT_EQ(row->diffSize(), -1);  // the column default
        EXPECT_TRUE(row->palnId().isNull());
        EXPECT_EQ(row->dateStart(), utc(2023, 1, 1));
    }
}

TEST_P(SessionHistoryTest, UpgradeFromNineAddsTheStepsColumn)
{
    EXPECT_TRUE(SessionHistory::update(QVersionNumber(0, 10)).isEmpty());
    EXPECT_TRUE(SessionHistory::update(QVersionNumber(0, 11)).isEmpty());
    EXPECT_TRUE(SessionHistory::update(QVersionNumber(0, 8)).isEmpty());

    // A 0.9 table: today's columns without steps.
    DatabaseConnection connection(pool());
    QString old = SessionHistory::createTable(GetParam());
    old.replace(QStringLiteral(", steps text default NULL"), QString());
    ASSERT_TRUE(run(connection, QStringLiteral("drop table session_history")));
    ASSERT_TRUE(run(connection, old));
    ASSERT_TRUE(run(connection, QStringLiteral("insert into session_history(duration) values (5)")));
    SessionHistory withSteps;
    withSteps.setSteps(QStringLiteral("scan"));
    EXPECT_FALSE(withSteps.insert(connection));

    ASSERT_TRUE(run(connection, SessionHistory::update(QVersionNumber(0, 9))));
    auto before = SessionHistory::selectLast(1, 0, connection);
    ASSERT_EQ(before.size(), 1);
    EXPECT_EQ(before[0]->duration(), 5u);
    EXPECT_TRUE(before[0]->steps().isEmpty());
    ASSERT_TRUE(withSteps.insert(connection));
    EXPECT_EQ(SessionHistory::selectById(withSteps.id(), connection)->steps(), QStringLiteral("scan"));
}

RPX_ON_BOTH_ENGINES(SessionHistoryTest);
