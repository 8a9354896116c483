#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// Which storage files are parts of which restore point; a part's id is its storage file's id.
class Parts
{
public:
    Parts() = default;
    Parts(quint64 id, quint64 restorePointId);

    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    // A part already recorded is left as it is and counts as success.
    int insert(const QString& prefix, DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    static ListResult<Parts> select(quint64 restorePointId, const QString& prefix, DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    quint64 restorePointId() const { return m_restorePointId; }

private:
    quint64 m_id = 0;
    quint64 m_restorePointId = 0;
};

}  // namespace RPX::SQL::Generation
