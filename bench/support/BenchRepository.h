#pragma once

#include "RawCatalog.h"

#include <rpxRepository/catalog/CloudFileVersion.h>

#include <QString>
#include <QTemporaryDir>

namespace rpxbench {

// The library's object for a version the benchmarks register.
RPX::SQL::CloudFileVersion libraryVersion(const VersionData& data);

// Version `version` of file number `file` at that path and time, its other fields derived from the
// numbers alike in every benchmark; `cloudSuffix` ends its cloud path.
VersionData numberedVersion(int file, int version, const QString& path, const QDateTime& modified,
                            const QByteArray& cloudSuffix = QByteArray());

// A fresh repository for one benchmark: a temporary configuration root (RPX_CONFIG_ROOT) and, on
// PostgreSQL, a database of its own on the server named by RPX_TEST_PGSQL, opened with
// Database::init. The library keeps one process-wide pool, so only one repository may be open at
// a time; when it goes, the pool is forgotten as in a new process and the next one starts afresh.
class BenchRepository
{
public:
    enum class Engine { SQLite, PostgreSQL };

    explicit BenchRepository(Engine engine);
    ~BenchRepository();
    BenchRepository(const BenchRepository&) = delete;
    BenchRepository& operator=(const BenchRepository&) = delete;

    // Whether Database::init succeeded; the reason went to stderr otherwise.
    bool isOpen() const { return m_open; }
    Engine engine() const { return m_engine; }
    // The temporary configuration root, ending in "/"; other files of the benchmark may go there.
    QString folder() const;
    // The SQLite repository file.
    QString sqlitePath() const;
    // The repository as DB_location names it: the PostgreSQL string or the SQLite file.
    QString location() const;
    // The repository file and its write-ahead log after a full checkpoint, in bytes (SQLite only).
    qint64 sqliteBytes() const;

    // "PGSQL;host:…;port:…;user:…;password:…;database:…" of the test server, empty when unset.
    static QString pgServer();

private:
    Engine m_engine;
    QTemporaryDir m_dir;
    QString m_pgDatabase;
    bool m_open = false;
};

}  // namespace rpxbench
