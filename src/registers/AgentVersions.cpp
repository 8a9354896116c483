#include "AgentVersions.h"

#include <rpxRepository/database/agent/Identity.h>

namespace RPX::SQL {

QString AgentVersions::createTable(DatabaseType type)
{
    return dialect(type,
                   QStringLiteral("CREATE TABLE agent_versions ( version TEXT NOT NULL, install_date_utc DATETIME NOT "
                                  "NULL, architecture integer NOT NULL);"),
                   QStringLiteral("CREATE TABLE agent_versions ( version TEXT NOT NULL, install_date_utc TIMESTAMP "
                                  "NOT NULL, architecture integer NOT NULL);"));
}

QStringList AgentVersions::update(const QVersionNumber&, const QString&)
{
    return {};
}

int AgentVersions::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return Result::Error;
    Statement statement(connection, QStringLiteral("insert into agent_versions (version, install_date_utc, "
                                                   "architecture) values(:version, :install_date_utc, :architecture)"));
    statement.bind(QStringLiteral(":version"), m_version.toString())
        .bind(QStringLiteral(":install_date_utc"), dateTimeValue(connection.dbType(), QDateTime::currentDateTimeUtc()))
        .bind(QStringLiteral(":architecture"), KTL::Core::currentCpuArchitecture());
    return statement.exec();
}

bool AgentVersions::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_version = QVersionNumber::fromString(row.text(QStringLiteral("version")));
    m_installDate = row.value(QStringLiteral("install_date_utc")).toDateTime();
    if (!m_installDate.isNull())
        m_installDate.setTimeSpec(Qt::UTC);
    m_architecture = row.i32(QStringLiteral("architecture"));
    return true;
}

RowResult<AgentVersions> AgentVersions::lastVersion(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {{}, Result::Error};
    Statement statement(connection, QStringLiteral("select version, install_date_utc, architecture from "
                                                   "agent_versions order by install_date_utc desc limit 1"));
    return selectOne<AgentVersions>(statement);
}

}  // namespace RPX::SQL
