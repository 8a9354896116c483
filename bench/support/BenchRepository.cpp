#include "BenchRepository.h"

#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>

#include <cstdio>

namespace rpxbench {

VersionData numberedVersion(int file, int version, const QString& path, const QDateTime& modified,
                            const QByteArray& cloudSuffix)
{
    VersionData data;
    data.path = path;
    data.cloudPath = "objects/" + QByteArray::number(file, 16).rightJustified(8, '0') + "/v" +
                     QByteArray::number(version) + cloudSuffix;
    data.uploadId = "upload-" + QByteArray::number(file) + "-" + QByteArray::number(version);
    data.encryptionIv = QByteArray(16, char(file));
    data.modified = modified;
    data.backup = modified.addSecs(3600);
    data.size = 1000 + quint64(file) * 7919 % 100000;
    data.originalSize = 2 * data.size;
    data.isCompressed = 1;
    data.isEncrypted = 1;
    return data;
}

RPX::SQL::CloudFileVersion libraryVersion(const VersionData& data)
{
    RPX::SQL::CloudFileVersion version;
    version.setPath(data.path);
    version.setCloudPath(data.cloudPath);
    version.setUploadId(data.uploadId);
    version.setEncryptionIv(data.encryptionIv);
    version.setDateModified(data.modified);
    version.setDateBackup(data.backup);
    version.setSize(data.size);
    version.setOriginalSize(data.originalSize);
    version.setAttribute(data.attribute);
    version.setIsCompressed(data.isCompressed);
    version.setIsEncrypted(data.isEncrypted);
    return version;
}

namespace {

// The value of one "key:value" item of a PGSQL string.
QString item(const QString& connection, const QString& key)
{
    for (const QString& part : connection.split(QLatin1Char(';'))) {
        if (part.startsWith(key + QLatin1Char(':')))
            return part.mid(key.size() + 1).trimmed();
    }
    return QString();
}

QString withDatabase(const QString& connection, const QString& database)
{
    QStringList parts;
    for (const QString& part : connection.split(QLatin1Char(';'))) {
        if (!part.startsWith(QLatin1String("database:")))
            parts << part;
    }
    parts << QStringLiteral("database:") + database;
    return parts.join(QLatin1Char(';'));
}

// CREATE and DROP DATABASE need a connection to another database of the server.
bool runOnServer(const QString& statement)
{
    const QString server = BenchRepository::pgServer();
    const QString name = QStringLiteral("rpxbench-admin");
    bool ok = false;
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        admin.setHostName(item(server, QStringLiteral("host")));
        admin.setPort(item(server, QStringLiteral("port")).toInt());
        admin.setUserName(item(server, QStringLiteral("user")));
        admin.setPassword(item(server, QStringLiteral("password")));
        admin.setDatabaseName(item(server, QStringLiteral("database")));
        QString error;
        if (admin.open()) {
            QSqlQuery query(admin);
            ok = query.exec(statement);
            error = query.lastError().text();
        } else {
            error = admin.lastError().text();
        }
        if (!ok)
            std::fprintf(stderr, "BenchRepository: %s: %s\n", qPrintable(statement), qPrintable(error));
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

bool writeSettings(const QString& folder, const QString& location)
{
    QFile file(folder + QStringLiteral("settings.xml"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QStringLiteral("<?xml version=\"1.0\"?>\n<settings>\n  <database DB_location=\"%1\"/>\n</settings>\n")
                   .arg(location.toHtmlEscaped())
                   .toUtf8());
    return true;
}

}  // namespace

BenchRepository::BenchRepository(Engine engine) : m_engine(engine)
{
    if (!m_dir.isValid()) {
        std::fprintf(stderr, "BenchRepository: no temporary folder\n");
        return;
    }
    qputenv("RPX_CONFIG_ROOT", QFile::encodeName(folder()));
    if (engine == Engine::PostgreSQL) {
        if (pgServer().isEmpty()) {
            std::fprintf(stderr, "BenchRepository: RPX_TEST_PGSQL is not set\n");
            return;
        }
        const QString database = QStringLiteral("rpxbench_") + QUuid::createUuid().toString(QUuid::Id128);
        if (!runOnServer(QStringLiteral("CREATE DATABASE ") + database))
            return;
        m_pgDatabase = database;
        if (!writeSettings(folder(), withDatabase(pgServer(), database)))
            return;
    }
    m_open = RPX::SQL::Database::init(false);
    if (!m_open)
        std::fprintf(stderr, "BenchRepository: the repository cannot be opened\n");
}

BenchRepository::~BenchRepository()
{
    delete RPX::SQL::DatabasePool::defaultPool().data();
    const QString defaultName = QLatin1String(QSqlDatabase::defaultConnection);
    if (QSqlDatabase::contains(defaultName))
        QSqlDatabase::removeDatabase(defaultName);
    RPX::SQL::Database::resetDbLastError();
    if (!m_pgDatabase.isEmpty())
        runOnServer(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_pgDatabase));
    qunsetenv("RPX_CONFIG_ROOT");
}

QString BenchRepository::folder() const
{
    return m_dir.path() + QLatin1Char('/');
}

QString BenchRepository::sqlitePath() const
{
    return folder() + QStringLiteral("rpxstore.db");
}

QString BenchRepository::location() const
{
    return m_pgDatabase.isEmpty() ? sqlitePath() : withDatabase(pgServer(), m_pgDatabase);
}

qint64 BenchRepository::sqliteBytes() const
{
    {
        RPX::SQL::DatabaseConnection connection(RPX::SQL::DatabasePool::defaultPool());
        QSqlQuery checkpoint = connection.query();
        if (!checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")))
            std::fprintf(stderr, "BenchRepository: checkpoint: %s\n", qPrintable(checkpoint.lastError().text()));
    }
    const QString path = sqlitePath();
    return QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
}

QString BenchRepository::pgServer()
{
    return qEnvironmentVariable("RPX_TEST_PGSQL");
}

}  // namespace rpxbench
