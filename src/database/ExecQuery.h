#pragma once

#include <QElapsedTimer>
#include <QPair>
#include <QSqlQuery>
#include <QVector>
#include <QVariant>
#include <functional>

class QSqlDriver;
class QSqlError;

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
    // With the statement's text and its values by placeholder, for a query that could not even be
    // prepared (its connection was closed then): they are prepared and bound once it is open again.
    using NamedValues = QVector<QPair<QString, QVariant>>;
    ExecQuery(QSqlQuery& query, const QString& statement, const NamedValues& values);

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
    // Shows the observer a statement run outside ExecQuery (through the native connection).
    static void observe(const QString& statement);

    // PostgreSQL: whether a failure means the session is gone rather than that the statement failed.
    static bool sessionLost(const QSqlDriver* driver, const QSqlError& error);

private:
    bool attempt(bool& prepare, const QString& statement, const QVector<QVariant>& values);
    bool reopen(const QString& statement, QVector<QVariant>& values);
    qint64 elapsed(const QElapsedTimer& timer) const;

    QSqlQuery& m_query;
    QString m_statement;
    NamedValues m_named;
};

// Maps an SQLite error to a result class.
class SQLiteResultCodes
{
public:
    static int to(const QSqlError& error);
};

}  // namespace RPX::SQL
