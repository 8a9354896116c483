#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/Transaction.h>

#include "Printers.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace rpxtest {

using RPX::SQL::DatabaseType;

// Sets an environment variable for its lifetime and restores the old value after.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();

private:
    QByteArray m_name;
    QByteArray m_old;
    bool m_had;
};

// An empty repository location per test, on the engine of the parameter: a temporary
// configuration root and, for PostgreSQL, a database of its own on the test server that
// RPX_TEST_PGSQL names ("PGSQL;host:…;port:…;user:…;password:…;database:…").
class EngineTest : public ::testing::TestWithParam<DatabaseType>
{
protected:
    void SetUp() override;
    void TearDown() override;

    bool postgres() const { return GetParam() == DatabaseType::PostgreSQL; }
    QString configRoot() const;
    QString sqlitePath() const;          // where the SQLite repository of this test lives
    QString pgConnectionString() const;  // the PostgreSQL repository of this test
    QString pgDatabase() const { return m_pgDatabase; }
    // Writes settings.xml with the given DB_location (no attribute when empty).
    void writeSettings(const QString& location) const;

    // Forgets the process-wide pool and the failed-open flag, as in a new process.
    static void resetProcessState();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScopedEnv> m_root;
    QString m_pgDatabase;
};

// A repository opened with Database::init on the engine of the parameter.
class RepositoryTest : public EngineTest
{
protected:
    void SetUp() override;
    QPointer<RPX::SQL::DatabasePool>& pool() { return RPX::SQL::DatabasePool::defaultPool(); }
};

std::string engineName(const ::testing::TestParamInfo<DatabaseType>& info);

// Whether the program runs with --in-transaction: every TestConnection then works inside a
// caller's Transaction, so that the same tests show the operations unchanged inside one.
bool& inCallerTransaction();

// A test's connection: inside a Transaction under --in-transaction, committed when it goes.
class TestConnection : public RPX::SQL::DatabaseConnection
{
public:
    explicit TestConnection(QPointer<RPX::SQL::DatabasePool>& pool);
    ~TestConnection();

private:
    std::unique_ptr<RPX::SQL::Transaction> m_transaction;
};

// PostgreSQL admin connection to the test server, for creating and dropping test databases.
bool runOnTestServer(const QString& statement, QString* error = nullptr);

}  // namespace rpxtest

#define RPX_ON_BOTH_ENGINES(Fixture)                                                               \
    INSTANTIATE_TEST_SUITE_P(, Fixture,                                                            \
                             ::testing::Values(::rpxtest::DatabaseType::SQLite,                    \
                                               ::rpxtest::DatabaseType::PostgreSQL),               \
                             ::rpxtest::engineName)
