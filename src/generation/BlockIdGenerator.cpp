#include "BlockIdGenerator.h"

#include "SchemaPrefix.h"

#include <rpxRepository/database/SqlSupport.h>

namespace RPX::SQL::Generation {

QString BlockIdGenerator::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1block_id_generator (id INTEGER PRIMARY KEY AUTOINCREMENT)"), prefix);
}

QStringList BlockIdGenerator::createIndex(const QString&)
{
    return {};
}

QStringList BlockIdGenerator::update(const QVersionNumber&, const QString&)
{
    return {};
}

QString BlockIdGenerator::init(const QString& prefix)
{
    return prefixed(
        QStringLiteral("insert into %1SQLITE_SEQUENCE (seq, name) values (0, 'block_id_generator')"), prefix);
}

qint64 BlockIdGenerator::next(const QString& prefix, DatabaseConnection& connection)
{
    const QString increment = prefixed(
        QStringLiteral("update %1SQLITE_SEQUENCE set seq = COALESCE(seq, 0) + 1 where name = 'block_id_generator'"),
        prefix);
    const QString read =
        prefixed(QStringLiteral("select seq from %1SQLITE_SEQUENCE where name = 'block_id_generator'"), prefix);
    if (!connection.isOpen() || increment.isEmpty())
        return -1;

    // Another connection could increment between our update and our select and both callers would
    // read the same value; a transaction keeps the write lock until the value is read. Inside a
    // transaction the caller opened already, the caller's transaction serves the same purpose.
    QSqlDatabase database = connection.database();
    const bool ownTransaction = database.transaction();

    qint64 id = -1;
    QSqlQuery query = connection.query();
    query.prepare(increment);
    if (ExecQuery(query).exec() == Result::Ok) {
        query.prepare(read);
        if (ExecQuery(query).exec() == Result::Ok && query.next())
            id = toI64(query.value(0));
    }
    query.finish();

    if (ownTransaction) {
        if (id < 0)
            database.rollback();
        else if (!database.commit()) {
            database.rollback();
            id = -1;
        }
    }
    return id;
}

}  // namespace RPX::SQL::Generation
