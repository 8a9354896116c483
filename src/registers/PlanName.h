#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/agent/PlanInfo.h>

#include <QMap>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <QUuid>

namespace RPX::SQL {

// Display name and sub-type of a plan, keyed by plan id.
class PlanName
{
public:
    static QString createTable(DatabaseType type);

    // Records the plan's name. SQLite replaces the whole row; PostgreSQL keeps the type of a
    // plan it already knows and changes only the name.
    static bool update(const QUuid& planId, const QString& name, RPX::Info::Plan::SubType type,
                       DatabaseConnection& connection);
    bool init(QSqlQuery& query);
    // Every plan by id; empty when the select fails.
    static QMap<QUuid, QSharedPointer<PlanName>> select(DatabaseConnection& connection);

    const QUuid& id() const { return m_id; }
    const QString& name() const { return m_name; }
    RPX::Info::Plan::SubType type() const { return m_type; }

private:
    QUuid m_id;
    QString m_name;
    RPX::Info::Plan::SubType m_type = RPX::Info::Plan::SubType(0);
};

}  // namespace RPX::SQL
