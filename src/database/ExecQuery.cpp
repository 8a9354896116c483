#include "ExecQuery.h"

#include "DatabaseConnection.h"
#include "NativeHandle.h"
#include "QtCompat.h"
#include "QueryInternals.h"
#include "Transaction.h"
#include "agent/KtlDebug.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <libpq-fe.h>

namespace RPX::SQL {

namespace {

ExecQuery::SleepFunction& sleepFunction()
{
    static ExecQuery::SleepFunction function;
    return function;
}

ExecQuery::ElapsedFunction& elapsedFunction()
{
    static ExecQuery::ElapsedFunction function;
    return function;
}

ExecQuery::StatementObserver& statementObserver()
{
    static ExecQuery::StatementObserver observer;
    return observer;
}

void pause(int milliseconds)
{
    if (const auto& sleep = sleepFunction())
        sleep(milliseconds);
    else
        QThread::msleep(static_cast<unsigned long>(milliseconds));
}

}  // namespace

ExecQuery::ExecQuery(QSqlQuery& query) : m_query(query) {}

ExecQuery::ExecQuery(QSqlQuery& query, const QString& statement, const NamedValues& values)
    : m_query(query), m_statement(statement), m_named(values)
{
}

void ExecQuery::setSleepFunction(SleepFunction sleep)
{
    sleepFunction() = std::move(sleep);
}

void ExecQuery::setElapsedFunction(ElapsedFunction elapsed)
{
    elapsedFunction() = std::move(elapsed);
}

void ExecQuery::setStatementObserver(StatementObserver observer)
{
    statementObserver() = std::move(observer);
}

void ExecQuery::observe(const QString& statement)
{
    if (const auto& observer = statementObserver())
        observer(statement);
}

bool ExecQuery::attempt(bool& prepare, const QString& statement, const QVector<QVariant>& values)
{
    if (prepare) {
        if (!m_query.prepare(statement))
            return false;
        prepare = false;
        // The same text has the same placeholders: the values go back by position.
        QueryInternals::boundValues(m_query) = values;
    }
    return m_query.exec();
}

bool ExecQuery::reopen(const QString& statement, QVector<QVariant>& values)
{
    DatabaseConnection* connection = DatabaseConnection::heldThrough(m_query.driver());
    if (connection == nullptr)
        return false;
    // The query's statement belongs to the old session: released now, while that session is gone.
    const bool forwardOnly = m_query.isForwardOnly();
    m_query.clear();
    if (!connection->reopen())
        return false;
    m_query.setForwardOnly(forwardOnly);
    if (!m_query.prepare(statement))
        return false;
    if (m_named.isEmpty()) {
        QueryInternals::boundValues(m_query) = values;
        return true;
    }
    for (const auto& value : qAsConst(m_named))
        m_query.bindValue(value.first, value.second);
    m_named.clear();
    values = QueryInternals::boundValues(m_query);
    return true;
}

qint64 ExecQuery::elapsed(const QElapsedTimer& timer) const
{
    if (const auto& function = elapsedFunction())
        return function(timer);
    return timer.elapsed();
}

bool ExecQuery::sessionLost(const QSqlDriver* driver, const QSqlError& error)
{
    if (driver == nullptr || driver->dbmsType() != QSqlDriver::PostgreSQL)
        return false;
    const PGconn* session = NativeHandle::postgres(driver);
    if (session == nullptr || PQstatus(session) == CONNECTION_BAD)
        return true;
    // Connection exceptions (class 08) and the server shutting the session down (57P01-57P03).
    const QString state = error.nativeErrorCode();
    if (state.startsWith(QLatin1String("08")) || state == QLatin1String("57P01") ||
        state == QLatin1String("57P02") || state == QLatin1String("57P03"))
        return true;
    const QString text = error.databaseText();
    return text.contains(QLatin1String("no connection to the server")) ||
           text.contains(QLatin1String("server closed the connection"));
}

int ExecQuery::exec()
{
    QElapsedTimer timer;
    timer.start();
    int retry = 0;
    int pauseSeconds = 2;
    const QSqlDriver* const driver = m_query.driver();
    const bool postgres = driver != nullptr && driver->dbmsType() == QSqlDriver::PostgreSQL;

    // A statement that could not be prepared (a locked schema, a lost server) keeps the error of its
    // preparation; it is prepared again on every attempt, so it is retried and logged like any other.
    // A query whose connection was closed when it was prepared holds no text: the caller's is used.
    const bool hasText = !m_query.lastQuery().isEmpty();
    const QString statement = hasText ? m_query.lastQuery() : m_statement;
    bool prepare = m_query.lastError().isValid() && hasText;
    // Only a statement prepared again needs its values bound again; copying them costs.
    QVector<QVariant> values = prepare ? QueryInternals::boundValues(m_query) : QVector<QVariant>();
    observe(statement);

    if (Transaction::sessionLostOn(driver)) {
        KTL::KtlDebug("SQL").warning() << "Error on exec sql query: the connection to the database was lost in this"
                                          " transaction\n\terror query:" << statement;
        return Result::Error;
    }

    // PostgreSQL: a new session is opened before the next attempt, the first time without a pause
    // (after a restart or an ended session the server is most likely there again).
    bool reopenFirst = postgres && !hasText && !m_statement.isEmpty();
    bool retriedAtOnce = false;

    while (true) {
        const bool ran = reopenFirst ? reopen(statement, values) && m_query.exec()
                                     : attempt(prepare, statement, values);
        if (ran) {
            printTimeout(timer);
            return Result::Ok;
        }

        // A query that could not reach the server has no error of its own; its connection has.
        const QSqlError error =
            m_query.lastError().isValid() || driver == nullptr ? m_query.lastError() : driver->lastError();
        KTL::KtlDebug("SQL").warning()
            << "Error on exec sql query:"
            << "\n\tdatabase text:" << error.databaseText()
            << "\n\tdriver text:" << error.driverText()
            << "\n\terror code:" << QtCompat::nativeErrorCode(error, m_query.driver())
            << "\n\terror query:" << statement
            << "\n\tvalues:" << QtCompat::boundValueMap(m_query)
            << "\n\ttimeout:" << elapsed(timer);
        printTimeout(timer);

        if (driver != nullptr && !postgres) {
            const int code = SQLiteResultCodes::to(error);
            if (code != Result::Busy && code != Result::ReadOnly)
                return code;
        }

        const bool lost = sessionLost(driver, error);
        // Inside a caller's transaction PostgreSQL has aborted the transaction: a retry cannot succeed.
        if (postgres && Transaction::isOpenOn(driver)) {
            Transaction::markFailed(driver, lost ? Transaction::Failure::SessionLost : Transaction::Failure::Statement);
            return Result::Error;
        }
        // A statement prepared in an earlier session ("does not exist" in this one) is prepared again.
        const bool stale = postgres && hasText && error.nativeErrorCode() == QLatin1String("26000");
        if ((lost && DatabaseConnection::heldThrough(driver) != nullptr) || stale) {
            if (!reopenFirst && !prepare)
                values = QueryInternals::boundValues(m_query);
            reopenFirst = reopenFirst || lost;
            prepare = !reopenFirst;
            if (!retriedAtOnce) {
                retriedAtOnce = true;
                KTL::KtlDebug("SQL").infoH() << (lost ? "Connection to the database lost; opening it again"
                                                      : "Statement prepared again in this session");
                continue;
            }
        }
        if (retry == MaxRetries)
            return Result::RetryLimit;

        KTL::KtlDebug("SQL").infoH() << "Go to retry sql query:" << retry << "/" << MaxRetries;
        ++retry;
        pause(pauseSeconds * 1000);
        timer.restart();
        pauseSeconds += 2;
    }
}

void ExecQuery::printTimeout(QElapsedTimer& timer)
{
    const qint64 milliseconds = elapsed(timer);
    if (milliseconds <= SlowQueryMs)
        return;
    KTL::KtlDebug("SQL").warning()
        << "Slow SQL query. timeout:" << milliseconds << "\n"
        << m_query.lastQuery() << "\nresult code:" << QtCompat::nativeErrorCode(m_query.lastError(), m_query.driver())
        << "\n#####################################";
}

int SQLiteResultCodes::to(const QSqlError& error)
{
    if (error.type() == QSqlError::NoError)
        return Result::Ok;

    bool isNumber = false;
    const int code = QtCompat::sqliteErrorCode(error).toInt(&isNumber);
    if (!isNumber) {
        KTL::KtlDebug("SQL").warning() << "Unknown sqlite return nativeErrorCode:" << code;
        return Result::Unknown;
    }

    switch (code) {
    case 0:
        return Result::Ok;
    case 1: case 2: case 4: case 7: case 9: case 21: case 22: case 26:
        return Result::Error;
    case 3: case 23:
        return Result::Permission;
    case 5: case 6: case 15:
        return Result::Busy;
    case 8:
        return Result::ReadOnly;
    case 12: case 18: case 20: case 25:
        return Result::Mismatch;
    case 11: case 14: case 17:
        return Result::Corrupt;
    case 19:
        return Result::Constraint;
    case 10: case 13:
        return Result::IoError;
    default:
        KTL::KtlDebug("SQL").warning() << "Unknown sqlite return code:" << code;
        return Result::Unknown;
    }
}

}  // namespace RPX::SQL
