#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/agent/PlanInfo.h>

#include <QDateTime>
#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QUuid>
#include <QVersionNumber>

namespace RPX::SQL {

class Statement;

// One run (session) of a plan: its timing, result, counters and report.
class SessionHistory
{
public:
    static QString createTable(DatabaseType type);
    // Statements that bring the table up from schema version `from`; empty when none are needed.
    static QString update(const QVersionNumber& from);

    bool insert(DatabaseConnection& connection);
    // Rewrites the row with this object's id; succeeds also when there is no such row.
    bool update(DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    // The plan's newest run, or null.
    static QSharedPointer<SessionHistory> selectLast(const QUuid& planId, DatabaseConnection& connection);
    static QSharedPointer<SessionHistory> selectById(unsigned long long id, DatabaseConnection& connection);
    // A page counted back from the newest run, returned oldest first.
    static QList<QSharedPointer<SessionHistory>> selectLast(unsigned long long limit, unsigned long long offset,
                                                             const DatabaseConnection& connection);
    // Runs started in [begin, end] (open where invalid), of one plan unless planId is null, with
    // ids below beforeId when it is positive; newest start first, at most `limit` unless 0.
    static QList<QSharedPointer<SessionHistory>> select(const QUuid& planId, const QDateTime& begin,
                                                         const QDateTime& end, long long beforeId, long long limit,
                                                         const DatabaseConnection& connection);

    unsigned long long id() const { return m_id; }
    void setId(unsigned long long id) { m_id = id; }
    unsigned long long destinationId() const { return m_destinationId; }
    void setDestinationId(unsigned long long destinationId) { m_destinationId = destinationId; }
    const QUuid& palnId() const { return m_palnId; }
    void setPalnId(const QUuid& palnId) { m_palnId = palnId; }
    const QDateTime& dateStart() const { return m_dateStart; }
    void setDateStart(const QDateTime& dateStart) { m_dateStart = dateStart; }
    unsigned long long duration() const { return m_duration; }
    void setDuration(unsigned long long duration) { m_duration = duration; }
    const RPX::Info::Plan::PlanResult& result() const { return m_result; }
    void setResult(const RPX::Info::Plan::PlanResult& result) { m_result = result; }
    unsigned long long uploadedCount() const { return m_uploadedCount; }
    void setUploadedCount(unsigned long long uploadedCount) { m_uploadedCount = uploadedCount; }
    unsigned long long uploadedSize() const { return m_uploadedSize; }
    void setUploadedSize(unsigned long long uploadedSize) { m_uploadedSize = uploadedSize; }
    unsigned long long scannedCount() const { return m_scannedCount; }
    void setScannedCount(unsigned long long scannedCount) { m_scannedCount = scannedCount; }
    unsigned long long scannedSize() const { return m_scannedSize; }
    void setScannedSize(unsigned long long scannedSize) { m_scannedSize = scannedSize; }
    unsigned long long purgedCount() const { return m_purgedCount; }
    void setPurgedCount(unsigned long long purgedCount) { m_purgedCount = purgedCount; }
    unsigned long long totalCount() const { return m_totalCount; }
    void setTotalCount(unsigned long long totalCount) { m_totalCount = totalCount; }
    unsigned long long totalSize() const { return m_totalSize; }
    void setTotalSize(unsigned long long totalSize) { m_totalSize = totalSize; }
    unsigned long long failedCount() const { return m_failedCount; }
    void setFailedCount(unsigned long long failedCount) { m_failedCount = failedCount; }
    const QString& errorMessage() const { return m_errorMessage; }
    void setErrorMessage(const QString& errorMessage) { m_errorMessage = errorMessage; }
    unsigned long long processorTime() const { return m_processorTime; }
    void setProcessorTime(unsigned long long processorTime) { m_processorTime = processorTime; }
    unsigned long long peerMemmoryUsage() const { return m_peerMemmoryUsage; }
    void setPeerMemmoryUsage(unsigned long long peerMemmoryUsage) { m_peerMemmoryUsage = peerMemmoryUsage; }
    long long diffSize() const { return m_diffSize; }
    void setDiffSize(long long diffSize) { m_diffSize = diffSize; }
    const QString& detailedReportUrl() const { return m_detailedReportUrl; }
    void setDetailedReportUrl(const QString& detailedReportUrl) { m_detailedReportUrl = detailedReportUrl; }
    const QString& steps() const { return m_steps; }
    void setSteps(const QString& steps) { m_steps = steps; }

private:
    void bindFields(Statement& statement) const;

    unsigned long long m_id = 0;
    unsigned long long m_destinationId = 0;
    QUuid m_palnId;
    QDateTime m_dateStart;
    unsigned long long m_duration = 0;
    RPX::Info::Plan::PlanResult m_result{RPX::Info::Plan::PlanResult::Running};
    unsigned long long m_uploadedCount = 0;
    unsigned long long m_uploadedSize = 0;
    unsigned long long m_scannedCount = 0;
    unsigned long long m_scannedSize = 0;
    unsigned long long m_purgedCount = 0;
    unsigned long long m_totalCount = 0;
    unsigned long long m_totalSize = 0;
    unsigned long long m_failedCount = 0;
    QString m_errorMessage;
    unsigned long long m_processorTime = 0;
    unsigned long long m_peerMemmoryUsage = 0;
    long long m_diffSize = -1;
    QString m_detailedReportUrl;
    QString m_steps;
};

}  // namespace RPX::SQL
