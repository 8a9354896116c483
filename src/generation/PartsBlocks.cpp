#include "PartsBlocks.h"

#include "SchemaPrefix.h"

namespace RPX::SQL::Generation {

PartsBlocks::PartsBlocks(qint64 id, quint64 partId, const QByteArray& address)
    : m_id(id), m_partId(partId), m_address(address)
{
}

QString PartsBlocks::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1part_blocks (id integer NOT NULL, part_id INTEGER NOT NULL, address "
                                   "BLOB NOT NULL, PRIMARY KEY(id), UNIQUE(address), FOREIGN KEY (part_id) REFERENCES "
                                   "parts(id) ON UPDATE CASCADE ON DELETE CASCADE);"),
                    prefix);
}

QStringList PartsBlocks::createIndex(const QString& prefix)
{
    const QString statement = prefixed(
        QStringLiteral("CREATE INDEX IF NOT EXISTS %1part_blocks_part_id ON part_blocks (part_id);"), prefix);
    return statement.isEmpty() ? QStringList() : QStringList{statement};
}

QStringList PartsBlocks::update(const QVersionNumber&, const QString&)
{
    return {};
}

int PartsBlocks::insert(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(
        QStringLiteral("insert into %1part_blocks (id, part_id, address) values (:id, :part_id, :address)"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":id"), m_id)
        .bindU64(QStringLiteral(":part_id"), m_partId)
        .bind(QStringLiteral(":address"), m_address);
    return statement.exec();
}

bool PartsBlocks::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.i64(QStringLiteral("id"));
    m_partId = row.u64(QStringLiteral("part_id"));
    m_address = row.bytes(QStringLiteral("address"));
    return true;
}

RowResult<PartsBlocks> PartsBlocks::select(qint64 id, const QString& prefix, DatabaseConnection& connection)
{
    const QString sql =
        prefixed(QStringLiteral("select id, part_id, address from %1part_blocks where id = :id"), prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":id"), id);
    return selectOne<PartsBlocks>(statement);
}

}  // namespace RPX::SQL::Generation
