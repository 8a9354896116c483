#include "SessionHistory.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/Utility.h>

namespace RPX::SQL {

namespace {

const QString Columns = QStringLiteral(
    "id, destination_id, plan_id, date_start_utc, duration, result, uploaded_count, uploaded_size, scanned_count, "
    "scanned_size, purged_count, total_count, total_size, failed_count, error_message, processor_time, "
    "peel_memory_usage, diff_size, detailed_report_url, steps");

QString planText(const QUuid& planId)
{
    return KTL::Utility::Uuid2String::windows(planId);
}

QString dateOrEarliest(const QDateTime& value)
{
    return value.isValid() ? DateCode::text(value) : QStringLiteral("19000101000000");
}

QList<QSharedPointer<SessionHistory>> selectRows(Statement& statement)
{
    return selectAll<SessionHistory>(statement).first;
}

}  // namespace

QString SessionHistory::createTable(DatabaseType type)
{
    const QString columns = QStringLiteral(
        ", destination_id integer, plan_id text, date_start_utc numeric, duration integer, result integer, "
        "uploaded_count integer, uploaded_size numeric, scanned_count integer, scanned_size numeric, purged_count "
        "integer, total_count integer, total_size numeric, failed_count integer, error_message text, processor_time "
        "integer, peel_memory_usage numeric, diff_size numeric default -1, detailed_report_url text default NULL, "
        "steps text default NULL, UNIQUE(id))");
    return dialect(type, QStringLiteral("CREATE TABLE session_history (id INTEGER PRIMARY KEY ASC") + columns,
                   QStringLiteral("CREATE TABLE session_history (id SERIAL PRIMARY KEY") + columns);
}

QString SessionHistory::update(const QVersionNumber& from)
{
    // The steps column arrived with schema 0.10.
    if (from == QVersionNumber(0, 9))
        return QStringLiteral("ALTER TABLE session_history ADD COLUMN steps text default(NULL);");
    return QString();
}

void SessionHistory::bindFields(Statement& statement) const
{
    statement.bindU64(QStringLiteral(":destination_id"), m_destinationId)
        .bindText(QStringLiteral(":plan_id"), planText(m_palnId))
        .bind(QStringLiteral(":date_start_utc"), DateCode::number(m_dateStart))
        .bindU64(QStringLiteral(":duration"), m_duration)
        .bind(QStringLiteral(":result"), m_result.value())
        .bindU64(QStringLiteral(":uploaded_count"), m_uploadedCount)
        .bindU64(QStringLiteral(":uploaded_size"), m_uploadedSize)
        .bindU64(QStringLiteral(":scanned_count"), m_scannedCount)
        .bindU64(QStringLiteral(":scanned_size"), m_scannedSize)
        .bindU64(QStringLiteral(":purged_count"), m_purgedCount)
        .bindU64(QStringLiteral(":total_count"), m_totalCount)
        .bindU64(QStringLiteral(":total_size"), m_totalSize)
        .bindU64(QStringLiteral(":failed_count"), m_failedCount)
        .bindText(QStringLiteral(":error_message"), m_errorMessage)
        .bindU64(QStringLiteral(":processor_time"), m_processorTime)
        .bindU64(QStringLiteral(":peel_memory_usage"), m_peerMemmoryUsage)
        .bind(QStringLiteral(":diff_size"), qint64(m_diffSize))
        .bindText(QStringLiteral(":detailed_report_url"), m_detailedReportUrl)
        .bindText(QStringLiteral(":steps"), m_steps);
}

bool SessionHistory::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(
        connection,
        QStringLiteral("insert into session_history(destination_id, plan_id, date_start_utc, duration, result, "
                       "uploaded_count, uploaded_size, scanned_count, scanned_size, purged_count, total_count, "
                       "total_size, failed_count, error_message, processor_time, peel_memory_usage, diff_size, "
                       "detailed_report_url, steps) values (:destination_id, :plan_id, :date_start_utc, :duration, "
                       ":result, :uploaded_count, :uploaded_size, :scanned_count, :scanned_size, :purged_count, "
                       ":total_count, :total_size, :failed_count, :error_message, :processor_time, "
                       ":peel_memory_usage, :diff_size, :detailed_report_url, :steps)"), Statement::ReturnsId);
    bindFields(statement);
    if (statement.exec() != Result::Ok)
        return false;
    m_id = statement.lastInsertId();
    return true;
}

bool SessionHistory::update(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return false;
    Statement statement(
        connection,
        QStringLiteral("update session_history set destination_id = :destination_id, plan_id = :plan_id, "
                       "date_start_utc = :date_start_utc, duration = :duration, result = :result, uploaded_count = "
                       ":uploaded_count, uploaded_size = :uploaded_size, scanned_count = :scanned_count, "
                       "scanned_size = :scanned_size, purged_count = :purged_count, total_count = :total_count, "
                       "total_size = :total_size, failed_count = :failed_count, error_message = :error_message, "
                       "processor_time = :processor_time, peel_memory_usage = :peel_memory_usage, diff_size = "
                       ":diff_size, detailed_report_url = :detailed_report_url, steps = :steps where id = :id"));
    bindFields(statement);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec() == Result::Ok;
}

bool SessionHistory::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_destinationId = row.u64(QStringLiteral("destination_id"));
    m_palnId = row.uuid(QStringLiteral("plan_id"));
    m_dateStart = row.date14(QStringLiteral("date_start_utc"));
    m_duration = row.u64(QStringLiteral("duration"));
    m_result = RPX::Info::Plan::PlanResult(int(quint8(row.u64(QStringLiteral("result")))));
    m_uploadedCount = row.u64(QStringLiteral("uploaded_count"));
    m_uploadedSize = row.u64(QStringLiteral("uploaded_size"));
    m_scannedCount = row.u64(QStringLiteral("scanned_count"));
    m_scannedSize = row.u64(QStringLiteral("scanned_size"));
    m_purgedCount = row.u64(QStringLiteral("purged_count"));
    m_totalCount = row.u64(QStringLiteral("total_count"));
    m_totalSize = row.u64(QStringLiteral("total_size"));
    m_failedCount = row.u64(QStringLiteral("failed_count"));
    m_errorMessage = row.text(QStringLiteral("error_message"));
    m_processorTime = row.u64(QStringLiteral("processor_time"));
    m_peerMemmoryUsage = row.u64(QStringLiteral("peel_memory_usage"));
    m_diffSize = row.i64(QStringLiteral("diff_size"));
    m_detailedReportUrl = row.text(QStringLiteral("detailed_report_url"));
    m_steps = row.text(QStringLiteral("steps"));
    return true;
}

QSharedPointer<SessionHistory> SessionHistory::selectLast(const QUuid& planId, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    Statement statement(connection, QStringLiteral("select ") + Columns +
                                        QStringLiteral(" from session_history  where plan_id = :plan_id  order by "
                                                       " id desc  limit 1"));
    statement.bindText(QStringLiteral(":plan_id"), planText(planId));
    return selectOne<SessionHistory>(statement).first;
}

QSharedPointer<SessionHistory> SessionHistory::selectById(unsigned long long id, DatabaseConnection& connection)
{
    if (!connection.isOpen() || id == 0)
        return {};
    Statement statement(connection, QStringLiteral("select * from session_history where id = :id"));
    statement.bindU64(QStringLiteral(":id"), id);
    return selectOne<SessionHistory>(statement).first;
}

QList<QSharedPointer<SessionHistory>> SessionHistory::selectLast(unsigned long long limit, unsigned long long offset,
                                                                  const DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    // PostgreSQL insists on an alias for a sub-select in FROM.
    Statement statement(
        connection,
        dialect(connection.dbType(),
                QStringLiteral("SELECT * FROM (SELECT * FROM session_history ORDER BY id DESC LIMIT :limit OFFSET "
                               ":offset) ORDER BY id ASC"),
                QStringLiteral("SELECT * FROM (SELECT * FROM session_history ORDER BY id DESC LIMIT :limit OFFSET "
                               ":offset) AS newest ORDER BY id ASC")));
    statement.bindU64(QStringLiteral(":limit"), limit).bindU64(QStringLiteral(":offset"), offset);
    return selectRows(statement);
}

QList<QSharedPointer<SessionHistory>> SessionHistory::select(const QUuid& planId, const QDateTime& begin,
                                                              const QDateTime& end, long long beforeId,
                                                              long long limit, const DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    const DatabaseType type = connection.dbType();
    QString sql = dialect(
        type,
        QStringLiteral("select id, destination_id, plan_id, date_start_utc, ifnull(duration,0) as duration, result, "
                       "ifnull(uploaded_count, 0) as uploaded_count, ifnull(uploaded_size, 0) as uploaded_size, "
                       "scanned_count, scanned_size, purged_count, total_count, total_size, failed_count, "
                       "ifnull(error_message, '') as error_message, processor_time, peel_memory_usage, diff_size, "
                       "detailed_report_url , steps from session_history where date_start_utc >= "
                       ":begin_date_start_utc "),
        QStringLiteral("select id, destination_id, plan_id, date_start_utc, COALESCE(duration,0) as duration, "
                       "result, COALESCE(uploaded_count, 0) as uploaded_count, COALESCE(uploaded_size, 0) as "
                       "uploaded_size, scanned_count, scanned_size, purged_count, total_count, total_size, "
                       "failed_count, COALESCE(error_message, '') as error_message, processor_time, "
                       "peel_memory_usage, diff_size, detailed_report_url , steps from session_history where "
                       "date_start_utc >= :begin_date_start_utc "));
    if (sql.isEmpty())
        return {};
    if (end.isValid())
        sql += QStringLiteral(" and date_start_utc <= :end_date_start_utc ");
    if (!planId.isNull())
        sql += QStringLiteral(" and plan_id = :plan_id ");
    if (beforeId > 0)
        sql += QStringLiteral(" and id < :id ");
    sql += QStringLiteral(" order by date_start_utc desc ");
    if (limit != 0)
        sql += QStringLiteral(" limit :limit");

    Statement statement(connection, sql);
    statement.bindText(QStringLiteral(":begin_date_start_utc"), dateOrEarliest(begin));
    if (end.isValid())
        statement.bindText(QStringLiteral(":end_date_start_utc"), dateOrEarliest(end));
    if (!planId.isNull())
        statement.bindText(QStringLiteral(":plan_id"), planText(planId));
    if (beforeId > 0)
        statement.bind(QStringLiteral(":id"), qint64(beforeId));
    if (limit != 0) {
        // A negative limit means no bound; PostgreSQL says so with NULL and rejects negative numbers.
        if (limit < 0 && type == DatabaseType::PostgreSQL)
            statement.bind(QStringLiteral(":limit"), QtCompat::null<qlonglong>());
        else
            statement.bind(QStringLiteral(":limit"), qint64(limit));
    }
    return selectRows(statement);
}

}  // namespace RPX::SQL
