#include "CloudFile.h"

#include "CloudFileVersion.h"
#include "CloudFolder.h"

#include <rpxRepository/database/BulkRows.h>
#include <rpxRepository/database/CopyWriter.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/Transaction.h>
#include <rpxRepository/database/agent/KtlDebug.h>

#include <QSqlError>
#include <algorithm>
#include <optional>

namespace RPX::SQL {

namespace {

const QString Columns = QStringLiteral(
    "id, destination_id, local_path, parent_id, cloud_path, file_name, display_name, size, original_size, "
    "date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, drive_id, date_deleted_utc, flags");

QString selectFrom(const QString& tail)
{
    return QStringLiteral("select ") + Columns + QStringLiteral(" from cloud_files ") + tail;
}

QList<QSharedPointer<CloudFile>> listOf(Statement& statement)
{
    return selectAll<CloudFile>(statement).first;
}

// The columns an insert writes; each is bound as ":" and its name.
const QStringList InsertColumns = {
    QStringLiteral("destination_id"), QStringLiteral("local_path"),        QStringLiteral("parent_id"),
    QStringLiteral("cloud_path"),     QStringLiteral("file_name"),         QStringLiteral("display_name"),
    QStringLiteral("size"),           QStringLiteral("original_size"),     QStringLiteral("date_modified_utc"),
    QStringLiteral("is_compressed"),  QStringLiteral("is_encrypted"),      QStringLiteral("is_simple"),
    QStringLiteral("is_broken"),      QStringLiteral("drive_id"),          QStringLiteral("date_deleted_utc"),
    QStringLiteral("flags")};

const QStringList InsertPlaceholders = namedPlaceholders(InsertColumns);
const int PathColumn = InsertColumns.indexOf(QStringLiteral("local_path"));
const QString InsertInto = QStringLiteral("insert into cloud_files (") + InsertColumns.join(QStringLiteral(", ")) +
                           QStringLiteral(") values ");
const QString InsertOne =
    InsertInto + QLatin1Char('(') + InsertPlaceholders.join(QStringLiteral(", ")) + QLatin1Char(')');

// A path without "/" is its own folder path.
QString folderPathOf(const QString& localPath)
{
    const int lastSlash = localPath.lastIndexOf(QLatin1Char('/'));
    return lastSlash < 0 ? localPath : localPath.left(lastSlash);
}

using FileIds = QHash<QString, unsigned long long>;

// The order of the texts' UTF-8 bytes, which is the server's "C" order: compared unit by unit,
// UTF-16 puts the surrogates of characters beyond U+FFFF before U+E000-U+FFFF, UTF-8 after.
bool utf8Less(const QString& a, const QString& b)
{
    const auto key = [](char16_t unit) {
        return unit < 0xD800 ? unit : char16_t(unit >= 0xE000 ? unit - 0x800 : unit + 0x2000);
    };
    const int common = std::min(a.size(), b.size());
    for (int i = 0; i < common; ++i) {
        const char16_t x = a.at(i).unicode();
        const char16_t y = b.at(i).unicode();
        if (x != y)
            return key(x) < key(y);
    }
    return a.size() < b.size();
}

// Ids of the destination's files among those paths, one statement per chunk. On PostgreSQL the
// paths go as one array value, each probed through the index of the uniqueness constraint: a join
// would let the planner hash the whole table, computing the digest of every path in it.
int lookUpFiles(unsigned long long destinationId, const QStringList& paths, FileIds& found,
                DatabaseConnection& connection)
{
    const bool postgres = connection.dbType() == DatabaseType::PostgreSQL;
    return BulkRows::forEachChunk(
        paths.size(), postgres ? 10000 : BulkRows::rowsPerStatement(connection.dbType(), 1, 1),
        [&](int first, int count) {
            Statement statement(
                connection,
                postgres ? QStringLiteral("select f.id, f.local_path from unnest(cast(? as text[])) as v(path) cross "
                                          "join lateral (select id, local_path from cloud_files where destination_id "
                                          "= ? and md5(local_path) = md5(v.path) and local_path = v.path limit 1) f")
                         : QStringLiteral("select f.id, f.local_path from (values ") +
                               BulkRows::rows(count, QStringLiteral("(?)")) +
                               QStringLiteral(") as v join cloud_files f on f.local_path = v.column1 where "
                                              "f.destination_id = ?"),
                Statement::Positional);
            int position = 0;
            if (postgres) {
                statement.bindAt(position++, BulkRows::textArray(paths, first, count));
            } else {
                for (int i = first; i < first + count; ++i)
                    statement.bindAt(position++, textValue(paths.at(i)));
            }
            statement.bindAt(position, u64Value(destinationId));
            const int code = statement.exec();
            while (code == Result::Ok && statement.next())
                found.insert(statement.query().value(1).toString(), toU64(statement.query().value(0)));
            return code;
        });
}

// PostgreSQL, when some of the paths are there after all (another session inserted them after the
// lookup, or a file row outlived its folder): the rows streamed with COPY into a scratch table of
// the session, then moved into cloud_files by one statement that skips what is there already.
int stageFiles(const QVector<QVector<QVariant>>& rows, FileIds& inserted, DatabaseConnection& connection)
{
    const QString columns = InsertColumns.join(QStringLiteral(", "));
    Statement exists(connection, QStringLiteral("select to_regclass('pg_temp.batch_files') is not null"));
    int code = exists.exec();
    if (code != Result::Ok)
        return code;
    if (exists.next() && !exists.query().value(0).toBool()) {
        // PostgreSQL prepares no DDL: the text is run as it stands (it binds nothing). Its rows live
        // no longer than the statement that moves them, or than a transaction that fails before
        // that: emptying it at each commit as well would only cost time.
        const QString create = QStringLiteral("create temp table batch_files as select ") +
                               columns + QStringLiteral(" from cloud_files with no data");
        QSqlQuery query = connection.query();
        if (!query.exec(create)) {
            KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << create << query.lastError().text();
            return Result::Error;
        }
    }
    CopyWriter copy(connection, QStringLiteral("batch_files"), InsertColumns);
    for (const QVector<QVariant>& row : rows)
        copy.addRow(row);
    code = copy.finish();
    if (code != Result::Ok)
        return code;
    // Naming the path's unique index spares each row a probe of the primary key, which an id from
    // the sequence cannot collide with; "C" is the order in which the copy inserts as well.
    Statement move(connection, QStringLiteral("with staged as (delete from batch_files returning ") + columns +
                                   QStringLiteral(") insert into cloud_files (") + columns +
                                   QStringLiteral(") select ") + columns +
                                   QStringLiteral(" from staged order by local_path collate \"C\" on conflict "
                                                  "(destination_id, md5(local_path)) do nothing returning id, "
                                                  "local_path"));
    code = move.exec();
    while (code == Result::Ok && move.next())
        inserted.insert(move.query().value(1).toString(), toU64(move.query().value(0)));
    return code;
}

// PostgreSQL: the end of the copy of the rows straight into cloud_files. A path that is there after
// all breaks the unique index; the savepoint then takes the copy back and the rows are staged instead.
int finishCopy(CopyWriter& copy, const QVector<QVector<QVariant>>& rows, FileIds& inserted,
               DatabaseConnection& connection)
{
    const int code = copy.finish();
    if (code == Result::Constraint)
        return stageFiles(rows, inserted, connection);
    for (int i = 0; code == Result::Ok && i < rows.size(); ++i)
        inserted.insert(rows.at(i).at(PathColumn).toString(), copy.ids().at(i));
    return code;
}

// Without COPY: multi-row inserts, one statement per chunk.
int insertFiles(const QVector<QVector<QVariant>>& rows, FileIds& inserted, DatabaseConnection& connection)
{
    const int width = InsertColumns.size();
    return BulkRows::forEachChunk(
        rows.size(), BulkRows::rowsPerStatement(connection.dbType(), width), [&](int first, int count) {
            Statement statement(connection, InsertInto + BulkRows::rows(count, BulkRows::row(width)) +
                                                QStringLiteral(" on conflict do nothing returning id, local_path"),
                                Statement::Positional);
            int position = 0;
            for (int i = first; i < first + count; ++i)
                position = BulkRows::bind(statement, position, rows.at(i));
            const int code = statement.exec();
            while (code == Result::Ok && statement.next())
                inserted.insert(statement.query().value(1).toString(), toU64(statement.query().value(0)));
            return code;
        });
}

}  // namespace

const QString CloudFile::DateFormat = QStringLiteral("yyyyMMddhhmmss");

QString CloudFile::createTable(DatabaseType type)
{
    const QString columns = QStringLiteral(
        "destination_id INTEGER,parent_id INTEGER DEFAULT 0,cloud_path TEXT,local_path TEXT,file_name TEXT,"
        "display_name TEXT,size NUMERIC,original_size NUMERIC,date_modified_utc NUMERIC,is_compressed INTEGER,"
        "is_encrypted INTEGER,is_simple INTEGER,is_broken INTEGER,drive_id INTEGER DEFAULT 0,"
        "date_deleted_utc NUMERIC DEFAULT 99999999999999,flags INTEGER DEFAULT 0,");
    // A PostgreSQL btree entry holds at most 2704 bytes and local paths run to 4 KiB, so there the
    // uniqueness of (destination, path) is kept by a unique index on a digest of the path
    // (uniqueIndex), created with the other indexes.
    return dialect(type,
                   QStringLiteral("CREATE TABLE cloud_files (id integer PRIMARY KEY ASC,") + columns +
                       QStringLiteral("UNIQUE (destination_id,local_path));"),
                   QStringLiteral("CREATE TABLE cloud_files (id SERIAL PRIMARY KEY,") + columns.chopped(1) +
                       QStringLiteral(");"));
}

QString CloudFile::uniqueIndex(DatabaseType type)
{
    // Not an exclusion constraint: two sessions inserting the same path at once deadlock on one,
    // while a unique index makes the later insert wait for the earlier one and then fail on the key.
    return type == DatabaseType::PostgreSQL
               ? QStringLiteral("CREATE UNIQUE INDEX IF NOT EXISTS files_destination_path ON cloud_files "
                                "(destination_id, md5(local_path));")
               : QString();
}

void CloudFile::setName(const QString& name)
{
    m_displayName = name;
    m_name = name.toLower();
}

QVector<QVariant> CloudFile::fieldValues() const
{
    return {u64Value(m_destinationId),
            textValue(m_localPath),
            u64Value(m_parentId),
            textValue(utf8UpToZero(m_cloudPath)),
            textValue(m_name),
            textValue(m_displayName),
            u64Value(m_size),
            u64Value(m_originalSize),
            DateCode::number(m_dateModified),
            int(m_isCompressed),
            int(m_isEncrypted),
            int(m_isSimple),
            int(m_isBroken),
            int(m_driveId),
            m_dateDeleted.isValid() ? QVariant(DateCode::number(m_dateDeleted)) : QVariant(DateCode::NotSet),
            int(m_flags)};
}

void CloudFile::bindFields(Statement& statement) const
{
    const QVector<QVariant> values = fieldValues();
    for (int i = 0; i < values.size(); ++i)
        statement.bind(InsertPlaceholders.at(i), values.at(i));
}

bool CloudFile::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_localPath.isEmpty() || m_destinationId == 0 || m_parentId == 0)
        return false;
    Statement statement(connection, InsertOne, Statement::ReturnsId | Statement::MayConflict);
    bindFields(statement);
    if (statement.execInsert(m_id) != Result::Ok)
        return false;
    return true;
}

bool CloudFile::update(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return false;
    Statement statement(
        connection,
        QStringLiteral("update cloud_files set destination_id = :destination_id, local_path = :local_path, "
                       "parent_id = :parent_id, cloud_path = :cloud_path, file_name = :file_name, "
                       "display_name = :display_name , size = :size, original_size = :original_size, "
                       "date_modified_utc = :date_modified_utc, is_compressed = :is_compressed, "
                       "is_encrypted = :is_encrypted, is_simple = :is_simple, is_broken = :is_broken , "
                       "drive_id = :drive_id, date_deleted_utc = :date_deleted_utc, flags = :flags where id = :id"));
    bindFields(statement);
    statement.bindU64(QStringLiteral(":id"), m_id);
    return statement.exec() == Result::Ok;
}

bool CloudFile::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_destinationId = row.u64(QStringLiteral("destination_id"));
    m_parentId = row.u64(QStringLiteral("parent_id"));
    m_cloudPath = row.utf8(QStringLiteral("cloud_path"));
    m_localPath = row.text(QStringLiteral("local_path"));
    m_name = row.text(QStringLiteral("file_name"));
    m_displayName = row.text(QStringLiteral("display_name"));
    m_size = row.u64(QStringLiteral("size"));
    m_originalSize = row.u64(QStringLiteral("original_size"));
    m_dateModified = row.date14(QStringLiteral("date_modified_utc"));
    m_isCompressed = static_cast<signed char>(row.i32(QStringLiteral("is_compressed")));
    m_isEncrypted = static_cast<signed char>(row.i32(QStringLiteral("is_encrypted")));
    m_isSimple = static_cast<signed char>(row.i32(QStringLiteral("is_simple")));
    m_isBroken = static_cast<signed char>(row.i32(QStringLiteral("is_broken"))) != 0;
    m_driveId = static_cast<unsigned char>(row.u64(QStringLiteral("drive_id")));
    m_dateDeleted = row.date14(QStringLiteral("date_deleted_utc"));
    m_flags = static_cast<unsigned short>(row.u64(QStringLiteral("flags")));
    return true;
}

bool CloudFile::select(unsigned long long id, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || id == 0)
        return false;
    Statement statement(connection, selectFrom(QStringLiteral("where id = :id limit 1")));
    statement.bindU64(QStringLiteral(":id"), id);
    return statement.exec() == Result::Ok && init(statement.query());
}

bool CloudFile::select(unsigned long long destinationId, const QString& localPath, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0 || localPath.isEmpty())
        return false;
    // On PostgreSQL the digest condition lets the lookup use the index of the uniqueness constraint.
    Statement statement(
        connection,
        selectFrom(dialect(connection.dbType(),
                           QStringLiteral("where destination_id = :destination_id and local_path = :local_path limit 1"),
                           QStringLiteral("where destination_id = :destination_id and md5(local_path) = md5(:local_path) "
                                          "and local_path = :local_path limit 1"))));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindText(QStringLiteral(":local_path"), localPath);
    return statement.exec() == Result::Ok && init(statement.query());
}

bool CloudFile::select(DatabaseConnection& connection)
{
    return select(m_destinationId, m_localPath, connection);
}

QSharedPointer<CloudFile> CloudFile::select_(unsigned long long destinationId, const QString& localPath,
                                             DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0 || localPath.isEmpty())
        return {};
    QSharedPointer<CloudFile> file(new CloudFile());
    file->setDestinationId(destinationId);
    file->setLocalPath(localPath);
    if (!file->select(connection))
        return {};
    return file;
}

QList<QSharedPointer<CloudFile>> CloudFile::select_(unsigned long long destinationId, unsigned long long limit,
                                                    unsigned long long offset, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    Statement statement(connection,
                        selectFrom(QStringLiteral("where destination_id = :destination_id limit :limit offset :offset")));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

QList<QSharedPointer<CloudFile>> CloudFile::selectFolder(unsigned long long parentId, unsigned long long limit,
                                                         unsigned long long offset, const DatabaseConnection& connection)
{
    if (!connection.isOpen() || parentId == 0)
        return {};
    if (limit == 0) {
        Statement statement(connection, selectFrom(QStringLiteral("where parent_id = :parent_id order by display_name")));
        statement.bindU64(QStringLiteral(":parent_id"), parentId);
        return listOf(statement);
    }
    Statement statement(connection, selectFrom(QStringLiteral("where parent_id = :parent_id order by display_name "
                                                              "limit :limit offset :offset")));
    statement.bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

QList<QSharedPointer<CloudFile>> CloudFile::selectFolderUploaded(unsigned long long parentId, unsigned long long limit,
                                                                 unsigned long long offset,
                                                                 const DatabaseConnection& connection)
{
    if (!connection.isOpen() || parentId == 0 || limit == 0)
        return {};
    Statement statement(connection, selectFrom(QStringLiteral("where parent_id = :parent_id and is_broken = 0 order by "
                                                              "display_name limit :limit offset :offset")));
    statement.bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

QList<QSharedPointer<CloudFile>> CloudFile::selectByName(unsigned long long limit, unsigned long long offset,
                                                         unsigned long long destinationId, const QString& nameFilter,
                                                         const DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    // The LIKE wildcards and the bracket characters some engines treat specially are matched literally.
    // The escape character itself is not escaped, so a "/" in the filter escapes the character after it.
    const QChar escape = QLatin1Char('/');
    QString escaped;
    escaped.reserve(nameFilter.size() * 2);
    for (const QChar character : nameFilter) {
        if (character == QLatin1Char('%') || character == QLatin1Char('_') || character == QLatin1Char('[') ||
            character == QLatin1Char('^'))
            escaped += escape;
        escaped += character;
    }
    Statement statement(connection, QStringLiteral("select * from cloud_files where destination_id = :destination_id "
                                                   "and file_name like :name_filter escape :escape limit :limit "
                                                   "offset :offset"));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindText(QStringLiteral(":name_filter"), QLatin1Char('%') + escaped + QLatin1Char('%'))
        .bindText(QStringLiteral(":escape"), QString(escape))
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return listOf(statement);
}

bool CloudFile::selectOrInsert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_destinationId == 0 || m_localPath.isEmpty())
        return false;
    if (select(connection))
        return true;

    const QSharedPointer<CloudFolder> folder =
        CloudFolder::selectOrInsert(m_destinationId, folderPathOf(m_localPath), connection);
    if (folder.isNull())
        return false;
    m_parentId = folder->id();
    return insert(connection);
}

int CloudFile::selectOrInsert(unsigned long long destinationId, QVector<CloudFile>& files,
                              DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return Result::Error;
    std::optional<Transaction> own;
    if (!Transaction::isOpenOn(connection.database().driver())) {
        own.emplace(connection);
        if (!own->isActive())
            return Result::Error;
    }
    QStringList folderPaths;
    for (CloudFile& file : files) {
        file.m_destinationId = destinationId;
        folderPaths << folderPathOf(file.m_localPath);
    }
    QHash<QString, unsigned long long> folders;
    QSet<QString> newFolders;
    int code = CloudFolder::selectOrInsert(destinationId, folderPaths, folders, connection, &newFolders);
    // No file can be registered yet in a folder that has only just been: a first backup looks
    // nothing up. (Should one be there all the same, the insert below meets it.)
    QStringList paths;
    for (int i = 0; i < files.size(); ++i) {
        if (!newFolders.contains(folderPaths.at(i)))
            paths << files.at(i).m_localPath;
    }
    FileIds ids;
    if (code == Result::Ok)
        code = lookUpFiles(destinationId, paths, ids, connection);
    if (code != Result::Ok)
        return code;
    QVector<int> missing;  // by position in files
    for (int i = 0; i < files.size(); ++i) {
        if (!ids.contains(files.at(i).m_localPath))
            missing << i;
    }

    // The same order in every session, so that two inserting overlapping sets wait for each other
    // instead of deadlocking.
    std::sort(missing.begin(), missing.end(),
              [&files](int a, int b) { return utf8Less(files.at(a).m_localPath, files.at(b).m_localPath); });
    // PostgreSQL copies the rows as they are built; their ids are drawn meanwhile.
    std::optional<CopyWriter> copy;
    if (!missing.isEmpty() && CopyWriter::isAvailable(connection))
        copy.emplace(connection, QStringLiteral("cloud_files"), InsertColumns, CopyWriter::Guard::Savepoint,
                     missing.size());
    QVector<QVector<QVariant>> rows;
    rows.reserve(missing.size());
    for (const int i : qAsConst(missing)) {
        files[i].m_parentId = folders.value(folderPaths.at(i));
        rows << files.at(i).fieldValues();
        if (copy)
            copy->addRow(rows.last());
    }
    FileIds inserted;
    if (copy)
        code = finishCopy(*copy, rows, inserted, connection);
    else if (!rows.isEmpty())
        code = insertFiles(rows, inserted, connection);
    // What another session inserted meanwhile is there to be found now.
    QStringList lost;
    for (const int i : qAsConst(missing)) {
        if (!inserted.contains(files.at(i).m_localPath))
            lost << files.at(i).m_localPath;
    }
    if (code == Result::Ok)
        code = lookUpFiles(destinationId, lost, ids, connection);
    if (code != Result::Ok)
        return code;
    ids.insert(inserted);
    for (CloudFile& file : files) {
        file.m_id = ids.value(file.m_localPath);
        if (file.m_id == 0)
            return Result::Error;
    }
    return own && !own->commit() ? Result::Error : Result::Ok;
}

bool CloudFile::delete_(bool withVersions, DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_id == 0)
        return false;
    if (withVersions) {
        // A version that cannot be deleted stays behind as an orphan; the file goes regardless.
        const QList<QSharedPointer<CloudFileVersion>> versions = CloudFileVersion::select_(m_id, connection);
        for (const QSharedPointer<CloudFileVersion>& version : versions)
            version->delete_(false, connection);
    }

    Statement statement(connection, QStringLiteral("delete from cloud_files where id = :id"));
    statement.bindU64(QStringLiteral(":id"), m_id);
    if (statement.exec() != Result::Ok)
        return false;

    if (!CloudFolder::isEmpty(m_parentId, connection)) {
        KTL::KtlDebug("SQL").debug() << "SQL::CloudFile: path is not empty, file path:" << m_localPath;
        return true;
    }
    KTL::KtlDebug("SQL").debug() << "SQL::CloudFile: it's last file in folder, remove path for file:" << m_localPath;
    CloudFolder folder;
    if (!folder.select(m_parentId, connection))
        return true;
    return folder.delete_(true, connection);
}

}  // namespace RPX::SQL
