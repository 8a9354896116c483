#pragma once

#include <QElapsedTimer>
#include <QMap>
#include <QSqlQuery>
#include <QVariant>
#include <functional>

namespace RPX::SQL {

// Result classes of a statement: the int returned by ExecQuery::exec() and passed on by table classes.
namespace Result {
constexpr int Ok = 0;
constexpr int Unknown = 1;
constexpr int Error = 2;
constexpr int Permission = 3;
constexpr int Busy = 4;
constexpr int ReadOnly = 5;
constexpr int Mismatch = 6;
constexpr int Corrupt = 7;
constexpr int Constraint = 8;
constexpr int IoError = 9;
constexpr int RetryLimit = 10;
}  // namespace Result

// Runs one prepared and bound query: logs failures, retries busy databases, warns about slow ones.
class ExecQuery
{
public:
    static constexpr int MaxRetries = 3;
    static constexpr qint64 SlowQueryMs = 10000;

    explicit ExecQuery(QSqlQuery& query);

    int exec();
    void printTimeout(QElapsedTimer& timer);

    // Seams for tests: how a pause is spent and how long a timer has run. An empty function
    // restores the default (a real sleep, the timer's own clock). Set them before other threads run.
    using SleepFunction = std::function<void(int milliseconds)>;
    using ElapsedFunction = std::function<qint64(const QElapsedTimer&)>;
    static void setSleepFunction(SleepFunction sleep);
    static void setElapsedFunction(ElapsedFunction elapsed);
    // Sees the text of every statement before it runs (tests check that no caller text reaches it).
    using StatementObserver = std::function<void(const QString& statement)>;
    static void setStatementObserver(StatementObserver observer);

private:
    bool attempt(bool& prepare, const QString& statement, const QMap<QString, QVariant>& values);
    qint64 elapsed(const QElapsedTimer& timer) const;

    QSqlQuery& m_query;
};

// Maps an SQLite error to a result class.
class SQLiteResultCodes
{
public:
    static int to(const QSqlError& error);
};

}  // namespace RPX::SQL
