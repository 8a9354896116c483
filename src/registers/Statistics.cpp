#include "Statistics.h"

#include <rpxRepository/database/Utitlity.h>

namespace RPX::SQL {

QString Statistics::createTable(DatabaseType type)
{
    return dialect(type,
                   QStringLiteral("CREATE TABLE statistic (id INTEGER PRIMARY KEY , feature_name TEXT NOT NULL , "
                                  "counter INTEGER DEFAULT 0 NOT NULL , last_use_date_utc DATETIME NULL);"),
                   QStringLiteral("CREATE TABLE statistic (id INTEGER PRIMARY KEY , feature_name TEXT NOT NULL , "
                                  "counter INTEGER DEFAULT 0 NOT NULL , last_use_date_utc TIMESTAMP NULL);"));
}

QStringList Statistics::update(const QVersionNumber&, const QString&)
{
    return {};
}

int Statistics::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_id == 0)
        return Result::Error;
    Statement statement(connection,
                        QStringLiteral("insert into statistic (id, feature_name) values(:id, :feature_name)"));
    statement.bindU64(QStringLiteral(":id"), m_id).bindText(QStringLiteral(":feature_name"), m_featureName);
    const int result = statement.exec();
    if (result != Result::Ok)
        return result;
    // The table has no sequence on PostgreSQL, so the driver's last insert id says nothing there.
    if (connection.dbType() == DatabaseType::PostgreSQL)
        return Result::Ok;
    if (!statement.hasLastInsertId())
        return Result::Error;
    m_id = statement.lastInsertId();
    return Result::Ok;
}

int Statistics::update(unsigned long long id, DatabaseConnection& connection)
{
    if (!connection.isOpen() || id == 0)
        return Result::Error;
    // The new row takes its counter and name from the old one: for an unknown id both are NULL
    // and the NOT NULL columns reject the row. On PostgreSQL those checks run before the
    // conflict is resolved, so the upsert fails the same way.
    const QString values = QStringLiteral(
        "(id, counter, feature_name, last_use_date_utc) VALUES (:id, (SELECT counter FROM statistic WHERE id = :id) "
        "+ 1, (SELECT feature_name FROM statistic WHERE id = :id), :last_use_date_utc)");
    const QString sql = dialect(connection.dbType(), QStringLiteral("REPLACE INTO statistic ") + values,
                                QStringLiteral("INSERT INTO statistic ") + values +
                                    QStringLiteral(" ON CONFLICT (id) DO UPDATE SET counter = excluded.counter, "
                                                   "feature_name = excluded.feature_name, last_use_date_utc = "
                                                   "excluded.last_use_date_utc"));
    if (sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), id)
        .bind(QStringLiteral(":last_use_date_utc"),
              dateTimeValue(connection.dbType(), Utitlity::modifiedDateTime(QDateTime::currentDateTimeUtc())));
    return statement.exec();
}

bool Statistics::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_lastUseDate = row.dateTime(QStringLiteral("last_use_date_utc"));
    m_counter = row.i32(QStringLiteral("counter"));
    m_featureName = row.text(QStringLiteral("feature_name"));
    return true;
}

ListResult<Statistics> Statistics::select(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {{}, Result::Error};
    Statement statement(connection,
                        QStringLiteral("select id, feature_name, counter, last_use_date_utc from statistic"));
    return selectAll<Statistics>(statement);
}

}  // namespace RPX::SQL
