#include "Destination.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/CloudTypes.h>
#include <rpxRepository/database/agent/Identity.h>
#include <rpxRepository/database/agent/KtlDebug.h>
#include <rpxRepository/database/agent/Utility.h>

#include <QCryptographicHash>
#include <limits>

namespace RPX::SQL {

namespace {

const QString SelectColumns = QStringLiteral(
    "select id, cloud_type, account_id, container, prefix, last_sync_time_utc, size, filecount, foldercount "
    "from destination");

// Identity columns are compared with "=", so a missing value is stored as empty text, never NULL.
QString nonNull(const QString& text)
{
    return text.isNull() ? QString::fromLatin1("") : text;
}

QString md5Base64(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toBase64());
}

// Runs a one-value select for this destination; 0 when it fails or yields no row.
qint64 countFor(unsigned long long destinationId, DatabaseConnection& connection, const QString& sql,
                const QString& column)
{
    if (!connection.isOpen() || destinationId == 0)
        return 0;
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":destination_id"), destinationId);
    if (statement.exec() != Result::Ok || !statement.next())
        return 0;
    return Row(statement.query()).i64(column);
}

}  // namespace

QString Destination::createTable(DatabaseType type)
{
    return dialect(type,
                   QStringLiteral("CREATE TABLE destination(id integer PRIMARY KEY ASC,cloud_type TEXT,account_id "
                                  "TEXT,container TEXT,prefix TEXT,last_sync_time_utc TEXT,size NUMERIC default 0 , "
                                  "filecount integer default 0 , foldercount integer default 0 , "
                                  "UNIQUE(cloud_type,account_id,container,prefix))"),
                   QStringLiteral("CREATE TABLE destination(id SERIAL PRIMARY KEY,cloud_type TEXT,account_id "
                                  "TEXT,container TEXT,prefix TEXT,last_sync_time_utc TEXT,size NUMERIC default 0 , "
                                  "filecount integer default 0 , foldercount integer default 0 , "
                                  "UNIQUE(cloud_type,account_id,container,prefix))"));
}

bool Destination::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection, QStringLiteral("insert into destination(cloud_type, account_id, container, "
                                                   "prefix) values (:cloud_type, :account_id, :container, :prefix)"), Statement::ReturnsId | Statement::MayConflict);
    statement.bindText(QStringLiteral(":cloud_type"), nonNull(m_cloudType))
        .bindText(QStringLiteral(":account_id"), nonNull(m_accountId))
        .bindText(QStringLiteral(":container"), nonNull(m_container))
        .bindText(QStringLiteral(":prefix"), nonNull(m_prefix));
    if (statement.exec() != Result::Ok)
        return false;
    m_id = statement.lastInsertId();
    return true;
}

bool Destination::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_cloudType = row.text(QStringLiteral("cloud_type"));
    m_accountId = row.text(QStringLiteral("account_id"));
    m_container = row.text(QStringLiteral("container"));
    m_prefix = row.text(QStringLiteral("prefix"));
    m_usedSpace = row.u64(QStringLiteral("size"));
    m_fileCount = row.i64(QStringLiteral("filecount"));
    m_folderCount = row.i64(QStringLiteral("foldercount"));
    m_lastSyncTime = QDateTime();
    const QString lastSync = row.text(QStringLiteral("last_sync_time_utc"));
    if (!lastSync.isEmpty()) {
        m_lastSyncTime = QDateTime::fromString(lastSync, DateCode::Format);
        m_lastSyncTime.setTimeSpec(Qt::UTC);
    }
    return true;
}

QSharedPointer<Destination> Destination::select(unsigned long long id, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    Statement statement(connection, SelectColumns + QStringLiteral(" where id = :id limit 1"));
    statement.bindU64(QStringLiteral(":id"), id);
    return selectOne<Destination>(statement).first;
}

QSharedPointer<Destination> Destination::select(const QString& accountId, const QString& prefix,
                                                const QString& container, const QString& cloudType,
                                                DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    Statement statement(connection,
                        SelectColumns + QStringLiteral(" where cloud_type = :cloud_type and account_id = :account_id "
                                                       "and container = :container and prefix = :prefix limit 1"));
    statement.bindText(QStringLiteral(":cloud_type"), nonNull(cloudType))
        .bindText(QStringLiteral(":account_id"), nonNull(accountId))
        .bindText(QStringLiteral(":container"), nonNull(container))
        .bindText(QStringLiteral(":prefix"), nonNull(prefix));
    return selectOne<Destination>(statement).first;
}

QSharedPointer<Destination> Destination::select(const QJsonObject& accountSettings, DatabaseConnection& connection)
{
    if (!connection.isOpen() || accountSettings.isEmpty())
        return {};
    QString accountId, prefix, container, cloudType;
    if (!SearchParams(accountSettings, accountId, prefix, container, cloudType))
        return {};
    return select(accountId, prefix, container, cloudType, connection);
}

QSharedPointer<Destination> Destination::selectOrInsert(const QJsonObject& accountSettings,
                                                        DatabaseConnection& connection)
{
    if (!connection.isOpen() || accountSettings.isEmpty())
        return {};
    QString accountId, prefix, container, cloudType;
    if (!SearchParams(accountSettings, accountId, prefix, container, cloudType))
        return {};
    if (QSharedPointer<Destination> found = select(accountId, prefix, container, cloudType, connection))
        return found;

    KTL::KtlDebug("SQL").debug() << "SQL::Destination: Insert new destination to DB";
    // No transaction: a caller racing us for the same account loses on the unique key and gets null.
    QSharedPointer<Destination> created(new Destination());
    created->setAccountId(accountId);
    created->setPrefix(prefix);
    created->setContainer(container);
    created->setCloudType(cloudType);
    if (!created->insert(connection))
        return {};
    return created;
}

QList<QSharedPointer<Destination>> Destination::select(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    Statement statement(connection, SelectColumns);
    return selectAll<Destination>(statement).first;
}

bool Destination::SearchParams(const QJsonObject& accountSettings, QString& accountId, QString& prefix,
                               QString& container, QString& cloudType)
{
    const auto setting = [&accountSettings](const char* key) {
        return accountSettings.value(QLatin1String(key)).toString();
    };
    const auto assign = [&](const QString& newAccountId, const QString& newPrefix, const QString& newContainer,
                            const QString& newCloudType) {
        // Text the database would not give back unchanged names no destination that could be found again.
        if (!isStorableText(newAccountId) || !isStorableText(newPrefix) || !isStorableText(newContainer) ||
            !isStorableText(newCloudType))
            return false;
        accountId = newAccountId;
        prefix = newPrefix;
        container = newContainer;
        cloudType = newCloudType;
        return true;
    };
    const QString fileSystemName = KTL::Cloud::TypeName.value(KTL::Cloud::FileSystem);
    const QString accountType = setting("AccountType");
    const QString backupPrefix = setting("BackupPrefix");
    // The path of a file-system account is used as given, a trailing separator included.
    const QString fileSystemPrefix = setting("Path") + QStringLiteral("/RPX_") + backupPrefix;

    if (SHARED::defines::common::is_vro()) {
        if (accountType == fileSystemName)
            return assign(QStringLiteral("RPX_FS"), fileSystemPrefix, QStringLiteral("Local"), fileSystemName);
        const QString vroPrefix = backupPrefix.isEmpty() ? KTL::Network::ComputerName::name() : backupPrefix;
        return assign(setting("AccountId") + QLatin1Char('-') + setting("FolderPath"), vroPrefix,
                      setting("ContainerName"), QStringLiteral("VRO"));
    }

    using namespace KTL::Cloud;
    const int type = typeFromName(accountType);
    switch (type) {
    case FileSystem:
        return assign(QStringLiteral("RPX_FS"), fileSystemPrefix, QStringLiteral("Local"), fileSystemName);
    case AmazonS3:
    case AmazonS3EU:
    case AmazonS3GovCloud:
        return assign(setting("AccessKey"), backupPrefix, setting("ContainerName"), QStringLiteral("Standalone"));
    case AzureBlob:
        return assign(md5Base64(setting("UserName").toUtf8()), backupPrefix, setting("ContainerName"),
                      QStringLiteral("Standalone_Azure"));
    case OracleCloud:
    case Rackspace:
    case Openstack:
    case SoftLayer:
    case HPCloud:
    case HPHelion:
        return assign(md5Base64(setting("Endpoint").toUtf8() + setting("ContainerName").toUtf8()), backupPrefix,
                      setting("ContainerName"), QStringLiteral("Standalone_RackSpace"));
    case GoogleStorage:
        return assign(setting("StorageId"), backupPrefix, setting("ContainerName"),
                      QStringLiteral("Standalone_GOOGLE"));
    case BackBlaze:
        return assign(setting("StorageId"), backupPrefix, setting("ContainerId"),
                      QStringLiteral("Standalone_BackBlaze"));
    case Sftp:
        return assign(setting("User"),
                      KTL::Utility::StringFilters::removeTrailingChar(setting("Path"), QLatin1Char('/')) +
                          QStringLiteral("/RPX_") + backupPrefix,
                      QStringLiteral("Sftp"), QStringLiteral("Sftp"));
    default:
        break;
    }
    // The remaining S3-compatible kinds share one identity scheme.
    if (type >= S3Compatible && type <= ImpossibleCloud)
        return assign(setting("AccessKey"), backupPrefix, setting("ContainerName"), QStringLiteral("Standalone"));
    return false;
}

qint64 Destination::filesCount(DatabaseConnection& connection) const
{
    return countFor(m_id, connection,
                    QStringLiteral("select count(*) as count_of_files from cloud_file_versions cfv inner join "
                                   "cloud_files cf on cfv.file_id = cf.id where cf.destination_id = :destination_id"),
                    QStringLiteral("count_of_files"));
}

qint64 Destination::foldersCount(DatabaseConnection& connection) const
{
    return countFor(m_id, connection,
                    QStringLiteral("select count(*) as count_of_folders from  cloud_folders cf where  "
                                   "cf.destination_id = :destination_id"),
                    QStringLiteral("count_of_folders"));
}

qint64 Destination::spaceUsed(DatabaseConnection& connection) const
{
    if (!connection.isOpen() || m_id == 0)
        return 0;
    static const QStringList sums = {
        QStringLiteral("select sum(cfv.size) as size from cloud_file_versions  cfv inner join cloud_files cf on "
                       "cfv.file_id = cf.id where cf.destination_id = :destination_id"),
        QStringLiteral("select sum(g.uploaded_files_size) as size from archive_bunches b inner join "
                       "archive_generations g on g.bunch_id = b.id where uploaded_files_size > 0 and "
                       "b.destination_id = :destination_id"),
    };
    qint64 total = 0;
    for (const QString& sql : sums) {
        Statement statement(connection, sql);
        statement.bindU64(QStringLiteral(":destination_id"), m_id);
        // A partial total would understate the space, so any failure gives 0.
        if (statement.exec() != Result::Ok)
            return 0;
        if (!statement.next())
            continue;
        const qint64 sum = Row(statement.query()).i64(QStringLiteral("size"));
        if (sum > 0 && sum < std::numeric_limits<qint64>::max())
            total += sum;
    }
    return total;
}

bool Destination::updateStatistic(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    const qint64 size = spaceUsed(connection);
    const qint64 files = filesCount(connection);
    const qint64 folders = foldersCount(connection);
    Statement statement(connection, QStringLiteral("update destination set size = :size, filecount = :filecount, "
                                                   "foldercount = :foldercount where id = :id"));
    statement.bindU64(QStringLiteral(":size"), quint64(size))
        .bind(QStringLiteral(":filecount"), QVariant(qlonglong(files)))
        .bind(QStringLiteral(":foldercount"), QVariant(qlonglong(folders)))
        .bindU64(QStringLiteral(":id"), m_id);
    if (statement.exec() != Result::Ok)
        return false;
    m_usedSpace = quint64(size);
    m_fileCount = files;
    m_folderCount = folders;
    return true;
}

}  // namespace RPX::SQL
