#include "RawCatalog.h"

#include <QFileInfo>
#include <QVector>

#include <sqlite3.h>

#include <cstdio>

namespace rpxbench {

namespace {

const char* const FolderSelect =
    "select id, parent_id, destination_id, display_name from cloud_folders where parent_id = :parent_id and "
    "destination_id = :destination_id  and display_name = :display_name limit 1";
const char* const FolderInsert =
    "insert into cloud_folders (display_name, name, parent_id, destination_id) values (:display_name, :name, "
    ":parent_id, :destination_id)";
const char* const FileSelect =
    "select id, destination_id, local_path, parent_id, cloud_path, file_name, display_name, size, original_size, "
    "date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, drive_id, date_deleted_utc, flags from "
    "cloud_files where destination_id = :destination_id and local_path = :local_path limit 1";
const char* const FileInsert =
    "insert into cloud_files (destination_id, local_path, parent_id, cloud_path, file_name, display_name, size, "
    "original_size, date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, drive_id, date_deleted_utc, "
    "flags) values (:destination_id, :local_path, :parent_id, :cloud_path, :file_name, :display_name, :size, "
    ":original_size, :date_modified_utc, :is_compressed, :is_encrypted, :is_simple, :is_broken, :drive_id, "
    ":date_deleted_utc, :flags)";
const char* const VersionInsert =
    "insert into cloud_file_versions (file_id, date_modified_utc, cloud_path, history_path, size, original_size, "
    "date_purgeddelay_utc, attributes, is_compressed, is_encrypted, is_simple, is_broken, upload_id, "
    "date_backedup_utc, filenameiv, blocklevel_revision, blocklevel_revision_isfull, delimiter, encryptioniv, "
    "kdfsalt, encryptionkey) values (:file_id, :date_modified_utc, :cloud_path, :history_path, :size, "
    ":original_size, :date_purgeddelay_utc, :attributes, :is_compressed, :is_encrypted, :is_simple, :is_broken, "
    ":upload_id, :date_backedup_utc, :filenameiv, :blocklevel_revision, :blocklevel_revision_isfull, :delimiter, "
    ":encryptioniv, :kdfsalt, :encryptionkey)";
const char* const PointInTime =
    "select file_id, id, cloud_path, history_path, size, original_size, date_purgeddelay_utc, attributes, "
    "date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, upload_id, date_backedup_utc, "
    "filenameiv, blocklevel_revision, blocklevel_revision_isfull, delimiter, encryptioniv, kdfsalt, encryptionkey "
    "from cloud_file_versions where file_id = :file_id and date_modified_utc <= :date_modified_utc order by "
    "date_modified_utc desc limit 1";

const QString NotSet = QStringLiteral("99999999999999");
const QString Delimiter = QStringLiteral("$");

// The 14-digit date code "yyyyMMddhhmmss" of a UTC date-time, as text and as a number.
QString dateText(const QDateTime& value)
{
    const QDateTime utc = value.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", date.year(), date.month(), date.day(), time.hour(),
                  time.minute(), time.second());
    return QString::fromLatin1(text, 14);
}

qint64 dateNumber(const QDateTime& value)
{
    const QDateTime utc = value.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    return ((((qint64(date.year()) * 100 + date.month()) * 100 + date.day()) * 100 + time.hour()) * 100 +
            time.minute()) * 100 + time.second();
}

// Every column of the current row, folded into a checksum.
quint64 readRow(sqlite3_stmt* statement)
{
    quint64 sum = 0;
    const int columns = sqlite3_column_count(statement);
    for (int i = 0; i < columns; ++i) {
        switch (sqlite3_column_type(statement, i)) {
        case SQLITE_INTEGER:
            sum += quint64(sqlite3_column_int64(statement, i));
            break;
        case SQLITE_FLOAT:
            sum += quint64(sqlite3_column_double(statement, i));
            break;
        case SQLITE_TEXT: {
            const unsigned char* text = sqlite3_column_text(statement, i);
            const int length = sqlite3_column_bytes(statement, i);
            sum += quint64(length) + (length > 0 ? text[0] : 0);
            break;
        }
        case SQLITE_BLOB: {
            const void* blob = sqlite3_column_blob(statement, i);
            const int length = sqlite3_column_bytes(statement, i);
            sum += quint64(length) + (length > 0 ? *static_cast<const unsigned char*>(blob) : 0);
            break;
        }
        default:
            break;
        }
    }
    return sum;
}

}  // namespace

RawStatement::~RawStatement()
{
    sqlite3_finalize(m_statement);
}

bool RawStatement::prepare(sqlite3* db, const char* sql)
{
    m_sql = sql;
    if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "RawCatalog: %s: %s\n", sqlite3_errmsg(db), sql);
    return false;
}

RawStatement& RawStatement::i64(qint64 value)
{
    sqlite3_bind_int64(m_statement, ++m_next, value);
    return *this;
}

RawStatement& RawStatement::text(const QString& value)
{
    if (value.isNull())
        sqlite3_bind_null(m_statement, ++m_next);
    else
        sqlite3_bind_text16(m_statement, ++m_next, value.utf16(), value.size() * 2, SQLITE_STATIC);
    return *this;
}

RawStatement& RawStatement::text(QStringView value)
{
    // An empty component is empty text, never NULL.
    static const ushort empty = 0;
    const void* data = value.isEmpty() ? &empty : static_cast<const void*>(value.data());
    sqlite3_bind_text16(m_statement, ++m_next, data, value.size() * 2, SQLITE_STATIC);
    return *this;
}

RawStatement& RawStatement::utf8(const QByteArray& value)
{
    if (value.isNull())
        sqlite3_bind_null(m_statement, ++m_next);
    else
        sqlite3_bind_text(m_statement, ++m_next, value.constData(), int(qstrnlen(value.constData(), uint(value.size()))),
                          SQLITE_STATIC);
    return *this;
}

RawStatement& RawStatement::blob(const QByteArray& value)
{
    if (value.isNull())
        sqlite3_bind_null(m_statement, ++m_next);
    else
        sqlite3_bind_blob(m_statement, ++m_next, value.constData(), value.size(), SQLITE_STATIC);
    return *this;
}

bool RawStatement::row()
{
    return finish(sqlite3_step(m_statement)) == SQLITE_ROW;
}

bool RawStatement::run()
{
    return finish(sqlite3_step(m_statement)) == SQLITE_DONE;
}

int RawStatement::finish(int result)
{
    if (result != SQLITE_ROW && result != SQLITE_DONE)
        std::fprintf(stderr, "RawCatalog: %s: %s\n", sqlite3_errmsg(sqlite3_db_handle(m_statement)), m_sql);
    return result;
}

void RawStatement::reset()
{
    sqlite3_reset(m_statement);
    m_next = 0;
}

RawCatalog::~RawCatalog()
{
    // The statements are finalised after this body; the connection goes with the last of them.
    sqlite3_close_v2(m_db);
}

bool RawCatalog::cloneSchema(const QString& from, const QString& to)
{
    sqlite3* source = nullptr;
    bool ok = sqlite3_open_v2(from.toUtf8().constData(), &source, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
    char* error = nullptr;
    const QByteArray vacuum = "VACUUM INTO '" + to.toUtf8().replace("'", "''") + "'";
    ok = ok && sqlite3_exec(source, vacuum.constData(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        std::fprintf(stderr, "RawCatalog: cannot copy the schema: %s\n", error ? error : sqlite3_errmsg(source));
    sqlite3_free(error);
    sqlite3_close(source);
    return ok;
}

bool RawCatalog::open(const QString& path)
{
    m_path = path;
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::fprintf(stderr, "RawCatalog: cannot open %s\n", qPrintable(path));
        return false;
    }
    sqlite3_busy_timeout(m_db, 30000);
    return exec("PRAGMA journal_mode=WAL") && m_folderSelect.prepare(m_db, FolderSelect) &&
           m_folderInsert.prepare(m_db, FolderInsert) && m_fileSelect.prepare(m_db, FileSelect) &&
           m_fileInsert.prepare(m_db, FileInsert) && m_versionInsert.prepare(m_db, VersionInsert) &&
           m_pointInTime.prepare(m_db, PointInTime);
}

bool RawCatalog::exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "RawCatalog: %s: %s\n", error, sql);
    sqlite3_free(error);
    return false;
}

bool RawCatalog::begin()
{
    m_folders.clear();
    m_inTransaction = exec("BEGIN IMMEDIATE");
    return m_inTransaction;
}

bool RawCatalog::commit()
{
    m_folders.clear();
    m_inTransaction = false;
    return exec("COMMIT");
}

qint64 RawCatalog::bytes()
{
    exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return QFileInfo(m_path).size() + QFileInfo(m_path + QStringLiteral("-wal")).size();
}

QStringList RawCatalog::statementTexts() const
{
    QStringList texts;
    for (const char* sql : {FolderSelect, FolderInsert, FileSelect, FileInsert, VersionInsert, PointInTime})
        texts << QString::fromLatin1(sql);
    return texts;
}

bool RawCatalog::row(RawStatement& statement)
{
    ++m_statements;
    return statement.row();
}

bool RawCatalog::run(RawStatement& statement)
{
    ++m_statements;
    return statement.run();
}

quint64 RawCatalog::selectOrInsertFolder(quint64 destinationId, const QString& folderPath)
{
    QStringView trimmed(folderPath);
    if (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const QList<QStringView> parts = trimmed.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    quint64 parent = 0;
    int next = 0;
    for (; next < parts.size(); ++next) {
        const auto known = m_folders.constFind(qMakePair(qMakePair(destinationId, parent), parts.at(next).toString()));
        if (known != m_folders.cend()) {
            parent = known.value();
            continue;
        }
        m_folderSelect.i64(qint64(parent)).i64(qint64(destinationId)).text(parts.at(next));
        const bool found = row(m_folderSelect);
        const quint64 id = found ? quint64(sqlite3_column_int64(m_folderSelect.handle(), 0)) : 0;
        m_folderSelect.reset();
        if (!found)
            break;
        if (m_inTransaction)
            m_folders.insert(qMakePair(qMakePair(destinationId, parent), parts.at(next).toString()), id);
        parent = id;
    }
    for (; next < parts.size(); ++next) {
        const QString name = parts.at(next).toString().toLower();
        m_folderInsert.text(parts.at(next)).text(name).i64(qint64(parent)).i64(qint64(destinationId));
        const bool inserted = run(m_folderInsert);
        m_folderInsert.reset();
        if (!inserted)
            return 0;
        const quint64 id = quint64(sqlite3_last_insert_rowid(m_db));
        if (m_inTransaction)
            m_folders.insert(qMakePair(qMakePair(destinationId, parent), parts.at(next).toString()), id);
        parent = id;
    }
    return parent;
}

quint64 RawCatalog::selectOrInsertFile(quint64 destinationId, const VersionData& version)
{
    m_fileSelect.i64(qint64(destinationId)).text(version.path);
    quint64 fileId = 0;
    // A file that exists is taken with its stored values, so every column is read, as the library does.
    if (row(m_fileSelect)) {
        fileId = quint64(sqlite3_column_int64(m_fileSelect.handle(), 0));
        m_checksum += readRow(m_fileSelect.handle());
    }
    m_fileSelect.reset();
    if (fileId != 0)
        return fileId;

    const int lastSlash = version.path.lastIndexOf(QLatin1Char('/'));
    const quint64 folderId =
        selectOrInsertFolder(destinationId, lastSlash < 0 ? version.path : version.path.left(lastSlash));
    if (folderId == 0)
        return 0;
    const QString displayName = version.path.mid(lastSlash + 1);
    const QString name = displayName.toLower();
    m_fileInsert.i64(qint64(destinationId))
        .text(version.path)
        .i64(qint64(folderId))
        .utf8(version.cloudPath)
        .text(name)
        .text(displayName)
        .i64(qint64(version.size))
        .i64(qint64(version.originalSize))
        .i64(dateNumber(version.modified))
        .i64(version.isCompressed)
        .i64(version.isEncrypted)
        .i64(0)  // is_simple
        .i64(0)  // is_broken
        .i64(0)  // drive_id
        .text(NotSet)
        .i64(0);  // flags
    const bool inserted = run(m_fileInsert);
    m_fileInsert.reset();
    return inserted ? quint64(sqlite3_last_insert_rowid(m_db)) : 0;
}

quint64 RawCatalog::insertVersion(quint64 destinationId, const VersionData& version, quint64* fileIdOut)
{
    const quint64 fileId = selectOrInsertFile(destinationId, version);
    if (fileId == 0)
        return 0;
    if (fileIdOut != nullptr)
        *fileIdOut = fileId;
    return insertVersionOf(fileId, version);
}

quint64 RawCatalog::insertVersionOf(quint64 fileId, const VersionData& version)
{
    const QString modified = dateText(version.modified);
    const QString backup = dateText(version.backup);
    m_versionInsert.i64(qint64(fileId))
        .text(modified)
        .utf8(version.cloudPath)
        .text(version.path)
        .i64(qint64(version.size))
        .i64(qint64(version.originalSize))
        .text(NotSet)
        .i64(version.attribute)
        .i64(version.isCompressed)
        .i64(version.isEncrypted)
        .i64(0)  // is_simple
        .i64(0)  // is_broken
        .utf8(version.uploadId)
        .text(backup)
        .blob(QByteArray())  // filenameiv
        .i64(0)              // blocklevel_revision
        .i64(0)              // blocklevel_revision_isfull
        .text(Delimiter)
        .blob(version.encryptionIv)
        .blob(QByteArray())   // kdfsalt
        .blob(QByteArray());  // encryptionkey
    const bool inserted = run(m_versionInsert);
    m_versionInsert.reset();
    return inserted ? quint64(sqlite3_last_insert_rowid(m_db)) : 0;
}

quint64 RawCatalog::selectFile(quint64 destinationId, const QString& localPath)
{
    m_fileSelect.i64(qint64(destinationId)).text(localPath);
    quint64 fileId = 0;
    if (row(m_fileSelect)) {
        fileId = quint64(sqlite3_column_int64(m_fileSelect.handle(), 0));
        m_checksum += readRow(m_fileSelect.handle());
    }
    m_fileSelect.reset();
    return fileId;
}

quint64 RawCatalog::selectPointInTime(quint64 fileId, const QDateTime& pointInTime)
{
    const QString date = dateText(pointInTime);
    m_pointInTime.i64(qint64(fileId)).text(date);
    quint64 versionId = 0;
    if (row(m_pointInTime)) {
        versionId = quint64(sqlite3_column_int64(m_pointInTime.handle(), 1));
        m_checksum += readRow(m_pointInTime.handle());
    }
    m_pointInTime.reset();
    return versionId;
}

}  // namespace rpxbench
