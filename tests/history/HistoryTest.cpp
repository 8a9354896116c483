#include "catalog/FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/agent/HistoryInfo.h>
#include <rpxRepository/history/History.h>
#include <rpxRepository/registers/PlanName.h>

using namespace RPX::SQL;
using filecatalog::scalar;
using filecatalog::utc;
using RPX::Info::History::OperationType;
using RPX::Info::Plan::SubType;

namespace {

// Every field as text, to compare whole rows; dates keep their time spec.
QStringList fields(const History& row)
{
    QStringList numbers;
    for (unsigned long long value : {row.id(), row.destinationId(), row.duration(), row.size(), row.sessionId(),
                                     row.attempts(), (unsigned long long)row.operationType()})
        numbers << QString::number(value);
    return numbers + QStringList{row.localPath(), row.message(), row.planName(), row.palnId().toString(),
                                 row.dateFinished().toString(Qt::ISODate), row.dateModified().toString(Qt::ISODate)};
}

}  // namespace

class HistoryTest : public rpxtest::RepositoryTest
{
protected:
    void add(DatabaseConnection& connection, const QUuid& plan, const QString& path, const QDateTime& finished,
             unsigned char operation = OperationType::Backup, const QString& message = QString(),
             unsigned long long session = 1)
    {
        History row;
        row.setPalnId(plan);
        row.setLocalPath(path);
        row.setDateFinished(finished);
        row.setOperationType(operation);
        row.setMessage(message);
        row.setSessionId(session);
        EXPECT_TRUE(row.insert(connection)) << path.toStdString();
    }

    // Local paths of the operations found, newest first.
    QStringList search(DatabaseConnection& connection, int operation = OperationType::Any, const QUuid& plan = QUuid(),
                       const QDateTime& begin = QDateTime(), const QDateTime& end = QDateTime(), int limit = 100,
                       const QString& pathFilter = QString())
    {
        QStringList paths;
        for (const auto& row : History::select(plan, begin, end, 0, operation, pathFilter, limit, connection))
            paths << row->localPath();
        return paths;
    }

    const QUuid documents = QUuid::createUuid();
    const QUuid photos = QUuid::createUuid();
};

TEST_P(HistoryTest, InsertAndPageThroughASession)
{
    DatabaseConnection connection(pool());
    History full;
    full.setDestinationId(4);
    full.setPalnId(documents);
    full.setLocalPath(QStringLiteral("/home/ann/report.odt"));
    full.setOperationType(OperationType::Restore);
    full.setDuration(1500);
    full.setDateFinished(utc(2024, 2, 29, 23, 59, 58));
    full.setDateModified(utc(2024, 2, 1, 8));
    full.setSize(6000000000ULL);
    full.setMessage(QStringLiteral("Success"));
    full.setSessionId(77);
    full.setAttempts(3);
    ASSERT_TRUE(full.insert(connection));
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
    EXPECT_TRUE(History::select(79, 10, 0, connection).isEmpty());

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    rpxtest::LogCapture log;
    EXPECT_FALSE(History().insert(closed) || !History::select(78, 10, 0, closed).isEmpty() ||
                 !History::select(QUuid(), QDateTime(), QDateTime(), 0, -1, QString(), 10, closed).isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_P(HistoryTest, SearchByPlanPeriodOperationAndFailure)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(PlanName::update(documents, QStringLiteral("Documents"), SubType::FileLevel, connection));
    ASSERT_TRUE(PlanName::update(photos, QStringLiteral("Photos"), SubType::ImageBased, connection));
    // Only a failure has a message other than empty or "Success" (which is case-sensitive).
    add(connection, documents, QStringLiteral("/1"), utc(2024, 1, 1), OperationType::Backup);
    add(connection, photos, QStringLiteral("/2"), utc(2024, 1, 2), OperationType::Restore, QStringLiteral(""));
    add(connection, documents, QStringLiteral("/3"), utc(2024, 1, 3), OperationType::Purge, QStringLiteral("Success"));
    add(connection, photos, QStringLiteral("/4"), utc(2024, 1, 4), OperationType::Backup, QStringLiteral("Denied"));
    add(connection, documents, QStringLiteral("/5"), utc(2024, 1, 5), OperationType::Purge, QStringLiteral("success"));
    // A plan without a name is left out of the search.
    add(connection, QUuid::createUuid(), QStringLiteral("/unnamed"), utc(2024, 2, 1));

    EXPECT_EQ(search(connection), (QStringList{"/5", "/4", "/3", "/2", "/1"}));
    const auto all = History::select(QUuid(), {}, {}, 0, OperationType::Any, QString(), 100, connection);
    ASSERT_EQ(all.size(), 5);
    // The plan name comes from the plan's row; a NULL message reads as empty.
    EXPECT_EQ(QStringList({all[0]->planName(), all[1]->planName(), all[1]->palnId().toString(), all[4]->message()}),
              QStringList({"Documents", "Photos", photos.toString(), ""}));
    EXPECT_EQ(search(connection, OperationType::Any, {}, {}, {}, 2), (QStringList{"/5", "/4"}));
    // A negative limit does not bound the list.
    EXPECT_EQ(search(connection, OperationType::Any, {}, {}, {}, -1).size(), 5);

    // Both ends of the period are inclusive; a bound in another time zone means the same moment.
    const QDateTime tokyo = utc(2024, 1, 3).toOffsetFromUtc(9 * 3600);
    EXPECT_EQ(search(connection, OperationType::Any, documents, tokyo, utc(2024, 1, 5)), (QStringList{"/5", "/3"}));
    EXPECT_EQ(search(connection, OperationType::Any, {}, {}, utc(2024, 1, 2)), (QStringList{"/2", "/1"}));

    EXPECT_EQ(search(connection, OperationType::Failed), (QStringList{"/5", "/4"}));
    EXPECT_EQ(search(connection, OperationType::Purge), (QStringList{"/5", "/3"}));
    EXPECT_TRUE(search(connection, OperationType::Delete).isEmpty());
}

TEST_P(HistoryTest, PathFilterIgnoresAsciiCaseAndTakesHostileTextLiterally)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(PlanName::update(documents, QStringLiteral("Documents"), SubType::FileLevel, connection));
    const QStringList stored = {"/Home/DOCS/a.txt", "/data/100%/x", "/data/1000/x", "/a_b/c",  "/axb/c",
                                "C:\\Users\\ann",   "C:/Users/bob", "/wow!/x", "/wow/x",
                                "/Ünïcödé/file"};
    for (int i = 0; i < stored.size(); ++i)
        add(connection, documents, stored[i], utc(2024, 6, 1).addSecs(i));

    // Each wildcard or escape character alone must match only itself.
    const std::vector<std::pair<QString, QStringList>> cases = {
        {"HOME/docs/A", {"/Home/DOCS/a.txt"}},
        {"%", {"/data/100%/x"}},
        {"_", {"/a_b/c"}},
        {"\\", {"C:\\Users\\ann"}},
        {"!", {"/wow!/x"}},
        {"!%", {}},
        {"' or '1'='1", {}},
        // Folding non-ASCII letters differs between the engines; the exact text is found on both.
        {"Ünïcödé", {"/Ünïcödé/file"}},
    };
    rpxtest::LogCapture log;
    for (const auto& [filter, expected] : cases)
        EXPECT_EQ(search(connection, OperationType::Any, {}, {}, {}, 100, filter), expected) << filter.toStdString();
    EXPECT_TRUE(log.lines().isEmpty()) << log.texts().join('\n').toStdString();
}

RPX_ON_BOTH_ENGINES(HistoryTest);
