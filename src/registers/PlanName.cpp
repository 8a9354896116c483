#include "PlanName.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/Utility.h>

namespace RPX::SQL {

QString PlanName::createTable(DatabaseType type)
{
    return bothDialects(type, QStringLiteral("CREATE TABLE IF NOT EXISTS plan_name ( plan_id text  PRIMARY KEY, "
                                             "name text NOT NULL, type integer NOT NULL);"));
}

bool PlanName::update(const QUuid& planId, const QString& name, RPX::Info::Plan::SubType type,
                      DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    const QString sql =
        dialect(connection.dbType(),
                QStringLiteral("INSERT OR REPLACE INTO plan_name(plan_id, name, type) VALUES (:plan_id, :name, :type)"),
                QStringLiteral("insert into plan_name(plan_id, name, type) VALUES (:plan_id, :name, :type) on "
                               "conflict(plan_id) do update set name = excluded.name"));
    if (sql.isEmpty())
        return false;
    Statement statement(connection, sql);
    statement.bindText(QStringLiteral(":plan_id"), KTL::Utility::Uuid2String::windows(planId))
        .bind(QStringLiteral(":name"), name.isNull() ? QString(QLatin1String("")) : name)
        .bind(QStringLiteral(":type"), int(type));
    return statement.exec() == Result::Ok;
}

bool PlanName::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.uuid(QStringLiteral("plan_id"));
    m_name = row.text(QStringLiteral("name"));
    m_type = RPX::Info::Plan::SubType(quint8(row.u64(QStringLiteral("type"))));
    return true;
}

QMap<QUuid, QSharedPointer<PlanName>> PlanName::select(DatabaseConnection& connection)
{
    QMap<QUuid, QSharedPointer<PlanName>> plans;
    if (!connection.isOpen())
        return plans;
    Statement statement(connection, QStringLiteral("select plan_id, name, type from plan_name"));
    for (const QSharedPointer<PlanName>& plan : selectAll<PlanName>(statement).first)
        plans.insert(plan->id(), plan);
    return plans;
}

}  // namespace RPX::SQL
