#include "catalog/FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/history/SessionHistory.h>

using namespace RPX::SQL;
using filecatalog::run;
using filecatalog::utc;
using RPX::Info::Plan::PlanResult;
using Ids = QList<unsigned long long>;

namespace {

Ids ids(const QList<QSharedPointer<SessionHistory>>& rows)
{
    Ids result;
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

}  // namespace

using SessionHistoryTest = rpxtest::RepositoryTest;

TEST_P(SessionHistoryTest, RoundTripMissingRowsAndClosedConnection)
{
    DatabaseConnection connection(pool());
    SessionHistory fresh;
    ASSERT_TRUE(fresh.insert(connection));
    auto stored = SessionHistory::selectById(fresh.id(), connection);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->diffSize(), -1);
    EXPECT_FALSE(stored->dateStart().isValid());

    // Every column written at once; the sizes go past 32 bits.
    using S = SessionHistory;
    const unsigned long long big = 5000000000000ULL;
    const std::pair<void (S::*)(unsigned long long), unsigned long long> numbers[] = {
        {&S::setDestinationId, 7}, {&S::setDuration, 3600}, {&S::setUploadedCount, 11},
        {&S::setUploadedSize, big + 1}, {&S::setScannedCount, 12}, {&S::setScannedSize, big + 2},
        {&S::setPurgedCount, 13}, {&S::setTotalCount, 14}, {&S::setTotalSize, big + 3},
        {&S::setFailedCount, 15}, {&S::setProcessorTime, 16}, {&S::setPeerMemmoryUsage, big + 4}};
    for (const auto& [set, value] : numbers)
        (stored.data()->*set)(value);
    const QUuid plan = QUuid::createUuid();
    stored->setPalnId(plan);
    stored->setDateStart(utc(2024, 1, 31, 23, 59, 7));
    stored->setResult(PlanResult::Failed);
    stored->setErrorMessage(QStringLiteral("Access denied: 'C:\\data'"));
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

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    rpxtest::LogCapture log;
    EXPECT_FALSE(SessionHistory::selectLast(QUuid::createUuid(), connection) || SessionHistory::selectById(0, connection));
    // Updating an id that does not exist is not an error, and creates nothing.
    SessionHistory ghost;
    ghost.setId(999);
    EXPECT_TRUE(ghost.update(connection));
    EXPECT_FALSE(SessionHistory::selectById(999, connection));

    EXPECT_FALSE(SessionHistory().insert(closed) || ghost.update(closed) ||
                 SessionHistory::selectLast(QUuid::createUuid(), closed) || SessionHistory::selectById(1, closed));
    EXPECT_TRUE(SessionHistory::selectLast(5, 0, closed).isEmpty() &&
                SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 0, 0, closed).isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_P(SessionHistoryTest, SelectsByPlanPeriodAndPage)
{
    DatabaseConnection connection(pool());
    // Runs on the 5th and 20th of January to April, inserted in start order; run i is of plan i % 2.
    const QUuid plans[] = {QUuid::createUuid(), QUuid::createUuid()};
    Ids runs;
    for (int i = 0; i < 16; ++i) {
        SessionHistory run;
        run.setPalnId(plans[i % 2]);
        run.setDateStart(utc(2023, 1 + i / 4, i % 4 < 2 ? 5 : 20, 10 + i % 2));
        ASSERT_TRUE(run.insert(connection));
        runs << run.id();
    }
    ASSERT_TRUE(SessionHistory::selectLast(plans[0], connection));
    EXPECT_EQ(SessionHistory::selectLast(plans[0], connection)->id(), runs[14]);
    // The newest runs, oldest of them first.
    EXPECT_EQ(ids(SessionHistory::selectLast(3, 2, connection)), (Ids{runs[11], runs[12], runs[13]}));

    Ids newestFirst = runs;
    std::reverse(newestFirst.begin(), newestFirst.end());
    EXPECT_EQ(ids(SessionHistory::select(QUuid(), QDateTime(), QDateTime(), 0, -1, connection)), newestFirst);
    // Both bounds are inclusive.
    EXPECT_EQ(ids(SessionHistory::select(plans[1], utc(2023, 2, 5, 11), utc(2023, 3, 20, 11), 0, 0, connection)),
              (Ids{runs[11], runs[9], runs[7], runs[5]}));
    EXPECT_EQ(SessionHistory::select(plans[0], utc(2023, 4, 1), QDateTime(), 0, 0, connection).size(), 2);

    // Paging backwards from the last id seen.
    const auto page = [&](long long before) {
        return ids(SessionHistory::select(plans[1], utc(2023, 2, 1), utc(2023, 3, 31), before, 3, connection));
    };
    EXPECT_EQ(page(0), (Ids{runs[11], runs[9], runs[7]}));
    EXPECT_EQ(page(runs[7]), (Ids{runs[5]}));
}

TEST_P(SessionHistoryTest, UpgradeFromNineAddsTheStepsColumn)
{
    for (int minor : {8, 10, 11})
        EXPECT_TRUE(SessionHistory::update(QVersionNumber(0, minor)).isEmpty()) << minor;

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
