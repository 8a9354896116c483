#include "Metadata.h"

#include "SchemaPrefix.h"

#include <rpxRepository/database/agent/Identity.h>

namespace RPX::SQL::Generation {

const QVersionNumber Metadata::Version = QVersionNumber::fromString(QStringLiteral("1.0.0"));

Metadata::Metadata() : m_productVersion(QVersionNumber::fromString(KTL::Core::Version::number())) {}

QString Metadata::createTable(const QString& prefix)
{
    return prefixed(QStringLiteral("CREATE TABLE %1metadata (product_version TEXT, repository_version TEXT, "
                                   "date_created_utc DATETIME, generation_marker TEXT, generation_type INTEGER NOT "
                                   "NULL DEFAULT 0, full_backup_reason INTEGER, encryption_algorithm integer, key_size "
                                   "integer, kdf_iterations integer, kdf_salt BLOB, secret_key BLOB, "
                                   "compression_algorithm integer, block_size integer, params_hash blob, platform "
                                   "integer);"),
                    prefix);
}

QStringList Metadata::createIndex(const QString&)
{
    return {};
}

QStringList Metadata::update(const QVersionNumber&, const QString&)
{
    return {};
}

void Metadata::bindFields(QSqlQuery& query) const
{
    query.bindValue(QStringLiteral(":product_version"), m_productVersion.toString());
    query.bindValue(QStringLiteral(":repository_version"), m_repositoryVersion.toString());
    query.bindValue(QStringLiteral(":date_created_utc"), m_dateCreatedUtc);
    query.bindValue(QStringLiteral(":generation_marker"), m_generationMarker.toString());
    query.bindValue(QStringLiteral(":generation_type"), int(m_generationType));
    query.bindValue(QStringLiteral(":full_backup_reason"), int(m_fullBackupReason));
    query.bindValue(QStringLiteral(":encryption_algorithm"), int(m_encryptionAlgorithm));
    query.bindValue(QStringLiteral(":key_size"), m_keySize);
    query.bindValue(QStringLiteral(":kdf_iterations"), m_kdfIteration);
    query.bindValue(QStringLiteral(":kdf_salt"), m_kdfSalt);
    query.bindValue(QStringLiteral(":secret_key"), m_secretKey);
    query.bindValue(QStringLiteral(":compression_algorithm"), int(m_compressionAlgorithm));
    query.bindValue(QStringLiteral(":block_size"), m_blockSize);
    query.bindValue(QStringLiteral(":params_hash"), m_paramsHash);
    query.bindValue(QStringLiteral(":platform"), int(m_platform));
}

int Metadata::insert(const QString& prefix, DatabaseConnection& connection) const
{
    const QString sql = prefixed(
        QStringLiteral("insert into %1metadata (product_version, repository_version, date_created_utc, "
                       "generation_marker, generation_type, full_backup_reason, encryption_algorithm, key_size, "
                       "kdf_iterations, kdf_salt, secret_key, compression_algorithm, block_size, params_hash, "
                       "platform) "
                       "values (:product_version, :repository_version, :date_created_utc, :generation_marker, "
                       ":generation_type, :full_backup_reason, :encryption_algorithm, :key_size, :kdf_iterations, "
                       ":kdf_salt, :secret_key, :compression_algorithm, :block_size, :params_hash, :platform)"),
        prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return Result::Error;
    Statement statement(connection, sql);
    bindFields(statement.query());
    return statement.exec();
}

int Metadata::update(QSqlQuery& query, const QString& prefix) const
{
    const QString sql = prefixed(
        QStringLiteral("update %1metadata set product_version = :product_version, repository_version = "
                       ":repository_version, date_created_utc = :date_created_utc, generation_marker = "
                       ":generation_marker, generation_type = :generation_type, full_backup_reason = "
                       ":full_backup_reason, encryption_algorithm = :encryption_algorithm, key_size = :key_size, "
                       "kdf_iterations = :kdf_iterations, kdf_salt = :kdf_salt, secret_key = :secret_key, "
                       "compression_algorithm = :compression_algorithm, block_size = :block_size, params_hash = "
                       ":params_hash, platform = :platform"),
        prefix);
    if (sql.isEmpty())
        return Result::Error;
    query.prepare(sql);
    bindFields(query);
    return ExecQuery(query).exec();
}

int Metadata::update(const QString& prefix, DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return Result::Error;
    QSqlQuery query = connection.query();
    return update(query, prefix);
}

int Metadata::update(QSqlDatabase& database) const
{
    if (!database.isOpen())
        return Result::Error;
    QSqlQuery query(database);
    return update(query, QString());
}

bool Metadata::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_productVersion = QVersionNumber::fromString(row.text(QStringLiteral("product_version")));
    m_repositoryVersion = QVersionNumber::fromString(row.text(QStringLiteral("repository_version")));
    m_dateCreatedUtc = utcDateTime(row.value(QStringLiteral("date_created_utc")));
    m_generationMarker = row.uuid(QStringLiteral("generation_marker"));
    m_generationType = KTL::Archive::GenerationType(row.i32(QStringLiteral("generation_type")));
    m_fullBackupReason = KTL::Archive::FullReason(row.i32(QStringLiteral("full_backup_reason")));
    m_encryptionAlgorithm = KTL::Core::Encryption::Algorithm(row.i32(QStringLiteral("encryption_algorithm")));
    m_keySize = row.i32(QStringLiteral("key_size"));
    m_kdfIteration = row.i32(QStringLiteral("kdf_iterations"));
    m_kdfSalt = row.bytes(QStringLiteral("kdf_salt"));
    m_secretKey = row.bytes(QStringLiteral("secret_key"));
    m_compressionAlgorithm = KTL::Core::Compression::Algorithm(row.i32(QStringLiteral("compression_algorithm")));
    m_blockSize = row.i32(QStringLiteral("block_size"));
    m_paramsHash = row.bytes(QStringLiteral("params_hash"));
    m_platform = KTL::Core::Platform::Type(row.i32(QStringLiteral("platform")));
    return true;
}

RowResult<Metadata> Metadata::select(QSqlQuery& query, const QString& statement)
{
    query.prepare(statement);
    RowResult<Metadata> result{{}, ExecQuery(query).exec()};
    if (result.second != Result::Ok)
        return result;
    QSharedPointer<Metadata> row(new Metadata());
    if (row->init(query))
        result.first = row;
    return result;
}

RowResult<Metadata> Metadata::select(QSqlDatabase& database)
{
    if (!database.isOpen())
        return {{}, Result::Error};
    QSqlQuery query(database);
    return select(query, QStringLiteral("select product_version, repository_version, date_created_utc, "
                                        "generation_marker, generation_type, full_backup_reason, "
                                        "encryption_algorithm, key_size, kdf_iterations, kdf_salt, secret_key, "
                                        "compression_algorithm, block_size, params_hash, platform from metadata "
                                        "limit 1"));
}

RowResult<Metadata> Metadata::select(const QString& prefix, DatabaseConnection& connection)
{
    const QString sql = prefixed(QStringLiteral("select product_version, repository_version, date_created_utc, "
                                                "generation_marker, generation_type, full_backup_reason, "
                                                "encryption_algorithm, key_size, kdf_iterations, kdf_salt, "
                                                "secret_key, compression_algorithm, block_size, params_hash, "
                                                "platform from %1metadata limit 1"),
                                 prefix);
    if (!connection.isOpen() || sql.isEmpty())
        return {{}, Result::Error};
    QSqlQuery query = connection.query();
    return select(query, sql);
}

}  // namespace RPX::SQL::Generation
