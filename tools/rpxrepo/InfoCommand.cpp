#include "Commands.h"

#include <rpxRepository/rpxRepository.h>

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QVariant>

using namespace RPX::SQL;

namespace rpxrepo {

int runInfo(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Where the repository is and what it holds."));
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    if (!openRepository(context))
        return Failure;

    DatabaseConnection connection(DatabasePool::defaultPool());
    const bool postgres = connection.dbType() == DatabaseType::PostgreSQL;
    const QString location = postgres ? QStringLiteral("%1@%2:%3/%4")
                                            .arg(connection.database().userName(), connection.database().hostName())
                                            .arg(connection.database().port())
                                            .arg(connection.database().databaseName())
                                      : connection.database().databaseName();

    QString version;
    {
        QSqlQuery query = connection.query();
        if (query.exec(QStringLiteral("select repository_version from metadata")) && query.next())
            version = query.value(0).toString();
    }

    QJsonObject counts;
    QStringList lines;
    QStringList tables = connection.database().tables(QSql::Tables);
    tables.sort();
    for (const QString& table : tables) {
        QSqlQuery query = connection.query();
        // Table names come from the database's own catalog, never from the caller.
        if (!query.exec(QStringLiteral("select count(*) from ") + connection.database().driver()->escapeIdentifier(
                                                                       table, QSqlDriver::TableName)) ||
            !query.next())
            continue;
        counts.insert(table, query.value(0).toLongLong());
        lines << QStringLiteral("  %1 %2").arg(table, -28).arg(query.value(0).toLongLong());
    }

    qint64 bytes = 0;
    if (postgres) {
        QSqlQuery query = connection.query();
        if (query.exec(QStringLiteral("select pg_database_size(current_database())")) && query.next())
            bytes = query.value(0).toLongLong();
    } else {
        bytes = QFileInfo(location).size() + QFileInfo(location + QStringLiteral("-wal")).size();
    }

    const QJsonObject object{{QStringLiteral("location"), location},
                             {QStringLiteral("engine"), postgres ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite")},
                             {QStringLiteral("schemaVersion"), version},
                             {QStringLiteral("bytes"), bytes},
                             {QStringLiteral("rows"), counts}};
    context.result(object, QStringLiteral("location: %1\nengine: %2\nschema version: %3\nsize: %4 bytes\nrows:\n%5")
                               .arg(location, object.value(QStringLiteral("engine")).toString(), version)
                               .arg(bytes)
                               .arg(lines.join(QLatin1Char('\n'))));
    return Success;
}

int runShrink(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Compact the repository."));
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    if (!Database::shrink())
        return context.fail(QStringLiteral("shrink failed (run with --verbose for details)"));
    context.say(QStringLiteral("repository compacted"));
    return Success;
}

}  // namespace rpxrepo
