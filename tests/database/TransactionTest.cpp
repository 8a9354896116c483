#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/Transaction.h>

#include <QSqlError>
#include <QVariant>

using namespace RPX::SQL;
using rpxtest::LogCapture;

namespace {

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

// The new version's id, 0 when it was refused.
unsigned long long registerVersion(DatabaseConnection& connection, const QString& path, int day)
{
    CloudFileVersion version;
    version.setPath(path);
    version.setDateModified(QDateTime(QDate(2024, 1, day), QTime(12, 0), Qt::UTC));
    version.setCloudPath(path.toUtf8());
    return version.insert(1, connection) ? version.id() : 0;
}

using TransactionTest = rpxtest::RepositoryTest;

}  // namespace

TEST_P(TransactionTest, CatalogWorkCommitsTogetherOrNotAtAll)
{
    DatabaseConnection connection(pool());
    {
        Transaction transaction(connection);
        ASSERT_TRUE(transaction.isActive());
        for (int i = 1; i <= 3; ++i)
            ASSERT_NE(registerVersion(connection, QStringLiteral("/a/b/f%1").arg(i), i), 0u);
        // Lookups inside see the transaction's own rows.
        const auto file = CloudFile::select_(1, QStringLiteral("/a/b/f2"), connection);
        ASSERT_TRUE(file);
        EXPECT_TRUE(CloudFileVersion::selectPointInTime(file->id(), QDateTime(QDate(2024, 2, 1), QTime(), Qt::UTC),
                                                        connection));
        // Out of scope without commit: nothing of it stays.
    }
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_file_versions")).toInt(), 0);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_folders")).toInt(), 0);

    Transaction transaction(connection);
    const unsigned long long id = registerVersion(connection, QStringLiteral("/a/b/f1"), 1);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(transaction.commit());
    EXPECT_FALSE(transaction.isActive());
    DatabaseConnection other(pool());
    EXPECT_EQ(scalar(other, QStringLiteral("select count(*) from cloud_file_versions")).toInt(), 1);
    EXPECT_TRUE(CloudFileVersion::selectById(id, other));
}

TEST_P(TransactionTest, LosingARaceInsideATransactionSpoilsNothingElse)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(CloudFolder::selectOrInsert(1, QStringLiteral("/shared/x"), connection));

    Transaction transaction(connection);
    // Another writer already holds /shared: inserting it again loses on the unique key.
    CloudFolder duplicate;
    duplicate.setDestintionId(1);
    duplicate.setParentId(0);
    duplicate.setName(QString());
    LogCapture log;
    EXPECT_FALSE(duplicate.insert(connection));
    // Failures inside a transaction are not retried on either engine's behalf.
    EXPECT_EQ(log.count(QStringLiteral("Go to retry sql query:")), 0);

    // The transaction goes on: the winner's row is found and new work commits.
    EXPECT_TRUE(CloudFolder::select(1, QStringLiteral("/shared"), connection));
    EXPECT_TRUE(CloudFolder::selectOrInsert(1, QStringLiteral("/shared/y"), connection));
    EXPECT_TRUE(transaction.commit());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_folders")).toInt(), 4);
}

TEST_P(TransactionTest, PreparedStatementsAreReusedWithoutLeakingValues)
{
    DatabaseConnection connection(pool());
    ASSERT_NE(connection.statementCache(), nullptr);
    const QString sql = QStringLiteral("select :a as a, :b as b from metadata");
    const QSqlQuery* first = nullptr;
    {
        Statement statement(connection, sql);
        statement.bind(QStringLiteral(":a"), 1).bind(QStringLiteral(":b"), 2);
        ASSERT_EQ(statement.exec(), Result::Ok);
        first = &statement.query();
    }
    const int kept = connection.statementCache()->size();
    EXPECT_GE(kept, 1);
    {
        Statement statement(connection, sql);
        EXPECT_EQ(&statement.query(), first);
        statement.bind(QStringLiteral(":a"), 3);  // :b left unbound this time
        ASSERT_EQ(statement.exec(), Result::Ok);
        ASSERT_TRUE(statement.next());
        EXPECT_EQ(statement.query().value(0).toInt(), 3);
        EXPECT_TRUE(statement.query().value(1).isNull());
        // The same text needed twice at once gets a second query.
        Statement nested(connection, sql);
        EXPECT_NE(&nested.query(), first);
    }
    EXPECT_EQ(connection.statementCache()->size(), kept + 1);

    // A query whose run failed is not trusted again: it leaves the cache.
    const QString insert = QStringLiteral("insert into cloud_folders (id) values (:id)");
    for (const bool fails : {false, true}) {
        const int before = connection.statementCache()->size();
        {
            Statement statement(connection, insert);
            statement.bindU64(QStringLiteral(":id"), 7);
            EXPECT_EQ(statement.exec() != Result::Ok, fails);
        }
        EXPECT_EQ(connection.statementCache()->size(), fails ? before - 1 : before + 1);
    }
}

TEST_P(TransactionTest, SQLiteTakesTheWriteLockAtTheStart)
{
    if (postgres())
        GTEST_SKIP() << "SQLite's lock";
    DatabaseConnection connection(pool());
    Transaction transaction(connection);
    ASSERT_TRUE(transaction.isActive());
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other-writer"));
        other.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
        other.setDatabaseName(sqlitePath());
        ASSERT_TRUE(other.open());
        QSqlQuery begin(other);
        EXPECT_FALSE(begin.exec(QStringLiteral("BEGIN IMMEDIATE")));
        EXPECT_EQ(begin.lastError().nativeErrorCode(), QStringLiteral("5"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other-writer"));
    // One transaction per connection: a nested one does not start.
    Transaction nested(connection);
    EXPECT_FALSE(nested.isActive());
    EXPECT_TRUE(transaction.commit());
}

RPX_ON_BOTH_ENGINES(TransactionTest);
