#include "ExecQuery.h"

#include "QtCompat.h"
#include "Transaction.h"
#include "agent/KtlDebug.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QThread>

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

bool ExecQuery::attempt(bool& prepare, const QString& statement, const QMap<QString, QVariant>& values)
{
    if (prepare) {
        if (!m_query.prepare(statement))
            return false;
        prepare = false;
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            m_query.bindValue(it.key(), it.value());
    }
    return m_query.exec();
}

qint64 ExecQuery::elapsed(const QElapsedTimer& timer) const
{
    if (const auto& function = elapsedFunction())
        return function(timer);
    return timer.elapsed();
}

int ExecQuery::exec()
{
    QElapsedTimer timer;
    timer.start();
    int retry = 0;
    int pauseSeconds = 2;

    // A statement that could not be prepared (a locked schema, a lost server) keeps the error of its
    // preparation; it is prepared again on every attempt, so it is retried and logged like any other.
    bool prepare = m_query.lastError().isValid() && !m_query.lastQuery().isEmpty();
    const QString statement = m_query.lastQuery();
    // Only a statement prepared again needs its values bound again; copying them costs.
    const QMap<QString, QVariant> values = prepare ? QtCompat::boundValueMap(m_query) : QMap<QString, QVariant>();
    if (const auto& observe = statementObserver())
        observe(statement);

    while (true) {
        if (attempt(prepare, statement, values)) {
            printTimeout(timer);
            return Result::Ok;
        }

        const QSqlError error = m_query.lastError();
        KTL::KtlDebug("SQL").warning()
            << "Error on exec sql query:"
            << "\n\tdatabase text:" << error.databaseText()
            << "\n\tdriver text:" << error.driverText()
            << "\n\terror code:" << QtCompat::nativeErrorCode(error, m_query.driver())
            << "\n\terror query:" << m_query.lastQuery()
            << "\n\tvalues:" << QtCompat::boundValueMap(m_query)
            << "\n\ttimeout:" << elapsed(timer);
        printTimeout(timer);

        const QSqlDriver* driver = m_query.driver();
        if (driver != nullptr && driver->dbmsType() == QSqlDriver::SQLite) {
            const int code = SQLiteResultCodes::to(error);
            if (code != Result::Busy && code != Result::ReadOnly)
                return code;
        }

        // Inside a caller's transaction PostgreSQL has aborted the transaction: a retry cannot succeed.
        if (driver != nullptr && driver->dbmsType() != QSqlDriver::SQLite && Transaction::isOpenOn(driver))
            return Result::Error;
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
