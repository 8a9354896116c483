#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/agent/HistoryInfo.h>
#include <rpxRepository/history/History.h>
#include <rpxRepository/registers/PlanName.h>

#include <QSqlQuery>
#include <QVariant>

using namespace RPX::SQL;
using RPX::Info::History::OperationType;
using RPX::Info::Plan::SubType;

namespace {

QDateTime utc(int year, int month, int day, int hour = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, 0), Qt::UTC);
}

QStringList paths(const QList<QSharedPointer<History>>& rows)
{
    QStringList result;
    for (const auto& row : rows)
        result << row->localPath();
    return result;
}

// Every field as text, to compare whole rows; dates keep their time spec.
QStringList fields(const History& row)
{
    return {QString::number(row.id()),          QString::number(row.destinationId()),
            QString::number(row.operationType()), QString::number(row.duration()),
            QString::number(row.size()),        QString::number(row.sessionId()),
            QString::number(row.attempts()),    row.localPath(),
            row.message(),                      row.planName(),
            row.palnId().toString(),            row.dateFinished().toString(Qt::ISODate),
            row.dateModified().toString(Qt::ISODate)};
}

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

}  // namespace

class HistoryTest : public rpxtest::RepositoryTest
{
protected:
    QSharedPointer<History> add(DatabaseConnection& connection, const QUuid& plan, const QString& path,
                                const QDateTime& finished, unsigned char operation = OperationType::Backup,
                                const QString& message = QString(), unsigned long long session = 1)
    {
        QSharedPointer<History> row(new History());
        row->setPalnId(plan);
        row->setLocalPath(path);
        row->setDateFinished(finished);
        row->setOperationType(operation);
        row->setMessage(message);
        row->setSessionId(session);
        EXPECT_TRUE(row->insert(connection)) << path.toStdString();
        return row;
    }

    QList<QSharedPointer<History>> search(DatabaseConnection& connection, const QString& pathFilter,
                                          int operation = OperationType::Any, const QUuid& plan = QUuid(),
                                          const QDateTime& begin = QDateTime(), const QDateTime& end = QDateTime(),
                                          int limit = 100)
    {
        return History::select(plan, begin, end, 0, operation, pathFilter, limit, connection);
    }

    const QUuid documents = QUuid::createUuid();
    const QUuid photos = QUuid::createUuid();
    const QUuid unnamed = QUuid::createUuid();
};

TEST_P(HistoryTest, InsertAndPageThroughASession)
{
    DatabaseConnection connection(pool());
    History defaults;
    EXPECT_EQ(defaults.attempts(), 1u);
    EXPECT_EQ(defaults.operationType(), 0);

    History full;
    full.setDestinationId(4);
    full.setPalnId(documents);
    full.setLocalPath(QStringLiteral("/home/ann/report.odt"));
    full.setOperationType(OperationType::Restore);
    full.setDuration(1500);
    full.setDateFinished(utc(2024, 2, 29, 23).addSecs(59 * 60 + 58));
    full.setDateModified(utc(2024, 2, 1, 8));
    full.setSize(6000000000ULL);
    full.setMessage(QStringLiteral("Success"));
    full.setSessionId(77);
    full.setAttempts(3);
    ASSERT_TRUE(full.insert(connection));
    ASSERT_GT(full.id(), 0u);
    // The operation history keeps plan ids as QUuid text without braces.
    EXPECT_EQ(scalar(connection, QStringLiteral("select plan_id from history")).toString(),
              documents.toString(QUuid::WithoutBraces));

    auto rows = History::select(77, 10, 0, connection);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(fields(*rows[0]), fields(full));

    for (int i = 0; i < 4; ++i)
        add(connection, documents, QStringLiteral("/s/%1").arg(i), utc(2024, 3, 1), 0, QString(), 78);
    EXPECT_EQ(History::select(78, 3, 0, connection).size(), 3);
    EXPECT_EQ(History::select(78, 3, 3, connection).size(), 1);
    EXPECT_TRUE(History::select(78, 0, 0, connection).isEmpty());
    EXPECT_TRUE(History::select(79, 10, 0, connection).isEmpty());

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    rpxtest::LogCapture log;
    History orphan;
    EXPECT_FALSE(orphan.insert(closed));
    EXPECT_EQ(orphan.id(), 0u);
    EXPECT_TRUE(History::select(78, 10, 0, closed).isEmpty());
    EXPECT_TRUE(History::select(QUuid(), QDateTime(), QDateTime(), 0, -1, QString(), 10, closed).isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_P(HistoryTest, SearchReturnsNamedPlansNewestFirstByPlanAndPeriod)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(PlanName::update(documents, QStringLiteral("Documents"), SubType::FileLevel, connection));
    ASSERT_TRUE(PlanName::update(photos, QStringLiteral("Photos"), SubType::ImageBased, connection));
    // Thirty operations a day apart, alternating between the two named plans, and one of a plan
    // without a name that finished last of all.
    for (int day = 1; day <= 30; ++day)
        add(connection, day % 2 ? documents : photos, QStringLiteral("/f/%1").arg(day), utc(2024, 4, day, 12));
    add(connection, unnamed, QStringLiteral("/f/unnamed"), utc(2024, 5, 1));

    auto newest = search(connection, QString(), OperationType::Any, QUuid(), QDateTime(), QDateTime(), 20);
    ASSERT_EQ(newest.size(), 20);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(newest[i]->localPath(), QStringLiteral("/f/%1").arg(30 - i));
    EXPECT_EQ(newest[0]->planName(), QStringLiteral("Photos"));
    EXPECT_EQ(newest[1]->planName(), QStringLiteral("Documents"));
    EXPECT_EQ(newest[1]->palnId(), documents);

    // Plan and inclusive period.
    auto window = search(connection, QString(), OperationType::Any, documents, utc(2024, 4, 5, 12), utc(2024, 4, 9, 12));
    EXPECT_EQ(paths(window), (QStringList{"/f/9", "/f/7", "/f/5"}));
    EXPECT_EQ(search(connection, QString(), OperationType::Any, QUuid(), utc(2024, 4, 29)).size(), 2);
    EXPECT_EQ(search(connection, QString(), OperationType::Any, QUuid(), QDateTime(), utc(2024, 4, 2)).size(), 1);
    EXPECT_TRUE(search(connection, QString(), OperationType::Any, unnamed).isEmpty());

    // A negative limit does not bound the list.
    EXPECT_EQ(search(connection, QString(), OperationType::Any, QUuid(), QDateTime(), QDateTime(), -1).size(), 30);
}

TEST_P(HistoryTest, SearchByOperationAndFailure)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(PlanName::update(documents, QStringLiteral("Documents"), SubType::FileLevel, connection));
    add(connection, documents, QStringLiteral("/ok/null"), utc(2024, 1, 1), OperationType::Backup);
    add(connection, documents, QStringLiteral("/ok/empty"), utc(2024, 1, 2), OperationType::Restore,
        QStringLiteral(""));
    add(connection, documents, QStringLiteral("/ok/success"), utc(2024, 1, 3), OperationType::Purge,
        QStringLiteral("Success"));
    add(connection, documents, QStringLiteral("/bad/backup"), utc(2024, 1, 4), OperationType::Backup,
        QStringLiteral("Access denied"));
    add(connection, documents, QStringLiteral("/bad/purge"), utc(2024, 1, 5), OperationType::Purge,
        QStringLiteral("success"));

    EXPECT_EQ(paths(search(connection, QString(), OperationType::Failed)),
              (QStringList{"/bad/purge", "/bad/backup"}));
    EXPECT_EQ(paths(search(connection, QString(), OperationType::Backup)), (QStringList{"/bad/backup", "/ok/null"}));
    EXPECT_EQ(paths(search(connection, QString(), OperationType::Purge)), (QStringList{"/bad/purge", "/ok/success"}));
    EXPECT_EQ(search(connection, QString(), OperationType::Any).size(), 5);
    EXPECT_TRUE(search(connection, QString(), OperationType::Delete).isEmpty());

    // A NULL message reads as empty.
    auto nullMessage = search(connection, QStringLiteral("/ok/null"));
    ASSERT_EQ(nullMessage.size(), 1);
    EXPECT_EQ(nullMessage[0]->message(), QString(""));
}

TEST_P(HistoryTest, PathFilterIgnoresAsciiCaseAndTakesHostileTextLiterally)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(PlanName::update(documents, QStringLiteral("Documents"), SubType::FileLevel, connection));
    const QStringList stored = {
        "/Home/DOCS/a.txt", "/data/100%/x",   "/data/1000/x", "/a_b/c",      "/axb/c",
        "C:\\Users\\ann",   "C:/Users/bob",   "/it's/mine",   "/wow!/x",     "/wow/x",
        "/tab\tname",       "/Ünïcödé/file",
    };
    for (int i = 0; i < stored.size(); ++i)
        add(connection, documents, stored[i], utc(2024, 6, 1).addSecs(i));

    const std::vector<std::pair<QString, QStringList>> cases = {
        {"docs", {"/Home/DOCS/a.txt"}},
        {"HOME/docs/A", {"/Home/DOCS/a.txt"}},
        {"100%", {"/data/100%/x"}},
        {"%", {"/data/100%/x"}},
        {"a_b", {"/a_b/c"}},
        {"_", {"/a_b/c"}},
        {"C:\\Users", {"C:\\Users\\ann"}},
        {"\\", {"C:\\Users\\ann"}},
        {"it's", {"/it's/mine"}},
        {"wow!", {"/wow!/x"}},
        {"!", {"/wow!/x"}},
        {"!%", {}},
        {"\t", {"/tab\tname"}},
        {"' or '1'='1", {}},
        {"'); drop table history; --", {}},
        {"x' OR local_path LIKE '%", {}},
    };
    rpxtest::LogCapture log;
    for (const auto& [filter, expected] : cases)
        EXPECT_EQ(paths(search(connection, filter)), expected) << filter.toStdString();
    // Folding non-ASCII letters differs between the engines; the exact text is found on both.
    EXPECT_EQ(paths(search(connection, QStringLiteral("Ünïcödé"))), (QStringList{"/Ünïcödé/file"}));
    // No statement failed, and the table is still there with every row.
    EXPECT_TRUE(log.lines().isEmpty()) << log.texts().join('\n').toStdString();
    EXPECT_EQ(search(connection, QString()).size(), stored.size());
}

TEST_P(HistoryTest, SchemaIndexesExist)
{
    DatabaseConnection connection(pool());
    const QString lookup = postgres() ? QStringLiteral("select count(*) from pg_indexes where indexname = '%1'")
                                      : QStringLiteral("select count(*) from sqlite_master where type = 'index' "
                                                       "and name = '%1'");
    for (const char* name : {"history_session_local_operation", "history_datefinished",
                             "sessionhistory_dest_plan_start", "idx_plan_name"})
        EXPECT_EQ(scalar(connection, lookup.arg(QLatin1String(name))).toInt(), 1) << name;
}

RPX_ON_BOTH_ENGINES(HistoryTest);
