#pragma once

#include "DatabaseConnection.h"

class QSqlDriver;

namespace RPX::SQL {

// A caller's transaction on one connection: every table operation run on that connection while it
// lives belongs to it. It rolls back when it goes out of scope without commit().
//
// A transaction belongs to one connection and one thread: the thread that holds the connection.
//
// On SQLite it begins with BEGIN IMMEDIATE, so a writer waits for the write lock up front (through
// the busy timeout) instead of failing half-way. On PostgreSQL a failed statement spoils the whole
// transaction, so statements in it are not retried, and commit() then reports false. When the
// PostgreSQL session is lost inside it, nothing more runs in it: every later statement fails at
// once, commit() returns false, and the connection opens a new session when the transaction ends.
class Transaction
{
public:
    explicit Transaction(DatabaseConnection& connection);
    ~Transaction();

    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Whether BEGIN succeeded and neither commit nor rollback has run yet.
    bool isActive() const { return m_active; }
    bool commit();
    void rollback();

    // Whether a transaction of this thread is open on the connection of that driver.
    static bool isOpenOn(const QSqlDriver* driver);
    // The open transaction's number on that connection, unique within the thread; 0 when none is
    // open. What is remembered for one transaction is forgotten once the number changes.
    static quint64 numberOn(const QSqlDriver* driver);

    // What ExecQuery reports of a statement that failed in the open transaction on that driver:
    // the transaction can no longer commit; when its session was lost, nothing more may run in it.
    enum class Failure { Statement, SessionLost };
    static void markFailed(const QSqlDriver* driver, Failure failure);
    static bool sessionLostOn(const QSqlDriver* driver);

private:
    bool run(const QString& statement);
    bool begin();
    void end();

    DatabaseConnection& m_connection;
    bool m_active = false;
};

}  // namespace RPX::SQL
