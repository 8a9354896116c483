#include "History.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/HistoryInfo.h>

namespace RPX::SQL {

namespace {

using RPX::Info::History::OperationType;

QString dateOrEarliest(const QDateTime& value)
{
    return value.isValid() ? DateCode::text(value) : QStringLiteral("19000101000000");
}

// A LIKE pattern that finds `text` anywhere, with '!' escaping the pattern's own characters.
QString containsPattern(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size() + 2);
    escaped += QLatin1Char('%');
    for (const QChar character : text) {
        if (character == QLatin1Char('!') || character == QLatin1Char('%') || character == QLatin1Char('_'))
            escaped += QLatin1Char('!');
        escaped += character;
    }
    escaped += QLatin1Char('%');
    return escaped;
}

}  // namespace

QString History::createTable(DatabaseType type)
{
    const QString columns = QStringLiteral(
        ", destination_id integer, plan_id text, local_path text, operation integer, duration integer, "
        "date_finished_utc numeric, date_modified_utc numeric, size numeric, message text, session_id integer, "
        "attempts integer, UNIQUE(id));");
    return dialect(type, QStringLiteral("CREATE TABLE history (id INTEGER PRIMARY KEY ASC") + columns,
                   QStringLiteral("CREATE TABLE history (id SERIAL PRIMARY KEY") + columns);
}

bool History::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(
        connection,
        QStringLiteral("insert into history(destination_id, plan_id, local_path, operation, duration, "
                       "date_finished_utc, date_modified_utc, size, message, session_id, attempts) values "
                       "(:destination_id, :plan_id, :local_path, :operation, :duration, :date_finished_utc, "
                       ":date_modified_utc, :size, :message, :session_id, :attempts)"), Statement::ReturnsId);
    statement.bindU64(QStringLiteral(":destination_id"), m_destinationId)
        .bindText(QStringLiteral(":plan_id"), m_palnId.toString(QUuid::WithoutBraces))
        .bindText(QStringLiteral(":local_path"), m_localPath)
        .bind(QStringLiteral(":operation"), int(m_operationType))
        .bindU64(QStringLiteral(":duration"), m_duration)
        .bind(QStringLiteral(":date_finished_utc"), DateCode::number(m_dateFinished))
        .bind(QStringLiteral(":date_modified_utc"), DateCode::number(m_dateModified))
        .bindU64(QStringLiteral(":size"), m_size)
        .bindText(QStringLiteral(":message"), m_message)
        .bindU64(QStringLiteral(":session_id"), m_sessionId)
        .bindU64(QStringLiteral(":attempts"), m_attempts);
    if (statement.exec() != Result::Ok)
        return false;
    m_id = statement.lastInsertId();
    return true;
}

bool History::init(QSqlQuery& query, bool withPlanName)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_destinationId = row.u64(QStringLiteral("destination_id"));
    m_duration = row.u64(QStringLiteral("duration"));
    m_size = row.u64(QStringLiteral("size"));
    m_sessionId = row.u64(QStringLiteral("session_id"));
    m_attempts = row.u64(QStringLiteral("attempts"));
    m_operationType = static_cast<unsigned char>(row.u64(QStringLiteral("operation")));
    m_palnId = row.uuid(QStringLiteral("plan_id"));
    m_localPath = row.text(QStringLiteral("local_path"));
    m_message = row.text(QStringLiteral("message"));
    if (withPlanName)
        m_planName = row.text(QStringLiteral("plan_name"));
    m_dateFinished = row.date14(QStringLiteral("date_finished_utc"));
    m_dateModified = row.date14(QStringLiteral("date_modified_utc"));
    return true;
}

void History::execQuery(QSqlQuery& query, QList<QSharedPointer<History>>& rows, bool withPlanName)
{
    if (ExecQuery(query).exec() != Result::Ok)
        return;
    while (true) {
        QSharedPointer<History> row(new History());
        if (!row->init(query, withPlanName))
            break;
        rows.append(row);
    }
}

QList<QSharedPointer<History>> History::select(unsigned long long sessionId, unsigned long long limit,
                                               unsigned long long offset, const DatabaseConnection& connection)
{
    QList<QSharedPointer<History>> rows;
    if (!connection.isOpen())
        return rows;
    Statement statement(connection,
                        QStringLiteral("select * from history where session_id = :session_id limit :limit offset "
                                       ":offset"));
    statement.bindU64(QStringLiteral(":session_id"), sessionId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    execQuery(statement.query(), rows, false);
    return rows;
}

QList<QSharedPointer<History>> History::select(const QUuid& planId, const QDateTime& begin, const QDateTime& end,
                                               int, int operation, const QString& pathFilter, int limit,
                                               const DatabaseConnection& connection)
{
    QList<QSharedPointer<History>> rows;
    if (!connection.isOpen())
        return rows;
    const DatabaseType type = connection.dbType();
    const QString head = QStringLiteral(
        "SELECT id, destination_id, history.plan_id as plan_id, session_id, attempts, date_modified_utc, duration, "
        "local_path");
    const QString tail = QStringLiteral(
        ", operation, size, date_finished_utc, plan_name.name as plan_name FROM history, plan_name WHERE "
        "plan_name.plan_id = history.plan_id and date_finished_utc >= :begin_date_finished_utc");
    QString sql = dialect(type, head + QStringLiteral(", ifnull(message, '') as message") + tail,
                          head + QStringLiteral(", COALESCE(message, '') as message") + tail);
    if (sql.isEmpty())
        return rows;

    if (end.isValid())
        sql += QStringLiteral(" and date_finished_utc <= :end_date_finished_utc");
    if (!planId.isNull())
        sql += QStringLiteral(" and history.plan_id = :plan_id");
    const OperationType operationType(operation);
    const bool failedOnly = operationType.value() == OperationType::Failed;
    const bool oneKind = !failedOnly && operationType.value() != OperationType::Any;
    if (failedOnly)
        sql += dialect(type, QStringLiteral(" and (message not NULL and message <> 'Success' and message <> '')"),
                       QStringLiteral(" and (message IS NOT NULL and message <> 'Success' and message <> '')"));
    else if (oneKind)
        sql += QStringLiteral(" and operation = :operation");
    // The filter is matched literally: '!' escapes its wildcards on both engines.
    if (!pathFilter.isEmpty())
        sql += dialect(type, QStringLiteral(" and like(:path_filter, local_path, '!') = 1"),
                       QStringLiteral(" and local_path ILIKE :path_filter ESCAPE '!'"));
    sql += QStringLiteral(" ORDER BY date_finished_utc DESC LIMIT :limit");

    Statement statement(connection, sql);
    statement.bindText(QStringLiteral(":begin_date_finished_utc"), dateOrEarliest(begin));
    if (end.isValid())
        statement.bindText(QStringLiteral(":end_date_finished_utc"), DateCode::text(end));
    if (!planId.isNull())
        statement.bindText(QStringLiteral(":plan_id"), planId.toString(QUuid::WithoutBraces));
    if (oneKind)
        statement.bind(QStringLiteral(":operation"), operation);
    if (!pathFilter.isEmpty())
        statement.bindText(QStringLiteral(":path_filter"), containsPattern(pathFilter));
    // A negative limit means no bound; PostgreSQL says so with NULL and rejects negative numbers.
    if (limit < 0 && type == DatabaseType::PostgreSQL)
        statement.bind(QStringLiteral(":limit"), QtCompat::null<qlonglong>());
    else
        statement.bind(QStringLiteral(":limit"), limit);
    execQuery(statement.query(), rows, true);
    return rows;
}

}  // namespace RPX::SQL
