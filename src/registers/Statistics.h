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

// How often and when a feature was last used; the caller chooses the feature ids.
class Statistics
{
public:
    static QString createTable(DatabaseType type);
    static QStringList update(const QVersionNumber& from, const QString&);

    // Registers the feature with counter 0. Id 0 is refused.
    int insert(DatabaseConnection& connection);
    // Counts one use of a registered feature now; an unregistered id fails and adds no row.
    static int update(unsigned long long id, DatabaseConnection& connection);
    bool init(QSqlQuery& query);
    static ListResult<Statistics> select(DatabaseConnection& connection);

    unsigned long long id() const { return m_id; }
    void setId(unsigned long long id) { m_id = id; }
    const QString& featureName() const { return m_featureName; }
    void setFeatureName(const QString& featureName) { m_featureName = featureName; }
    qint32 counter() const { return m_counter; }
    const QDateTime& lastUseDate() const { return m_lastUseDate; }

private:
    unsigned long long m_id = 0;
    QString m_featureName;
    qint32 m_counter = 0;
    QDateTime m_lastUseDate;
};

}  // namespace RPX::SQL
