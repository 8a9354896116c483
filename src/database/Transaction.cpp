#include "Transaction.h"

#include "NativeHandle.h"
#include "agent/KtlDebug.h"

#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <libpq-fe.h>

namespace RPX::SQL {

namespace {

struct Open
{
    quint64 number = 0;
    bool failed = false;
    bool sessionLost = false;
};

// Connections (by driver) on which this thread has a transaction open.
QHash<const QSqlDriver*, Open>& openTransactions()
{
    thread_local QHash<const QSqlDriver*, Open> drivers;
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
    // A session known to be gone is replaced before anything of the transaction runs.
    if (connection.isBroken() && !connection.reopen())
        return;
    // Nothing has run in it yet, so BEGIN on a session found lost only now may simply run again.
    m_active = begin() || (connection.isBroken() && connection.reopen() && begin());
    if (m_active)
        openTransactions().insert(connection.database().driver(), Open{nextNumber()});
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
    const Open state = openTransactions().value(m_connection.database().driver());
    if (state.sessionLost) {
        KTL::KtlDebug("SQL").error() << "Transaction: COMMIT not run: the connection to the database was lost";
        end();
        m_connection.reopen();
        return false;
    }
    // PostgreSQL ends a transaction spoiled by a failed statement with a rollback, even on COMMIT; the
    // client library knows whether it is (a failure seen outside ExecQuery, as in a bulk copy, too).
    const PGconn* session = NativeHandle::postgres(m_connection.database().driver());
    const bool spoiled = state.failed || (session != nullptr && PQtransactionStatus(session) == PQTRANS_INERROR);
    const bool committed = !spoiled && run(QStringLiteral("COMMIT"));
    if (!committed)
        run(QStringLiteral("ROLLBACK"));
    end();
    if (m_connection.isBroken())
        m_connection.reopen();
    return committed;
}

void Transaction::rollback()
{
    if (!m_active)
        return;
    if (!sessionLostOn(m_connection.database().driver()))
        run(QStringLiteral("ROLLBACK"));
    end();
    if (m_connection.isBroken())
        m_connection.reopen();
}

bool Transaction::isOpenOn(const QSqlDriver* driver)
{
    return numberOn(driver) != 0;
}

quint64 Transaction::numberOn(const QSqlDriver* driver)
{
    return driver == nullptr ? 0 : openTransactions().value(driver).number;
}

void Transaction::markFailed(const QSqlDriver* driver, Failure failure)
{
    const auto it = openTransactions().find(driver);
    if (it == openTransactions().end())
        return;
    it->failed = true;
    it->sessionLost = it->sessionLost || failure == Failure::SessionLost;
}

bool Transaction::sessionLostOn(const QSqlDriver* driver)
{
    return driver != nullptr && openTransactions().value(driver).sessionLost;
}

bool Transaction::begin()
{
    const bool sqlite = m_connection.dbType() == DatabaseType::SQLite;
    return run(sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
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
