#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/agent/Identity.h>
#include <rpxRepository/registers/AgentVersions.h>
#include <rpxRepository/registers/PlanName.h>
#include <rpxRepository/registers/Statistics.h>

#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <ctime>

using namespace RPX::SQL;
using RPX::Info::Plan::SubType;

namespace {

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

QDateTime nowSecond()
{
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
}

}  // namespace

class RegistersTest : public rpxtest::RepositoryTest
{
};

TEST_P(RegistersTest, PlanNamesAreKeptOnePerPlan)
{
    DatabaseConnection connection(pool());
    EXPECT_TRUE(PlanName::select(connection).isEmpty());

    const QUuid daily = QUuid::createUuid();
    const QUuid weekly = QUuid::createUuid();
    ASSERT_TRUE(PlanName::update(daily, QStringLiteral("Daily"), SubType::ImageBased, connection));
    ASSERT_TRUE(PlanName::update(weekly, QStringLiteral("Weekly 'full'"), SubType::Generation, connection));
    ASSERT_TRUE(PlanName::update(daily, QStringLiteral("Daily files"), SubType::FileLevel, connection));

    const auto plans = PlanName::select(connection);
    ASSERT_EQ(plans.size(), 2);
    ASSERT_TRUE(plans.contains(daily));
    EXPECT_EQ(plans[daily]->id(), daily);
    EXPECT_EQ(plans[daily]->name(), QStringLiteral("Daily files"));
    // SQLite replaces the whole row; PostgreSQL renames and keeps the type it had.
    EXPECT_EQ(plans[daily]->type(), postgres() ? SubType::ImageBased : SubType::FileLevel);
    EXPECT_EQ(plans[weekly]->name(), QStringLiteral("Weekly 'full'"));
    EXPECT_EQ(plans[weekly]->type(), SubType::Generation);

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    EXPECT_FALSE(PlanName::update(daily, QStringLiteral("x"), SubType::FileLevel, closed));
    EXPECT_TRUE(PlanName::select(closed).isEmpty());
}

TEST_P(RegistersTest, StatisticsCountFeatureUses)
{
    DatabaseConnection connection(pool());
    EXPECT_TRUE(Statistics::update(QVersionNumber(0, 9), QString()).isEmpty());
    auto empty = Statistics::select(connection);
    EXPECT_EQ(empty.second, Result::Ok);
    EXPECT_TRUE(empty.first.isEmpty());

    Statistics restore;
    restore.setId(42);
    restore.setFeatureName(QStringLiteral("restore"));
    ASSERT_EQ(restore.insert(connection), Result::Ok);
    EXPECT_EQ(restore.id(), 42u);
    Statistics again;
    again.setId(42);
    again.setFeatureName(QStringLiteral("other"));
    EXPECT_NE(again.insert(connection), Result::Ok);

    const QDateTime before = nowSecond();
    ASSERT_EQ(Statistics::update(42, connection), Result::Ok);
    ASSERT_EQ(Statistics::update(42, connection), Result::Ok);
    const QDateTime after = nowSecond();

    auto rows = Statistics::select(connection);
    ASSERT_EQ(rows.second, Result::Ok);
    ASSERT_EQ(rows.first.size(), 1);
    const Statistics& counted = *rows.first[0];
    EXPECT_EQ(counted.id(), 42u);
    EXPECT_EQ(counted.featureName(), QStringLiteral("restore"));
    EXPECT_EQ(counted.counter(), 2);
    EXPECT_EQ(counted.lastUseDate().timeSpec(), Qt::UTC);
    EXPECT_GE(counted.lastUseDate(), before);
    EXPECT_LE(counted.lastUseDate(), after);

    // An unknown feature is not created by counting it.
    EXPECT_NE(Statistics::update(7, connection), Result::Ok);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from statistic")).toInt(), 1);
}

TEST_P(RegistersTest, StatisticsRefuseMissingIdsAndClosedConnections)
{
    DatabaseConnection connection(pool());
    rpxtest::LogCapture log;
    Statistics unnamed;
    unnamed.setFeatureName(QStringLiteral("x"));
    EXPECT_EQ(unnamed.insert(connection), Result::Error);
    EXPECT_EQ(Statistics::update(0, connection), Result::Error);

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    unnamed.setId(3);
    EXPECT_EQ(unnamed.insert(closed), Result::Error);
    EXPECT_EQ(Statistics::update(3, closed), Result::Error);
    EXPECT_EQ(Statistics::select(closed).second, Result::Error);
    // Refused before any statement ran.
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from statistic")).toInt(), 0);
}

TEST_P(RegistersTest, DatesAreUtcWhateverTheLocalAndSessionTimeZones)
{
    struct ZoneReset
    {
        ~ZoneReset() { tzset(); }
    } reset;
    rpxtest::ScopedEnv zone("TZ", "Asia/Tokyo");  // restored before `reset` reapplies it
    tzset();
    DatabaseConnection connection(pool());
    if (postgres()) {
        ASSERT_TRUE(connection.query().exec(QStringLiteral("SET TIME ZONE 'America/New_York'")));
    }
    Statistics feature;
    feature.setId(1);
    feature.setFeatureName(QStringLiteral("f"));
    ASSERT_EQ(feature.insert(connection), Result::Ok);
    const QDateTime before = nowSecond();
    ASSERT_EQ(Statistics::update(1, connection), Result::Ok);
    AgentVersions version;
    version.setVersion(QVersionNumber(1, 0));
    ASSERT_EQ(version.insert(connection), Result::Ok);
    const QDateTime after = nowSecond().addSecs(1);

    auto rows = Statistics::select(connection);
    ASSERT_EQ(rows.first.size(), 1);
    EXPECT_GE(rows.first[0]->lastUseDate(), before);
    EXPECT_LE(rows.first[0]->lastUseDate(), after);
    auto last = AgentVersions::lastVersion(connection);
    ASSERT_TRUE(last.first);
    EXPECT_GE(last.first->installDate(), before);
    EXPECT_LE(last.first->installDate(), after);
}

TEST_P(RegistersTest, AgentVersionsNewestInstallWins)
{
    DatabaseConnection connection(pool());
    EXPECT_TRUE(AgentVersions::update(QVersionNumber(0, 9), QString()).isEmpty());
    auto none = AgentVersions::lastVersion(connection);
    EXPECT_EQ(none.second, Result::Ok);
    EXPECT_FALSE(none.first);

    AgentVersions current;
    current.setVersion(QVersionNumber({7, 4, 1, 120}));
    const QDateTime before = nowSecond();
    ASSERT_EQ(current.insert(connection), Result::Ok);
    const QDateTime after = nowSecond().addSecs(1);

    // Appended later but installed earlier: does not count as the last version.
    QSqlQuery older = connection.query();
    older.prepare(QStringLiteral("insert into agent_versions (version, install_date_utc, architecture) "
                                 "values (:version, :date, 9)"));
    older.bindValue(QStringLiteral(":version"), QStringLiteral("6.9"));
    older.bindValue(QStringLiteral(":date"), QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC));
    ASSERT_TRUE(older.exec());

    auto last = AgentVersions::lastVersion(connection);
    ASSERT_EQ(last.second, Result::Ok);
    ASSERT_TRUE(last.first);
    EXPECT_EQ(last.first->version(), QVersionNumber({7, 4, 1, 120}));
    EXPECT_EQ(last.first->architecture(), KTL::Core::currentCpuArchitecture());
    EXPECT_EQ(last.first->installDate().timeSpec(), Qt::UTC);
    EXPECT_GE(last.first->installDate(), before);
    EXPECT_LE(last.first->installDate(), after);

    AgentVersions next;
    next.setVersion(QVersionNumber(7, 5));
    QThread::msleep(20);
    ASSERT_EQ(next.insert(connection), Result::Ok);
    EXPECT_EQ(AgentVersions::lastVersion(connection).first->version(), QVersionNumber(7, 5));

    QPointer<DatabasePool> nothing;
    DatabaseConnection closed(nothing);
    EXPECT_EQ(next.insert(closed), Result::Error);
    auto refused = AgentVersions::lastVersion(closed);
    EXPECT_EQ(refused.second, Result::Error);
    EXPECT_FALSE(refused.first);
}

RPX_ON_BOTH_ENGINES(RegistersTest);
