#include "Database.h"

#include "DatabaseConnection.h"
#include "DatabasePool.h"
#include "DatabaseStructure.h"
#include "agent/ConfigPaths.h"
#include "agent/KtlDebug.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>

namespace RPX::SQL {

namespace {

const QString PgsqlMarker = QStringLiteral("PGSQL");
const QString DatabaseFileName = QStringLiteral("rpxstore.db");
const QString CorruptedFolderName = QStringLiteral("corrupteddb");

QString configuredLocation()
{
    return SHARED::functions::files_operations::get_attrib_from_file(
        SHARED::defines::Path::ETC::CONFIG::default_settings(), QStringLiteral("DB_location"));
}

// Registers Qt's default connection for a driver, replacing any earlier one.
QSqlDatabase addDefaultConnection(const QString& driver)
{
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
    return QSqlDatabase::addDatabase(driver, name);
}

bool hasUserTables(const QSqlDatabase& database)
{
    return !database.tables(QSql::Tables).isEmpty();
}

// Runs a pragma; false (and the error logged) when it fails. The first column of the row is `value`.
bool readPragma(QSqlDatabase& database, const QString& pragma, const char* errorText, QString& value)
{
    QSqlQuery query(database);
    if (!query.exec(pragma)) {
        KTL::KtlDebug("SQL").error() << errorText << query.lastError().text();
        return false;
    }
    value = query.next() ? query.value(0).toString() : QString();
    return true;
}

bool ensurePragma(QSqlDatabase& database, const QString& name, const QString& wanted, const char* checkError,
                  const char* setError)
{
    QString current;
    if (!readPragma(database, QStringLiteral("PRAGMA %1;").arg(name), checkError, current))
        return false;
    if (current.toUpper() == wanted.toUpper())
        return true;
    QString ignored;
    return readPragma(database, QStringLiteral("PRAGMA %1=%2;").arg(name, wanted), setError, ignored);
}

bool createStructureThroughPool()
{
    KTL::KtlDebug("SQL").info() << "Create new DB structure";
    DatabaseConnection connection(DatabasePool::defaultPool());
    return createDatabaseStructure(connection);
}

// A database that failed to open must not stay registered: a later init starts over.
bool failOpen()
{
    DatabasePool::defaultPool()->releaseDatabase();
    return false;
}

}  // namespace

bool Database::_dbLastError = false;

QString Database::connectionString()
{
    const QString configured = configuredLocation();
    if (!configured.isEmpty())
        return configured;
    return SHARED::defines::Path::ETC::CONFIG::config_root() + DatabaseFileName;
}

QString Database::corruptedPath()
{
    const QString configured = configuredLocation();
    if (!configured.isEmpty() && !configured.startsWith(PgsqlMarker)) {
        // Beside the configured file, never the file itself: a set-aside must keep a copy.
        return QFileInfo(configured).absolutePath() + QLatin1Char('/') + CorruptedFolderName;
    }
    return SHARED::defines::Path::ETC::CONFIG::config_root() + CorruptedFolderName;
}

bool Database::initSQLite(const QString& path)
{
    KTL::KtlDebug("SQL").info() << "Use sqlite database";

    QSqlDatabase database = addDefaultConnection(QStringLiteral("QSQLITE"));
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    const bool existed = QFileInfo::exists(path);
    database.setDatabaseName(path);
    if (!database.open()) {
        KTL::KtlDebug("SQL").error() << "Error on open database:" << database.lastError().text();
        KTL::KtlDebug("SQL").error() << "Drivers:" << QSqlDatabase::drivers().join(QLatin1Char(' '));
        return false;
    }

    if (!ensurePragma(database, QStringLiteral("journal_mode"), QStringLiteral("WAL"),
                      "Error on check database journal mode database:",
                      "Error on set database journal mode database:"))
        return false;
    if (!ensurePragma(database, QStringLiteral("locking_mode"), QStringLiteral("NORMAL"),
                      "Error on check database locking mode database:",
                      "Error on set database locking mode database:"))
        return false;

    if (!DatabasePool::defaultPool()->initDatabase(database))
        return false;
    if (existed && hasUserTables(database))
        return true;
    return createStructureThroughPool() || failOpen();
}

void Database::setPostgreSQLLocation(QSqlDatabase& database, const QString& connectionString)
{
    QString host, user, password, databaseName;
    int port = 5432;
    const QStringList items = connectionString.split(QLatin1Char(';'));
    for (const QString& item : items) {
        const QString value = item.section(QLatin1Char(':'), -1).trimmed();
        if (item.startsWith(QLatin1String("host"))) {
            host = value;
        } else if (item.startsWith(QLatin1String("port"))) {
            bool ok = false;
            port = value.toInt(&ok, 10);
            if (!ok)
                port = 5432;
        } else if (item.startsWith(QLatin1String("user"))) {
            user = value;
        } else if (item.startsWith(QLatin1String("password"))) {
            password = value;
        } else if (item.startsWith(QLatin1String("database"))) {
            databaseName = value;
        }
    }
    database.setHostName(host);
    database.setDatabaseName(databaseName);
    database.setUserName(user);
    database.setPassword(password);
    database.setPort(port);
}

bool Database::initPostgreSQL(const QString& connectionString)
{
    KTL::KtlDebug("SQL").info() << "Use PostgreSQL database";

    QSqlDatabase database = addDefaultConnection(QStringLiteral("QPSQL"));
    setPostgreSQLLocation(database, connectionString);
    // Statements are prepared once per connection and reused with every value. After five runs
    // PostgreSQL may switch a prepared statement to one generic plan, chosen for no value in
    // particular and, on a table that grew since its last statistics, badly (registering files
    // ran two to three times slower); planning each run with its values costs far less.
    database.setConnectOptions(QStringLiteral("options='-c plan_cache_mode=force_custom_plan'"));
    if (!database.open()) {
        KTL::KtlDebug("SQL").error() << "Error on connect to database:" << database.lastError().text();
        return false;
    }

    if (!DatabasePool::defaultPool()->initDatabase(database))
        return false;
    if (hasUserTables(database))
        return true;
    return createStructureThroughPool() || failOpen();
}

bool Database::open(const QString& connectionString)
{
    if (connectionString.startsWith(PgsqlMarker))
        return initPostgreSQL(connectionString);
    return initSQLite(connectionString);
}

bool Database::init(bool setAsideOnError)
{
    QPointer<DatabasePool>& pool = DatabasePool::defaultPool();
    if (pool->isInit())
        return true;

    const QString location = connectionString();
    const QString folder = corruptedPath();

    const bool opened = open(location);
    bool mustSetAside = false;
    if (!opened) {
        _dbLastError = true;
        if (!setAsideOnError)
            return false;
        mustSetAside = true;
    } else if (setAsideOnError && _dbLastError) {
        mustSetAside = true;
    }

    if (mustSetAside) {
        setAside(location, folder);
        if (!open(location))
            return false;
    }

    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    return true;
}

void Database::setAside(const QString& connectionString, const QString& folder)
{
    // Close everything on the file before it is copied and deleted.
    DatabasePool::defaultPool()->releaseDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));

    if (connectionString.startsWith(PgsqlMarker))
        return;

    QDir directory(folder);
    if (!directory.exists())
        QDir().mkdir(folder);

    const QFileInfoList entries = directory.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                                          QDir::Unsorted);
    if (entries.size() > 2) {
        QDateTime earliest = QDateTime::currentDateTimeUtc();
        QString oldest;
        for (const QFileInfo& entry : entries) {
            if (entry.lastModified().toUTC() < earliest) {
                earliest = entry.lastModified().toUTC();
                oldest = entry.absoluteFilePath();
            }
        }
        if (!oldest.isEmpty()) {
            if (QFileInfo(oldest).isDir())
                QDir(oldest).removeRecursively();
            else
                QFile::remove(oldest);
        }
    }

    const QString copy = folder + QStringLiteral("/rpxstore") +
                         QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy_MM_dd_hh_mm_ss")) +
                         QStringLiteral(".db");
    QFile::copy(connectionString, copy);
    KTL::KtlDebug("SQL").debug() << QStringLiteral("Corrupted: ") + copy;

    QFile::remove(connectionString);
    // A journal left beside a new file would be replayed into it.
    QFile::remove(connectionString + QStringLiteral("-wal"));
    QFile::remove(connectionString + QStringLiteral("-shm"));
    QFile::remove(connectionString + QStringLiteral("-journal"));
}

bool Database::dbLastError()
{
    return _dbLastError;
}

void Database::resetDbLastError()
{
    _dbLastError = false;
}

bool Database::shrink()
{
    if (!init(false))
        return false;
    DatabaseConnection connection(DatabasePool::defaultPool());
    QSqlQuery query = connection.query();
    if (query.exec(QStringLiteral("VACUUM")))
        return true;
    KTL::KtlDebug("SQL").error() << "Error on shrink database:" << query.lastError().databaseText()
                                 << query.lastError().driverText();
    return false;
}

}  // namespace RPX::SQL
