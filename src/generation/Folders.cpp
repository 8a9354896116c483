#include "Folders.h"

#include "ListingClauses.h"
#include "SchemaPrefix.h"

#include <rpxRepository/database/agent/KtlDebug.h>

#include <QJsonDocument>
#include <QJsonParseError>

namespace RPX::SQL::Generation {

namespace {

const QString Columns = QStringLiteral(
    "select id, display_name, parent_id, restore_point_id, deleted, metadata, local_path from "
    "%1folders");

QString deletedFilter(bool notDeletedOnly)
{
    return notDeletedOnly ? QStringLiteral("and deleted = 0") : QString();
}

// First column of the first row; 0 without a row.
CountResult firstInteger(Statement& statement)
{
    const int code = statement.exec();
    if (code != Result::Ok)
        return {0, code};
    if (!statement.next())
        return {0, Result::Ok};
    return {int(toI64(statement.query().value(0))), Result::Ok};
}

}  // namespace

QString Folders::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1folders (id INTEGER PRIMARY KEY ASC, display_name TEXT, parent_id "
                                   "INTEGER DEFAULT 0, restore_point_id INTEGER, deleted INTEGER, metadata TEXT, "
                                   "local_path TEXT, UNIQUE (display_name, parent_id, restore_point_id), FOREIGN "
                                   "KEY(restore_point_id) REFERENCES restore_points(id) ON UPDATE RESTRICT ON DELETE "
                                   "CASCADE)"),
                    prefix);
}

QStringList Folders::createIndex(const QString& prefix)
{
    if (!isValidPrefix(prefix))
        return {};
    return {
        prefixed(QStringLiteral("CREATE INDEX IF NOT EXISTS %1archive_folders_parent_id ON folders (parent_id);"),
                 prefix),
        prefixed(QStringLiteral("CREATE INDEX IF NOT EXISTS %1archive_folders_archive_id ON folders "
                                "(restore_point_id);"),
                 prefix),
        prefixed(QStringLiteral("CREATE INDEX IF NOT EXISTS %1folders_path ON folders(local_path);"), prefix),
    };
}

QStringList Folders::update(const QVersionNumber&, const QString&)
{
    return {};
}

int Folders::insert(const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("insert into %1folders (display_name, parent_id, restore_point_id, "
                                                "deleted, metadata, local_path)  values (:display_name, :parent_id, "
                                                ":restore_point_id, :deleted, :metadata, :local_path);"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":display_name"), m_displayName)
        .bindU64(QStringLiteral(":parent_id"), m_parentId)
        .bindU64(QStringLiteral(":restore_point_id"), m_restorePointId)
        .bind(QStringLiteral(":deleted"), m_deleted ? 1 : 0)
        .bindText(QStringLiteral(":metadata"),
                  m_metadata.isEmpty() ? QString() : QString::fromUtf8(QJsonDocument(m_metadata).toJson()))
        .bind(QStringLiteral(":local_path"), m_localPath);
    return statement.execInsert(m_id);
}

bool Folders::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_displayName = row.text(QStringLiteral("display_name"));
    m_localPath = row.text(QStringLiteral("local_path"));
    m_parentId = row.u64(QStringLiteral("parent_id"));
    m_restorePointId = row.u64(QStringLiteral("restore_point_id"));
    m_deleted = row.i64(QStringLiteral("deleted")) == 1;
    const QByteArray metadata = row.utf8(QStringLiteral("metadata"));
    if (!metadata.isEmpty()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(metadata, &error);
        if (!document.isNull() && error.error == QJsonParseError::NoError)
            m_metadata = document.object();
        else
            KTL::KtlDebug("SQL").error() << "Error parce folder metadata:" << error.errorString();
    }
    return true;
}

CountResult Folders::countSubfolder(const quint64& folderId, const QList<quint64>& restorePointIds, bool notDeletedOnly,
                                    const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = forRestorePoints(
        restorePointIds,
        QStringLiteral("select count(*) as cc from %1folders as d where d.parent_id = :id and d.restore_point_id in "
                       "(%2) %3 group by d.local_path"),
        QStringLiteral("select count(*) as cc from %1folders as d where d.parent_id = :id %2 group by d.local_path "),
        prefix, {deletedFilter(notDeletedOnly)});
    if (!connection.isOpen() || sql.isEmpty())
        return {0, Result::Error};
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), folderId);
    return firstInteger(statement);
}

CountResult Folders::countSubfolder(const QString& localPath, const QList<quint64>& restorePointIds,
                                    bool notDeletedOnly, const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = forRestorePoints(
        restorePointIds,
        QStringLiteral("WITH pd(id) as (select id from %1folders where local_path = :local_path)  select count(*) "
                       "from (select MAX(d.id) as id, d.deleted AS deleted from %1folders as d, pd where d.parent_id "
                       "= pd.id and d.restore_point_id in (%2) group by d.local_path) as rdp %3"),
        QStringLiteral("WITH pd(id) as (select id from %1folders where local_path = :local_path)  select count(*) "
                       "from (select MAX(d.id) as id, d.deleted AS deleted from %1folders as d, pd where d.parent_id "
                       "= pd.id group by d.local_path) as rdp %3"),
        prefix, {notDeletedOnly ? QStringLiteral("where rdp.deleted = 0") : QString()});
    if (!connection.isOpen() || sql.isEmpty())
        return {0, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), localPath);
    return firstInteger(statement);
}

TestResult Folders::checkPathIsDeleted(const QString& localPath, const QList<quint64>& restorePointIds,
                                       const QString& prefix, DatabaseConnection& connection)
{
    if (localPath.isEmpty())
        return {false, Result::Ok};
    const QString sql = forRestorePoints(
        restorePointIds,
        QStringLiteral("WITH RECURSIVE dd (id, parent_id, restore_point_id, deleted, local_path) AS ( SELECT "
                       "MAX(d.id), d.parent_id, d.restore_point_id, d.deleted, d.local_path FROM %1folders d WHERE "
                       "d.local_path = :local_path and restore_point_id in (%2) group by d.local_path UNION ALL "
                       "SELECT d.id, d.parent_id, d.restore_point_id, d.deleted, d.local_path FROM %1folders d JOIN "
                       "dd c ON  c.parent_id = d.id) SELECT SUM (deleted) as deleted FROM dd"),
        QStringLiteral("WITH RECURSIVE dd (id, parent_id, restore_point_id, deleted, local_path) AS ( SELECT "
                       "MAX(d.id), d.parent_id, d.restore_point_id, d.deleted, d.local_path FROM %1folders d WHERE "
                       "d.local_path = :local_path group by d.local_path UNION ALL SELECT d.id, d.parent_id, "
                       "d.restore_point_id, d.deleted, d.local_path FROM %1folders d JOIN dd c ON  c.parent_id = "
                       "d.id) SELECT SUM (deleted) as deleted  FROM dd"),
        prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {false, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), localPath);
    const int code = statement.exec();
    if (code != Result::Ok)
        return {false, code};
    if (!statement.next())
        return {false, Result::Ok};
    // NULL when the path has no row: not deleted.
    return {Row(statement.query()).i64(QStringLiteral("deleted")) >= 1, Result::Ok};
}

RowResult<Folders> Folders::select(const QString& localPath, const QList<quint64>& restorePointIds,
                                   const QString& prefix, DatabaseConnection& connection)
{
    const QString sql =
        forRestorePoints(restorePointIds,
                         Columns + QStringLiteral(" where restore_point_id in (%2) and local_path = "
                                                  ":local_path order by restore_point_id desc limit 1"),
                         Columns + QStringLiteral(" where local_path = :local_path order by restore_point_id "
                                                  "desc limit 1"),
                         prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), localPath);
    return selectOne<Folders>(statement);
}

TestResult Folders::isFolder(const QString& localPath, const QList<quint64>& restorePointIds, bool notDeletedOnly,
                             const QString& prefix, DatabaseConnection& connection)
{
    const RowResult<Folders> found = select(localPath, restorePointIds, prefix, connection);
    if (found.second != Result::Ok || found.first.isNull())
        return {false, found.second};
    return {!(notDeletedOnly && found.first->deleted()), Result::Ok};
}

RowResult<Folders> Folders::select(const QString& localPath, quint64 restorePointId, const QString& prefix,
                                   DatabaseConnection& connection)
{
    const QString sql = prefixed(
        Columns + QStringLiteral("  where local_path = :local_path  and restore_point_id = :restore_point_id"), prefix);
    if (!connection.isOpen() || sql.isEmpty() || restorePointId == 0)
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), localPath)
        .bindU64(QStringLiteral(":restore_point_id"), restorePointId);
    return selectOne<Folders>(statement);
}

RowResult<Folders> Folders::select(quint64 parentId, const QString& displayName, quint64 restorePointId,
                                   const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(Columns + QStringLiteral("  where display_name = :display_name and parent_id = "
                                                          ":parent_id and restore_point_id = :restore_point_id"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty() || restorePointId == 0)
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":display_name"), displayName)
        .bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":restore_point_id"), restorePointId);
    return selectOne<Folders>(statement);
}

ListResult<Folders> Folders::selectInFolder(const quint64& folderId, const QList<quint64>& restorePointIds,
                                            bool notDeletedOnly, qint64 limit, qint64 offset, const QString& prefix,
                                            DatabaseConnection& connection)
{
    const QString sql = forRestorePoints(
        restorePointIds,
        QStringLiteral("select d.id as id, display_name, parent_id, restore_point_id, deleted, metadata, local_path "
                       "from %1folders as d where d.parent_id = :id and d.restore_point_id in (%2) %3 group by "
                       "d.local_path %4 %5"),
        QStringLiteral("select d.id as id, display_name, parent_id, restore_point_id, deleted, metadata, local_path "
                       "from %1folders as d where d.parent_id = :id %2 group by d.local_path %3 %4"),
        prefix, {deletedFilter(notDeletedOnly), limitClause(limit), offsetClause(offset)});
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":id"), folderId);
    return selectAll<Folders>(statement);
}

ListResult<Folders> Folders::selectInFolder(const QString& localPath, const QList<quint64>& restorePointIds,
                                            bool notDeletedOnly, qint64 limit, qint64 offset, const QString& prefix,
                                            DatabaseConnection& connection)
{
    const QString sql = forRestorePoints(
        restorePointIds,
        QStringLiteral("WITH pd(id) as (select id from %1folders where local_path = :local_path) select MAX(d.id) as "
                       "id, display_name, parent_id, restore_point_id, deleted, metadata, local_path from %1folders "
                       "as d, pd where d.parent_id = pd.id and d.restore_point_id in (%2)  %3 group by d.local_path "
                       "%4 %5"),
        QStringLiteral("WITH pd(id) as (select id from %1folders where local_path = :local_path) select MAX(d.id) as "
                       "id, display_name, parent_id, restore_point_id, deleted, metadata, local_path from %1folders "
                       "as d, pd where d.parent_id = pd.id %2 group by d.local_path %3 %4"),
        prefix, {deletedFilter(notDeletedOnly), limitClause(limit), offsetClause(offset)});
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    Statement statement(connection, sql);
    statement.bind(QStringLiteral(":local_path"), localPath);
    return selectAll<Folders>(statement);
}

}  // namespace RPX::SQL::Generation
