#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QByteArray>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// The blocks held in each part; a block address is recorded at most once per generation database.
class PartsBlocks
{
public:
    PartsBlocks() = default;
    PartsBlocks(qint64 id, quint64 partId, const QByteArray& address);

    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    // An address already stored fails on its unique constraint.
    int insert(const QString& prefix, DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    static RowResult<PartsBlocks> select(qint64 id, const QString& prefix, DatabaseConnection& connection);

    qint64 id() const { return m_id; }
    quint64 partId() const { return m_partId; }
    QByteArray address() const { return m_address; }

private:
    qint64 m_id = 0;
    quint64 m_partId = 0;
    QByteArray m_address;
};

}  // namespace RPX::SQL::Generation
