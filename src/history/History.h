#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>

#include <QDateTime>
#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QUuid>

namespace RPX::SQL {

// One operation on one local path within a plan run.
class History
{
public:
    static QString createTable(DatabaseType type);

    bool insert(DatabaseConnection& connection);
    // plan_name is read only from selects that join the plan names.
    bool init(QSqlQuery& query, bool withPlanName);

    // One page of a session's operations, in the database's order, without plan names.
    static QList<QSharedPointer<History>> select(unsigned long long sessionId, unsigned long long limit,
                                                 unsigned long long offset, const DatabaseConnection& connection);
    // Operations of named plans finished in [begin, end] (open where invalid), newest first, with
    // plan names. planId: null for every plan. operation: an operation code, -1 for every kind,
    // 100 for failed operations of every kind. pathFilter: text the local path contains, ignoring
    // ASCII case; empty for every path. The unnamed int carries nothing.
    static QList<QSharedPointer<History>> select(const QUuid& planId, const QDateTime& begin, const QDateTime& end,
                                                 int, int operation, const QString& pathFilter, int limit,
                                                 const DatabaseConnection& connection);
    // Runs a prepared query and appends a row per result; appends nothing when it fails.
    static void execQuery(QSqlQuery& query, QList<QSharedPointer<History>>& rows, bool withPlanName);

    unsigned long long id() const { return m_id; }
    void setId(unsigned long long id) { m_id = id; }
    unsigned long long destinationId() const { return m_destinationId; }
    void setDestinationId(unsigned long long destinationId) { m_destinationId = destinationId; }
    unsigned char operationType() const { return m_operationType; }
    void setOperationType(unsigned char operationType) { m_operationType = operationType; }
    unsigned long long duration() const { return m_duration; }
    void setDuration(unsigned long long duration) { m_duration = duration; }
    unsigned long long size() const { return m_size; }
    void setSize(unsigned long long size) { m_size = size; }
    unsigned long long sessionId() const { return m_sessionId; }
    void setSessionId(unsigned long long sessionId) { m_sessionId = sessionId; }
    unsigned long long attempts() const { return m_attempts; }
    void setAttempts(unsigned long long attempts) { m_attempts = attempts; }
    const QString& localPath() const { return m_localPath; }
    void setLocalPath(const QString& localPath) { m_localPath = localPath; }
    // "Success" and the empty text mean the operation succeeded.
    const QString& message() const { return m_message; }
    void setMessage(const QString& message) { m_message = message; }
    const QString& planName() const { return m_planName; }
    void setPlanName(const QString& planName) { m_planName = planName; }
    const QUuid& palnId() const { return m_palnId; }
    void setPalnId(const QUuid& palnId) { m_palnId = palnId; }
    const QDateTime& dateFinished() const { return m_dateFinished; }
    void setDateFinished(const QDateTime& dateFinished) { m_dateFinished = dateFinished; }
    const QDateTime& dateModified() const { return m_dateModified; }
    void setDateModified(const QDateTime& dateModified) { m_dateModified = dateModified; }

private:
    unsigned long long m_id = 0;
    unsigned long long m_destinationId = 0;
    unsigned char m_operationType = 0;
    unsigned long long m_duration = 0;
    unsigned long long m_size = 0;
    unsigned long long m_sessionId = 0;
    unsigned long long m_attempts = 1;
    QString m_localPath;
    QString m_message;
    QString m_planName;
    QUuid m_palnId;
    QDateTime m_dateFinished;
    QDateTime m_dateModified;
};

}  // namespace RPX::SQL
