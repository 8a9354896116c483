#include "Transaction.h"

#include "agent/KtlDebug.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>

namespace RPX::SQL {

namespace {

// Connections (by driver) on which this thread has a transaction open, with the transaction's number.
QHash<const QSqlDriver*, quint64>& openTransactions()
{
    thread_local QHash<const QSqlDriver*, quint64> drivers;
    return drivers;
}

quint64 nextNumber()
{
    thread_local quint64 last = 0;
    return ++last;
}

}  // namespace

Transaction::Transaction(DatabaseConnection& connection) : m_connection(connection)
{
    if (!connection.isOpen() || openTransactions().contains(connection.database().driver()))
        return;
    const bool sqlite = connection.dbType() == DatabaseType::SQLite;
    m_active = run(sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
    if (m_active)
        openTransactions().insert(connection.database().driver(), nextNumber());
}

Transaction::~Transaction()
{
    if (m_active)
        rollback();
}

bool Transaction::commit()
{
    if (!m_active)
        return false;
    const bool committed = run(QStringLiteral("COMMIT"));
    if (!committed)
        run(QStringLiteral("ROLLBACK"));
    end();
    return committed;
}

void Transaction::rollback()
{
    if (!m_active)
        return;
    run(QStringLiteral("ROLLBACK"));
    end();
}

bool Transaction::isOpenOn(const QSqlDriver* driver)
{
    return numberOn(driver) != 0;
}

quint64 Transaction::numberOn(const QSqlDriver* driver)
{
    return driver == nullptr ? 0 : openTransactions().value(driver, 0);
}

bool Transaction::run(const QString& statement)
{
    QSqlQuery query = m_connection.query();
    if (query.exec(statement))
        return true;
    KTL::KtlDebug("SQL").error() << "Transaction:" << statement << "failed:" << query.lastError().text();
    return false;
}

void Transaction::end()
{
    m_active = false;
    openTransactions().remove(m_connection.database().driver());
}

}  // namespace RPX::SQL
