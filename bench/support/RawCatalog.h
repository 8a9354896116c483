#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>

struct sqlite3;
struct sqlite3_stmt;

namespace rpxbench {

// What one stored version of a file records; the benchmarks hand the same values to the library
// (through CloudFileVersion) and to RawCatalog.
struct VersionData
{
    QString path;  // local path, folders separated by "/"
    QByteArray cloudPath;
    QByteArray uploadId;
    QByteArray encryptionIv;
    QDateTime modified;  // UTC
    QDateTime backup;    // UTC
    quint64 size = 0;
    quint64 originalSize = 0;
    int attribute = 0;
    signed char isCompressed = 0;
    signed char isEncrypted = 0;
};

// One prepared statement, reused: bound by position (the order in which the placeholders first
// appear in its text), stepped, then reset for the next use.
class RawStatement
{
public:
    RawStatement() = default;
    ~RawStatement();
    RawStatement(const RawStatement&) = delete;
    RawStatement& operator=(const RawStatement&) = delete;

    bool prepare(sqlite3* db, const char* sql);
    const char* sql() const { return m_sql; }

    RawStatement& i64(qint64 value);
    RawStatement& text(const QString& value);  // UTF-16, not copied; a null string is NULL
    RawStatement& text(QStringView value);
    RawStatement& utf8(const QByteArray& value);  // up to the first zero byte; null is NULL
    RawStatement& blob(const QByteArray& value);  // null is NULL

    // Steps a select: true when a row came.
    bool row();
    // Steps any other statement: true when it completed.
    bool run();
    sqlite3_stmt* handle() const { return m_statement; }
    void reset();

private:
    int finish(int result);

    sqlite3_stmt* m_statement = nullptr;
    const char* m_sql = nullptr;
    int m_next = 0;
};

// The library's SQLite statements for registering and finding file versions, run directly on the
// sqlite3 C API with each statement prepared once and reused: the same steps as the library (a
// lookup per folder component until one is missing, inserts of the rest, the file lookup and
// insert, the version insert; inside a transaction each folder is looked up once), without the
// layers in between. What the library can reach at best with this schema.
class RawCatalog
{
public:
    RawCatalog() = default;
    ~RawCatalog();
    RawCatalog(const RawCatalog&) = delete;
    RawCatalog& operator=(const RawCatalog&) = delete;

    // A new repository file with the schema of an existing one (copied with VACUUM INTO).
    static bool cloneSchema(const QString& from, const QString& to);
    // Opens like the library does: WAL journal, busy timeout 30 s, default synchronous mode.
    bool open(const QString& path);

    bool begin();
    bool commit();
    // The repository file and its write-ahead log after a full checkpoint, in bytes.
    qint64 bytes();

    // CloudFileVersion::insert with file id 0: registers the file (and its folders) when missing.
    // The new version's id, 0 on failure; fileId, when given, receives the file's.
    quint64 insertVersion(quint64 destinationId, const VersionData& version, quint64* fileId = nullptr);
    // CloudFileVersion::insert with the file id set: the version insert alone.
    quint64 insertVersionOf(quint64 fileId, const VersionData& version);
    // CloudFile::select_: the file id, 0 when missing; every column is read.
    quint64 selectFile(quint64 destinationId, const QString& localPath);
    // CloudFileVersion::selectPointInTime: the version id, 0 when none; every column is read.
    quint64 selectPointInTime(quint64 fileId, const QDateTime& pointInTime);

    // Statements stepped so far, and their texts.
    qint64 statements() const { return m_statements; }
    QStringList statementTexts() const;

private:
    bool exec(const char* sql);
    quint64 selectOrInsertFolder(quint64 destinationId, const QString& folderPath);
    quint64 selectOrInsertFile(quint64 destinationId, const VersionData& version);
    bool row(RawStatement& statement);
    bool run(RawStatement& statement);

    QString m_path;
    sqlite3* m_db = nullptr;
    RawStatement m_folderSelect;
    RawStatement m_folderInsert;
    RawStatement m_fileSelect;
    RawStatement m_fileInsert;
    RawStatement m_versionInsert;
    RawStatement m_pointInTime;
    bool m_inTransaction = false;
    // Folder ids by (destination, parent) and name, found or inserted in the open transaction.
    QHash<QPair<QPair<quint64, quint64>, QString>, quint64> m_folders;
    qint64 m_statements = 0;
    quint64 m_checksum = 0;  // of the columns read, so that reading them is not optimised away
};

}  // namespace rpxbench
