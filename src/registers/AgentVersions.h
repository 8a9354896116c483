#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QDateTime>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL {

// One installation of an agent version; rows are only appended.
class AgentVersions
{
public:
    static QString createTable(DatabaseType type);
    static QStringList update(const QVersionNumber& from, const QString&);

    // Records this version as installed now on this machine's architecture.
    int insert(DatabaseConnection& connection);
    bool init(QSqlQuery& query);
    // The most recently installed version; (null, Ok) when none is recorded.
    static RowResult<AgentVersions> lastVersion(DatabaseConnection& connection);

    const QVersionNumber& version() const { return m_version; }
    void setVersion(const QVersionNumber& version) { m_version = version; }
    const QDateTime& installDate() const { return m_installDate; }
    int architecture() const { return m_architecture; }

private:
    QVersionNumber m_version;
    QDateTime m_installDate;
    int m_architecture = 0;
};

}  // namespace RPX::SQL
