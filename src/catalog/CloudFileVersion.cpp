#include "CloudFileVersion.h"

#include "CloudFileVersionBitmap.h"

#include <rpxRepository/database/BulkRows.h>
#include <rpxRepository/database/CopyWriter.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/Transaction.h>
#include <rpxRepository/database/agent/KtlDebug.h>

#include <algorithm>
#include <optional>

namespace RPX::SQL {

namespace {

using VersionPointer = QSharedPointer<CloudFileVersion>;
using VersionList = QList<VersionPointer>;

QString selectFrom(const QString& tail)
{
    return QStringLiteral(
               "select file_id, id, cloud_path, history_path, size, original_size, date_purgeddelay_utc, attributes, "
               "date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, upload_id, date_backedup_utc, "
               "filenameiv, blocklevel_revision, blocklevel_revision_isfull, delimiter, encryptioniv, kdfsalt, "
               "encryptionkey from cloud_file_versions ") +
           tail;
}

// Date columns take the 14-digit text; the engines compare it numerically with the stored values.
QVariant dateText(const QDateTime& value)
{
    return value.isValid() ? QVariant(DateCode::text(value)) : QtCompat::null<QString>();
}

// The columns an insert writes; each is bound as ":" and its name.
const QStringList InsertColumns = {
    QStringLiteral("file_id"),       QStringLiteral("date_modified_utc"),
    QStringLiteral("cloud_path"),    QStringLiteral("history_path"),
    QStringLiteral("size"),          QStringLiteral("original_size"),
    QStringLiteral("date_purgeddelay_utc"), QStringLiteral("attributes"),
    QStringLiteral("is_compressed"), QStringLiteral("is_encrypted"),
    QStringLiteral("is_simple"),     QStringLiteral("is_broken"),
    QStringLiteral("upload_id"),     QStringLiteral("date_backedup_utc"),
    QStringLiteral("filenameiv"),    QStringLiteral("blocklevel_revision"),
    QStringLiteral("blocklevel_revision_isfull"), QStringLiteral("delimiter"),
    QStringLiteral("encryptioniv"),  QStringLiteral("kdfsalt"),
    QStringLiteral("encryptionkey")};

const QStringList InsertPlaceholders = namedPlaceholders(InsertColumns);
const int FileIdColumn = InsertColumns.indexOf(QStringLiteral("file_id"));

const QString InsertInto = QStringLiteral("insert into cloud_file_versions (") +
                           InsertColumns.join(QStringLiteral(", ")) + QStringLiteral(") values ");
const QString InsertOne =
    InsertInto + QLatin1Char('(') + InsertPlaceholders.join(QStringLiteral(", ")) + QLatin1Char(')');

// Columns the table gives their default when a copy leaves them out, and whether a version holds
// that default: a copy in which every version does leaves them out, and the server has fewer fields
// to read.
using HoldsDefault = bool (*)(const CloudFileVersion&);
const QHash<QString, HoldsDefault> DefaultedColumns = {
    {QStringLiteral("date_purgeddelay_utc"), [](const CloudFileVersion& v) { return !v.datePurgeDelay().isValid(); }},
    {QStringLiteral("filenameiv"), [](const CloudFileVersion& v) { return v.fileNameIv().isNull(); }},
    {QStringLiteral("blocklevel_revision"), [](const CloudFileVersion& v) { return v.blockLevelRevision() == 0; }},
    {QStringLiteral("blocklevel_revision_isfull"), [](const CloudFileVersion& v) { return !v.blockLevelIsFull(); }},
    {QStringLiteral("encryptioniv"), [](const CloudFileVersion& v) { return v.encryptionIv().isNull(); }},
    {QStringLiteral("kdfsalt"), [](const CloudFileVersion& v) { return v.kdfsalt().isNull(); }},
    {QStringLiteral("encryptionkey"), [](const CloudFileVersion& v) { return v.encryptionKey().isNull(); }},
};

// The insert's columns, by position, that a copy of `versions` needs.
QVector<int> copiedColumns(const QVector<CloudFileVersion>& versions)
{
    QVector<int> columns;
    for (int i = 0; i < InsertColumns.size(); ++i) {
        const HoldsDefault holdsDefault = DefaultedColumns.value(InsertColumns.at(i));
        if (holdsDefault == nullptr || !std::all_of(versions.begin(), versions.end(), holdsDefault))
            columns << i;
    }
    return columns;
}

// Without COPY: the rows inserted one statement per chunk; their new ids in `ids`, in their order.
int insertVersions(const QVector<QVector<QVariant>>& rows, QVector<unsigned long long>& ids,
                   DatabaseConnection& connection)
{
    const int width = InsertColumns.size();
    return BulkRows::forEachChunk(
        rows.size(), BulkRows::rowsPerStatement(connection.dbType(), width), [&](int first, int count) {
            Statement statement(connection, InsertInto + BulkRows::rows(count, BulkRows::row(width)),
                                Statement::Positional);
            int position = 0;
            for (int i = first; i < first + count; ++i)
                position = BulkRows::bind(statement, position, rows.at(i));
            const int code = statement.exec();
            if (code != Result::Ok)
                return code;
            // SQLite numbers the rows of one insert consecutively, in the order of its values: the
            // table has no AUTOINCREMENT, so each row takes the largest id plus one, and the
            // transaction's write lock keeps every other writer out. Reading the ids back with
            // RETURNING would cost a fetch per row.
            const unsigned long long last = statement.lastInsertId();
            if (statement.numRowsAffected() != count || last < unsigned(count))
                return Result::Error;
            for (unsigned long long id = last - unsigned(count) + 1; id <= last; ++id)
                ids << id;
            return Result::Ok;
        });
}

VersionPointer single(Statement& statement)
{
    return selectOne<CloudFileVersion>(statement).first;
}

VersionList list(Statement& statement)
{
    return selectAll<CloudFileVersion>(statement).first;
}

// The lookups of the newest version of a file that satisfies a condition.
VersionPointer newestOfFile(unsigned long long fileId, const QString& tail, DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return {};
    Statement statement(connection, selectFrom(tail));
    statement.bindU64(QStringLiteral(":file_id"), fileId);
    return single(statement);
}

VersionPointer newestUpTo(unsigned long long fileId, const QDateTime& pointInTime, const QString& tail,
                          DatabaseConnection& connection, const QVariant& attributes = QVariant())
{
    if (!connection.isOpen() || fileId == 0 || !pointInTime.isValid())
        return {};
    Statement statement(connection, selectFrom(tail));
    statement.bindU64(QStringLiteral(":file_id"), fileId)
        .bind(QStringLiteral(":date_modified_utc"), dateText(pointInTime));
    if (attributes.isValid())
        statement.bind(QStringLiteral(":attributes"), attributes);
    return single(statement);
}

VersionList allOfFile(unsigned long long fileId, const QString& tail, DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return {};
    Statement statement(connection, selectFrom(tail));
    statement.bindU64(QStringLiteral(":file_id"), fileId);
    return list(statement);
}

}  // namespace

QString CloudFileVersion::createTable(DatabaseType type)
{
    const QString sqlite = QStringLiteral(
        "create table cloud_file_versions(id integer primary key asc,file_id integer,defferential_parent integer "
        "default 0,differential_page integer default 0,cloud_path text,history_path text,size numeric,original_size "
        "numeric,date_modified_utc numeric,date_purgeddelay_utc numeric default 99999999999999,attributes integer,"
        "is_compressed integer,is_encrypted integer,is_simple integer,is_broken integer,job_id integer default 0,"
        "upload_id text,date_backedup_utc numeric default %1,filenameiv blob default NULL, blocklevel_revision integer "
        "default(0), blocklevel_revision_isfull integer default(0), delimiter VARCHAR(1) default(':'), encryptioniv "
        "BLOB(16) default NULL, kdfsalt BLOB(16) default NULL, encryptionkey BLOB default NULL )");
    const QString postgres = QStringLiteral(
        "create table cloud_file_versions(id SERIAL primary key,file_id integer,defferential_parent integer default 0,"
        "differential_page integer default 0,cloud_path text,history_path text,size numeric,original_size numeric,"
        "date_modified_utc numeric,date_purgeddelay_utc numeric default 99999999999999,attributes integer,"
        "is_compressed integer,is_encrypted integer,is_simple integer,is_broken integer,job_id integer default 0,"
        "upload_id text,date_backedup_utc numeric default %1,filenameiv bytea default NULL, blocklevel_revision "
        "integer default(0), blocklevel_revision_isfull integer default(0), delimiter VARCHAR(1) default(':'), "
        "encryptioniv bytea default NULL, kdfsalt bytea default NULL, encryptionkey bytea default NULL )");
    const QString statement = dialect(type, sqlite, postgres);
    // Rows inserted without a backup time take the moment the table was created.
    return statement.isEmpty() ? statement : statement.arg(DateCode::text(QDateTime::currentDateTimeUtc()));
}

CloudFile CloudFileVersion::fileRow(unsigned long long destinationId) const
{
    CloudFile file;
    file.setCloudPath(m_cloudPath);
    file.setDateModified(m_dateModified);
    file.setDestinationId(destinationId);
    file.setName(m_path.section(QLatin1Char('/'), -1, -1));
    file.setIsBroken(m_isBroken);
    file.setIsCompressed(m_isCompressed);
    file.setIsEncrypted(m_isEncrypted);
    file.setIsSimple(m_isSimple);
    file.setLocalPath(m_path);
    file.setOriginalSize(m_originalSize);
    file.setSize(m_size);
    return file;
}

QVector<QVariant> CloudFileVersion::fieldValues() const
{
    return {u64Value(m_fileId),
            dateText(m_dateModified),
            textValue(utf8UpToZero(m_cloudPath)),
            textValue(m_path),
            u64Value(m_size),
            u64Value(m_originalSize),
            DateCode::textOrNotSet(m_datePurgeDelay),
            m_attribute,
            int(m_isCompressed),
            int(m_isEncrypted),
            int(m_isSimple),
            int(m_isBroken),
            textValue(utf8UpToZero(m_uploadId)),
            dateText(m_dateBackup),
            m_fileNameIv,
            m_blockLevelRevision,
            int(m_blockLevelIsFull),
            textValue(m_versionDelimiter),
            m_encryptionIv,
            m_kdfsalt,
            m_encryptionKey};
}

bool CloudFileVersion::insert(unsigned long long destinationId, DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_path.isEmpty() || !m_dateModified.isValid())
        return false;
    if (m_fileId == 0) {
        // An existing file row is taken as it is, not brought up to date with this version.
        CloudFile file = fileRow(destinationId);
        if (!file.selectOrInsert(connection))
            return false;
        m_fileId = file.id();
    }

    Statement statement(connection, InsertOne, Statement::ReturnsId);
    const QVector<QVariant> values = fieldValues();
    for (int i = 0; i < values.size(); ++i)
        statement.bind(InsertPlaceholders.at(i), values.at(i));
    return statement.execInsert(m_id) == Result::Ok;
}

int CloudFileVersion::insertBatch(unsigned long long destinationId, QVector<CloudFileVersion>& versions,
                                  DatabaseConnection& connection)
{
    if (versions.isEmpty())
        return Result::Ok;
    if (!connection.isOpen())
        return Result::Error;
    for (int i = 0; i < versions.size(); ++i) {
        const CloudFileVersion& version = versions.at(i);
        if (version.m_path.isEmpty() || !version.m_dateModified.isValid() ||
            (version.m_fileId == 0 && destinationId == 0)) {
            KTL::KtlDebug("SQL").warning() << "SQL::CloudFileVersion: batch refused, version" << i
                                           << "lacks a path, a modification date or a destination";
            return Result::Error;
        }
    }
    // One file row per path, with the fields of its first version, as one insert() after the other.
    QVector<CloudFile> files;
    QHash<QString, int> fileOfPath;
    for (const CloudFileVersion& version : qAsConst(versions)) {
        if (version.m_fileId == 0 && !fileOfPath.contains(version.m_path)) {
            fileOfPath.insert(version.m_path, files.size());
            files << version.fileRow(destinationId);
        }
    }
    // Versions of known files are one copy on PostgreSQL. Sent outside a transaction, in one message
    // with the draw of their ids, the server runs it as a transaction of its own: no BEGIN and COMMIT
    // to wait for.
    const bool postgres = CopyWriter::isAvailable(connection);
    const bool callers = Transaction::isOpenOn(connection.database().driver());
    const bool oneCopy = postgres && files.isEmpty() && !callers;
    std::optional<Transaction> own;
    if (!callers && !oneCopy) {
        own.emplace(connection);
        if (!own->isActive())
            return Result::Error;
    }
    int code = files.isEmpty() ? Result::Ok : CloudFile::selectOrInsert(destinationId, files, connection);
    if (code != Result::Ok)
        return code;

    QVector<unsigned long long> fileIds;
    fileIds.reserve(versions.size());
    for (const CloudFileVersion& version : qAsConst(versions))
        fileIds << (version.m_fileId != 0 ? version.m_fileId : files.at(fileOfPath.value(version.m_path)).id());
    const auto rowOf = [&](int i) {
        QVector<QVariant> row = versions.at(i).fieldValues();
        row[FileIdColumn] = u64Value(fileIds.at(i));
        return row;
    };
    QVector<unsigned long long> ids;
    if (postgres) {
        // The rows are copied as they are built; their ids are drawn meanwhile.
        const QVector<int> copied = copiedColumns(versions);
        QStringList columns;
        for (const int column : copied)
            columns << InsertColumns.at(column);
        bool lostBeforeStart = false;
        const auto copyRows = [&]() {
            CopyWriter copy(connection, QStringLiteral("cloud_file_versions"), columns, CopyWriter::Guard::None,
                            versions.size());
            QVector<QVariant> values(copied.size());
            for (int i = 0; i < versions.size(); ++i) {
                const QVector<QVariant> row = rowOf(i);
                for (int c = 0; c < copied.size(); ++c)
                    values[c] = row.at(copied.at(c));
                copy.addRow(values);
            }
            const int result = copy.finish();
            ids = copy.ids();
            lostBeforeStart = copy.lostBeforeStart();
            return result;
        };
        code = copyRows();
        // Nothing of a copy ran on a session found lost before it started: it goes once more on a new
        // session at once, as a statement outside a transaction does.
        if (code != Result::Ok && oneCopy && lostBeforeStart && connection.reopen())
            code = copyRows();
    } else {
        QVector<QVector<QVariant>> rows;
        rows.reserve(versions.size());
        for (int i = 0; i < versions.size(); ++i)
            rows << rowOf(i);
        ids.reserve(versions.size());
        code = insertVersions(rows, ids, connection);
    }
    if (code != Result::Ok)
        return code;
    if (own && !own->commit())
        return Result::Error;
    for (int i = 0; i < versions.size(); ++i) {
        versions[i].m_fileId = fileIds.at(i);
        versions[i].m_id = ids.at(i);
    }
    return Result::Ok;
}

bool CloudFileVersion::update(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_fileId == 0 || !m_dateModified.isValid())
        return false;
    Statement statement(
        connection,
        QStringLiteral("update cloud_file_versions set cloud_path = :cloud_path, size = :size, original_size = "
                       ":original_size, is_compressed = :is_compressed, is_encrypted = :is_encrypted, is_broken = "
                       ":is_broken, date_backedup_utc = :date_backedup_utc, blocklevel_revision = :blocklevel_revision, "
                       "blocklevel_revision_isfull = :blocklevel_revision_isfull, kdfsalt = :kdfsalt, encryptionkey = "
                       ":encryptionkey , upload_id = :upload_id, encryptioniv = :encryptioniv  where file_id = "
                       ":file_id and date_modified_utc = :date_modified_utc and attributes = :attributes"));
    statement.bindText(QStringLiteral(":cloud_path"), utf8UpToZero(m_cloudPath))
        .bindU64(QStringLiteral(":size"), m_size)
        .bindU64(QStringLiteral(":original_size"), m_originalSize)
        .bind(QStringLiteral(":is_compressed"), int(m_isCompressed))
        .bind(QStringLiteral(":is_encrypted"), int(m_isEncrypted))
        .bind(QStringLiteral(":is_broken"), int(m_isBroken))
        .bind(QStringLiteral(":date_backedup_utc"), dateText(m_dateBackup))
        .bind(QStringLiteral(":blocklevel_revision"), m_blockLevelRevision)
        .bind(QStringLiteral(":blocklevel_revision_isfull"), int(m_blockLevelIsFull))
        .bind(QStringLiteral(":kdfsalt"), m_kdfsalt)
        .bind(QStringLiteral(":encryptionkey"), m_encryptionKey)
        .bindText(QStringLiteral(":upload_id"), utf8UpToZero(m_uploadId))
        .bind(QStringLiteral(":encryptioniv"), m_encryptionIv)
        .bindU64(QStringLiteral(":file_id"), m_fileId)
        .bind(QStringLiteral(":date_modified_utc"), dateText(m_dateModified))
        .bind(QStringLiteral(":attributes"), m_attribute);
    return statement.exec() == Result::Ok;
}

bool CloudFileVersion::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_fileId = row.u64(QStringLiteral("file_id"));
    m_cloudPath = row.utf8(QStringLiteral("cloud_path"));
    m_path = row.text(QStringLiteral("history_path"));
    m_size = row.u64(QStringLiteral("size"));
    m_originalSize = row.u64(QStringLiteral("original_size"));
    m_dateModified = row.date14(QStringLiteral("date_modified_utc"));
    m_datePurgeDelay = row.date14(QStringLiteral("date_purgeddelay_utc"));
    m_attribute = row.i32(QStringLiteral("attributes"));
    m_isCompressed = static_cast<signed char>(row.i32(QStringLiteral("is_compressed")));
    m_isEncrypted = static_cast<signed char>(row.i32(QStringLiteral("is_encrypted")));
    m_isSimple = static_cast<signed char>(row.i32(QStringLiteral("is_simple")));
    m_isBroken = static_cast<signed char>(row.i32(QStringLiteral("is_broken"))) != 0;
    m_uploadId = row.utf8(QStringLiteral("upload_id"));
    m_dateBackup = row.date14(QStringLiteral("date_backedup_utc"));
    m_fileNameIv = row.bytes(QStringLiteral("filenameiv"));
    m_blockLevelRevision = static_cast<unsigned int>(row.u64(QStringLiteral("blocklevel_revision")));
    m_blockLevelIsFull = row.i64(QStringLiteral("blocklevel_revision_isfull")) == 1;
    m_versionDelimiter = row.text(QStringLiteral("delimiter"));
    m_encryptionIv = row.bytes(QStringLiteral("encryptioniv"));
    m_kdfsalt = row.bytes(QStringLiteral("kdfsalt"));
    m_encryptionKey = row.bytes(QStringLiteral("encryptionkey"));
    return true;
}

bool CloudFileVersion::select(unsigned long long fileId, const QDateTime& dateModified, int attributes,
                              DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0 || !dateModified.isValid())
        return false;
    Statement statement(connection, selectFrom(QStringLiteral("where file_id = :file_id and date_modified_utc = "
                                                              ":date_modified_utc and attributes = :attributes limit 1")));
    statement.bindU64(QStringLiteral(":file_id"), fileId)
        .bind(QStringLiteral(":date_modified_utc"), dateText(dateModified))
        .bind(QStringLiteral(":attributes"), attributes);
    return statement.exec() == Result::Ok && init(statement.query());
}

bool CloudFileVersion::select(DatabaseConnection& connection)
{
    return select(m_fileId, m_dateModified, m_attribute, connection);
}

VersionPointer CloudFileVersion::select_(unsigned long long fileId, const QDateTime& dateModified, int attributes,
                                         DatabaseConnection& connection)
{
    VersionPointer version(new CloudFileVersion());
    if (!version->select(fileId, dateModified, attributes, connection))
        return {};
    return version;
}

VersionPointer CloudFileVersion::selectById(unsigned long long id, DatabaseConnection& connection)
{
    if (!connection.isOpen() || id == 0)
        return {};
    Statement statement(connection, selectFrom(QStringLiteral("where id = :id order by date_modified_utc  desc limit 1")));
    statement.bindU64(QStringLiteral(":id"), id);
    return single(statement);
}

VersionPointer CloudFileVersion::selectLastVersion(unsigned long long fileId, DatabaseConnection& connection)
{
    return newestOfFile(fileId, QStringLiteral("where file_id = :file_id order by date_modified_utc  desc limit 1"),
                        connection);
}

VersionPointer CloudFileVersion::selectLastVersionUploaded(unsigned long long fileId, DatabaseConnection& connection)
{
    return newestOfFile(
        fileId, QStringLiteral("where file_id = :file_id and is_broken = 0 order by date_modified_utc  desc limit 1"),
        connection);
}

VersionPointer CloudFileVersion::selectLastVersion4Attribute(unsigned long long fileId, int attributes,
                                                             DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return {};
    Statement statement(connection, selectFrom(QStringLiteral("where file_id = :file_id and attributes = :attributes "
                                                              "order by date_modified_utc  desc limit 1")));
    statement.bindU64(QStringLiteral(":file_id"), fileId).bind(QStringLiteral(":attributes"), attributes);
    return single(statement);
}

VersionPointer CloudFileVersion::selectPointInTime(unsigned long long fileId, const QDateTime& pointInTime,
                                                   DatabaseConnection& connection)
{
    return newestUpTo(fileId, pointInTime,
                      QStringLiteral("where file_id = :file_id and date_modified_utc <= :date_modified_utc order by "
                                     "date_modified_utc desc limit 1"),
                      connection);
}

VersionPointer CloudFileVersion::selectPointInTimeUploaded(unsigned long long fileId, const QDateTime& pointInTime,
                                                           DatabaseConnection& connection)
{
    return newestUpTo(fileId, pointInTime,
                      QStringLiteral("where file_id = :file_id and date_modified_utc <= :date_modified_utc and "
                                     "is_broken = 0 order by date_modified_utc desc limit 1"),
                      connection);
}

VersionPointer CloudFileVersion::selectPointInTime(unsigned long long fileId, int attributes,
                                                   const QDateTime& pointInTime, DatabaseConnection& connection)
{
    return newestUpTo(fileId, pointInTime,
                      QStringLiteral("where file_id = :file_id and attributes = :attributes and date_modified_utc <= "
                                     ":date_modified_utc order by date_modified_utc desc limit 1"),
                      connection, attributes);
}

VersionPointer CloudFileVersion::selectRevisionData(unsigned long long fileId, unsigned int revision, int attributes,
                                                    DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return {};
    Statement statement(connection, selectFrom(QStringLiteral("where file_id = :file_id and blocklevel_revision = "
                                                              ":revision and attributes = :attributes  limit 1")));
    statement.bindU64(QStringLiteral(":file_id"), fileId)
        .bind(QStringLiteral(":revision"), revision)
        .bind(QStringLiteral(":attributes"), attributes);
    return single(statement);
}

VersionPointer CloudFileVersion::selectDifferentialRevisionData(unsigned long long fileId, unsigned int revision,
                                                                DatabaseConnection& connection)
{
    return selectRevisionData(fileId, revision, 2, connection);
}

VersionPointer CloudFileVersion::selectDiskImageRevisionData(unsigned long long fileId, unsigned int revision,
                                                             DatabaseConnection& connection)
{
    return selectRevisionData(fileId, revision, 5, connection);
}

VersionList CloudFileVersion::select_(unsigned long long fileId, DatabaseConnection& connection)
{
    return allOfFile(fileId, QStringLiteral("where file_id = :file_id order by date_modified_utc asc"), connection);
}

VersionList CloudFileVersion::selectUploaded(unsigned long long fileId, DatabaseConnection& connection)
{
    return allOfFile(fileId, QStringLiteral("where file_id = :file_id and is_broken = 0 order by date_modified_utc asc"),
                     connection);
}

VersionList CloudFileVersion::selectBackupBefore(unsigned long long fileId, const QDateTime& date,
                                                 DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return {};
    Statement statement(connection, selectFrom(QStringLiteral("where file_id = :file_id and date_backedup_utc <= "
                                                              ":date_backedup_utc order by date_modified_utc asc")));
    statement.bindU64(QStringLiteral(":file_id"), fileId).bind(QStringLiteral(":date_backedup_utc"), dateText(date));
    return list(statement);
}

bool CloudFileVersion::isEmpty(unsigned long long fileId, DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return false;
    Statement statement(connection, QStringLiteral("select * from cloud_file_versions where file_id = :file_id limit 1"));
    statement.bindU64(QStringLiteral(":file_id"), fileId);
    return statement.exec() == Result::Ok && !statement.next();
}

int CloudFileVersion::getNextRevisionNumber(unsigned long long fileId, DatabaseConnection& connection)
{
    if (!connection.isOpen() || fileId == 0)
        return 0;
    Statement statement(connection, QStringLiteral("select max(blocklevel_revision) as revision  from "
                                                   "cloud_file_versions where file_id = :file_id"));
    statement.bindU64(QStringLiteral(":file_id"), fileId);
    if (statement.exec() != Result::Ok || !statement.next())
        return 0;
    return Row(statement.query()).i32(QStringLiteral("revision"));
}

bool CloudFileVersion::delete_(bool removeFileIfLast, DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_id == 0)
        return false;
    Statement statement(connection, QStringLiteral("delete from cloud_file_versions where id = :id"));
    statement.bindU64(QStringLiteral(":id"), m_id);
    if (statement.exec() != Result::Ok)
        return false;

    // Differential kinds own a block map; the version counts as deleted even if the map stays.
    if (m_attribute == 6 || m_attribute == 3) {
        CloudFileVersionBitmap bitmap;
        if (bitmap.select(m_id, connection))
            bitmap.delete_(connection);
    }

    if (!removeFileIfLast)
        return true;
    if (!isEmpty(m_fileId, connection)) {
        KTL::KtlDebug("SQL").debug() << "SQL::CloudFileVersion: it's not last file version for file:" << m_path
                                     << "id:" << m_fileId;
        return true;
    }
    KTL::KtlDebug("SQL").debug() << "SQL::CloudFileVersion: it's last file version for file, remove file:" << m_path;
    CloudFile file;
    if (!file.select(m_fileId, connection))
        return false;
    return file.delete_(false, connection);
}

}  // namespace RPX::SQL
