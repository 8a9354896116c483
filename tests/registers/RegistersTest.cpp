#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/agent/Identity.h>
#include <rpxRepository/registers/AgentVersions.h>
#include <rpxRepository/registers/PlanName.h>
#include <rpxRepository/registers/Statistics.h>

#include <ctime>

using namespace RPX::SQL;
using RPX::Info::Plan::SubType;

// Runs with a local time zone and, on PostgreSQL, a session time zone that are not UTC: the dates
// the registers stamp must still come back as the UTC moment they were written at.
class RegistersTest : public rpxtest::RepositoryTest
{
protected:
    void SetUp() override
    {
        m_zone = std::make_unique<rpxtest::ScopedEnv>("TZ", "Asia/Tokyo");
        tzset();
        rpxtest::RepositoryTest::SetUp();
        if (postgres() && !HasFatalFailure() && !IsSkipped()) {
            DatabaseConnection connection(pool());
            ASSERT_TRUE(connection.query().exec("SET TIME ZONE 'America/New_York'"));
        }
    }
    void TearDown() override
    {
        rpxtest::RepositoryTest::TearDown();
        m_zone.reset();
        tzset();
    }
    static QDateTime nowSecond() { return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC); }

    std::unique_ptr<rpxtest::ScopedEnv> m_zone;
    QPointer<DatabasePool> m_none;
    DatabaseConnection closed{m_none};
};

TEST_P(RegistersTest, PlanNamesAreKeptOnePerPlan)
{
    DatabaseConnection connection(pool());
    const QUuid daily = QUuid::createUuid();
    const QUuid weekly = QUuid::createUuid();
    ASSERT_TRUE(PlanName::update(daily, "Daily", SubType::ImageBased, connection));
    ASSERT_TRUE(PlanName::update(weekly, "Weekly 'full'", SubType::Generation, connection));
    ASSERT_TRUE(PlanName::update(daily, "Daily files", SubType::FileLevel, connection));

    QMap<QUuid, QPair<QString, SubType>> plans;
    for (const auto& plan : PlanName::select(connection))
        plans.insert(plan->id(), {plan->name(), plan->type()});
    // SQLite replaces the whole row; PostgreSQL renames and keeps the type it had.
    EXPECT_EQ(plans, (QMap<QUuid, QPair<QString, SubType>>{
                         {daily, {"Daily files", postgres() ? SubType::ImageBased : SubType::FileLevel}},
                         {weekly, {"Weekly 'full'", SubType::Generation}}}));

    EXPECT_FALSE(PlanName::update(daily, "x", SubType::FileLevel, closed));
    EXPECT_TRUE(PlanName::select(closed).isEmpty());
}

TEST_P(RegistersTest, StatisticsCountFeatureUses)
{
    DatabaseConnection connection(pool());
    rpxtest::LogCapture log;
    Statistics restore;
    restore.setFeatureName("restore");
    // Refused before any statement runs: no id, or no connection.
    EXPECT_EQ(restore.insert(connection), Result::Error);
    EXPECT_EQ(Statistics::update(0, connection), Result::Error);
    restore.setId(42);
    EXPECT_EQ(restore.insert(closed), Result::Error);
    EXPECT_EQ(Statistics::update(42, closed), Result::Error);
    EXPECT_EQ(Statistics::select(closed).second, Result::Error);
    EXPECT_TRUE(log.lines().isEmpty());

    ASSERT_EQ(restore.insert(connection), Result::Ok);
    EXPECT_EQ(restore.id(), 42u);
    const QDateTime before = nowSecond();
    ASSERT_EQ(Statistics::update(42, connection), Result::Ok);
    ASSERT_EQ(Statistics::update(42, connection), Result::Ok);
    const QDateTime after = nowSecond();
    // An unknown feature is not created by counting it.
    EXPECT_NE(Statistics::update(7, connection), Result::Ok);

    auto rows = Statistics::select(connection);
    ASSERT_EQ(rows.second, Result::Ok);
    ASSERT_EQ(rows.first.size(), 1);
    const Statistics& counted = *rows.first[0];
    EXPECT_EQ(std::make_tuple(counted.featureName(), counted.counter(), counted.lastUseDate().timeSpec()),
              std::make_tuple(QString("restore"), 2, Qt::UTC));
    EXPECT_GE(counted.lastUseDate(), before);
    EXPECT_LE(counted.lastUseDate(), after);
}

TEST_P(RegistersTest, AgentVersionsNewestInstallWins)
{
    DatabaseConnection connection(pool());
    auto none = AgentVersions::lastVersion(connection);
    EXPECT_TRUE(none.second == Result::Ok && !none.first);

    AgentVersions current;
    current.setVersion(QVersionNumber({7, 4, 1, 120}));
    const QDateTime before = nowSecond();
    ASSERT_EQ(current.insert(connection), Result::Ok);
    const QDateTime after = nowSecond().addSecs(1);
    // Appended later but installed earlier: does not count as the last version.
    QSqlQuery older = connection.query();
    older.prepare("insert into agent_versions (version, install_date_utc, architecture) values (:version, :date, 9)");
    older.bindValue(":version", "6.9");
    older.bindValue(":date", QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC));
    ASSERT_TRUE(older.exec());

    auto last = AgentVersions::lastVersion(connection);
    ASSERT_EQ(last.second, Result::Ok);
    ASSERT_TRUE(last.first);
    const AgentVersions& agent = *last.first;
    EXPECT_EQ(std::make_tuple(agent.version().toString(), agent.architecture(), agent.installDate().timeSpec()),
              std::make_tuple(QString("7.4.1.120"), KTL::Core::currentCpuArchitecture(), Qt::UTC));
    EXPECT_GE(agent.installDate(), before);
    EXPECT_LE(agent.installDate(), after);

    EXPECT_EQ(current.insert(closed), Result::Error);
    EXPECT_EQ(AgentVersions::lastVersion(closed).second, Result::Error);
}

RPX_ON_BOTH_ENGINES(RegistersTest);
