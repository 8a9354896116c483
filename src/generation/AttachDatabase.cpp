#include "AttachDatabase.h"

#include "BlockIdGenerator.h"
#include "Files.h"
#include "Folders.h"
#include "Metadata.h"
#include "Parts.h"
#include "PartsBlocks.h"
#include "RestorePoints.h"
#include "StorageFiles.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/agent/KtlDebug.h>
#include <rpxRepository/database/agent/Utility.h>

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVector>

namespace RPX::SQL::Generation {

namespace {

// The schema operations every generation table class offers.
struct GenerationTable
{
    QString (*createTable)(const QString&);
    QStringList (*createIndex)(const QString&);
    QStringList (*update)(const QVersionNumber&, const QString&);
};

template <class T>
GenerationTable tableOf()
{
    return {&T::createTable, &T::createIndex, &T::update};
}

// The order in which a generation database's tables are created and upgraded.
const QVector<GenerationTable>& generationTables()
{
    static const QVector<GenerationTable> tables = {
        tableOf<Metadata>(),
        tableOf<StorageFiles>(),
        tableOf<RestorePoints>(),
        tableOf<Folders>(),
        tableOf<Files>(),
        tableOf<Parts>(),
        tableOf<PartsBlocks>(),
        tableOf<BlockIdGenerator>(),
    };
    return tables;
}

// The attachment names the tables of its own file, so every statement carries the empty prefix.
QStringList creationStatements()
{
    const QString bare;
    QStringList statements;
    for (const GenerationTable& table : generationTables())
        statements << table.createTable(bare);
    for (const GenerationTable& table : generationTables())
        statements << table.createIndex(bare);
    statements << BlockIdGenerator::init(bare);
    return statements;
}

QStringList upgradeStatements(const QVersionNumber& from)
{
    QStringList statements;
    for (const GenerationTable& table : generationTables())
        statements << table.update(from, QString());
    return statements;
}

// Runs the statements in order and stops at the first failure, whose code it returns.
int runStatements(QSqlDatabase& database, const QStringList& statements)
{
    QSqlQuery query(database);
    for (const QString& statement : statements) {
        query.prepare(statement);
        const int code = ExecQuery(query).exec();
        if (code != Result::Ok)
            return code;
    }
    return Result::Ok;
}

// Another connection holding a lock is waited for rather than failed at once.
constexpr int BusyTimeoutMs = 30000;

// Without statistics SQLite answers a folder's lookup at an early restore point through the
// restore-point index, reading every row of those runs for each folder (ten times slower over
// 100 000 files). A generation is written by one run and read by later ones, so a file without
// statistics gets them when it is next attached. The bounded form reads at most a thousand rows
// per index; a file that is busy or read-only is simply read without them.
void gatherStatistics(QSqlDatabase& database)
{
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("select 1 from sqlite_master where name = 'sqlite_stat1'")) || query.next())
        return;
    query.finish();
    const bool gathered = query.exec(QStringLiteral("PRAGMA busy_timeout = 0")) &&
                          query.exec(QStringLiteral("PRAGMA analysis_limit = 1000")) &&
                          query.exec(QStringLiteral("ANALYZE"));
    if (!gathered)
        KTL::KtlDebug("SQL").debug() << "Generation statistics not gathered:" << query.lastError().text();
    query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(BusyTimeoutMs));
}

QString uniqueConnectionName()
{
    QString name;
    do {
        name = KTL::Utility::RandomString::generateSimple(32);
    } while (QSqlDatabase::contains(name));
    return name;
}

}  // namespace

AttachDatabase::AttachDatabase(const QString& path, const QUuid& marker)
    : m_path(path), m_marker(marker), m_attachedDatabasePool(new DatabasePool(nullptr))
{
}

AttachDatabase::~AttachDatabase()
{
    if (!m_attachedDatabasePool.isNull())
        delete m_attachedDatabasePool.data();
}

QSharedPointer<AttachDatabase> AttachDatabase::attach(const QString& path, const QUuid& marker)
{
    QSharedPointer<AttachDatabase> database(new AttachDatabase(path, marker));
    if (database->attach() != Result::Ok)
        return {};
    return database;
}

int AttachDatabase::attach()
{
    if (isAttached() || m_path.isEmpty() || m_attachedDatabasePool.isNull())
        return Result::Error;

    const QString temporaryName = uniqueConnectionName();
    int code = Result::Error;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), temporaryName);
        bool isNew = false;
        code = prepare(database, isNew);
        if (code == Result::Ok) {
            if (!m_attachedDatabasePool->initDatabase(database))
                KTL::KtlDebug("SQL").error() << "Error on attache generation database, path:" << m_path;

            if (isNew && isAttached()) {
                Metadata metadata;
                metadata.setDateCreatedUtc(QDateTime::currentDateTimeUtc());
                metadata.setGenerationMarker(m_marker);
                DatabaseConnection connection(m_attachedDatabasePool);
                if (metadata.insert(QString(), connection) != Result::Ok)
                    KTL::KtlDebug("SQL").error() << "Error on init generation metadata:" << m_marker.toString();
            }
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(temporaryName);

    if (code != Result::Ok)
        return code;
    return isAttached() ? Result::Ok : Result::Error;
}

int AttachDatabase::prepare(QSqlDatabase& database, bool& isNew)
{
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));

    isNew = !QFileInfo::exists(m_path);
    if (isNew)
        KTL::KtlDebug("SQL").info() << "Generation repository not exist, create new. path:" << m_path;

    database.setDatabaseName(m_path);
    if (!database.open()) {
        KTL::KtlDebug("SQL").error() << "Error on open database:" << database.lastError().text();
        return Result::Error;
    }

    {
        QSqlQuery query(database);
        query.prepare(QStringLiteral("PRAGMA journal_mode"));
        int code = ExecQuery(query).exec();
        if (code != Result::Ok) {
            KTL::KtlDebug("SQL").error() << "Error on check database journal mode database:"
                                         << query.lastError().text();
            return code;
        }
        const QString mode = query.next() ? query.value(0).toString() : QString();
        if (mode.toUpper() != QLatin1String("WAL")) {
            query.prepare(QStringLiteral("PRAGMA journal_mode=WAL"));
            code = ExecQuery(query).exec();
            if (code != Result::Ok) {
                KTL::KtlDebug("SQL").error() << "Error on set database journal mode database:"
                                             << query.lastError().text();
                return code;
            }
        }
    }

    if (isNew) {
        // Every account on the machine that runs the agent must be able to write the generation.
        const QFileDevice::Permissions everyoneReadWrite = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                           QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                           QFileDevice::ReadOther | QFileDevice::WriteOther;
        if (!QFile::setPermissions(m_path, everyoneReadWrite)) {
            KTL::KtlDebug("SQL").error() << "Error on change DB file permissions!";
            return Result::Error;
        }
        const int code = runStatements(database, creationStatements());
        if (code != Result::Ok)
            KTL::KtlDebug("SQL").error() << "Error on create generation database table. code:" << code;
        return code;
    }

    const RowResult<Metadata> stored = Metadata::select(database);
    if (stored.second != Result::Ok)
        return stored.second;
    // Without its row the file describes no generation and gives no version to upgrade from.
    if (stored.first.isNull())
        return Result::Error;
    Metadata& metadata = *stored.first;
    gatherStatistics(database);
    // A file of a newer schema is left as it is.
    if (QVersionNumber::compare(metadata.repositoryVersion(), Metadata::Version) >= 0)
        return Result::Ok;

    const int code = runStatements(database, upgradeStatements(metadata.repositoryVersion()));
    if (code != Result::Ok) {
        KTL::KtlDebug("SQL").error() << "Error on update generation database table. code:" << code;
        return code;
    }
    metadata.setRepositoryVersion(Metadata::Version);
    return metadata.update(database);
}

bool AttachDatabase::isAttached() const
{
    return !m_attachedDatabasePool.isNull() && m_attachedDatabasePool->isInit();
}

void AttachDatabase::detach() {}

QPointer<DatabasePool>& AttachDatabase::attachedDatabasePool()
{
    return m_attachedDatabasePool;
}

const QString& AttachDatabase::path() const
{
    return m_path;
}

}  // namespace RPX::SQL::Generation
