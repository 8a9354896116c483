#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/ArchiveTypes.h>
#include <rpxRepository/database/agent/CoreTypes.h>

#include <QByteArray>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVersionNumber>

namespace RPX::SQL::Generation {

// The single row that describes a generation database.
class Metadata
{
public:
    // Schema version of generation databases.
    static const QVersionNumber Version;

    // The agent's own version as product version, Version as repository version.
    Metadata();

    static QString createTable(const QString& prefix);
    static QStringList createIndex(const QString& prefix);
    static QStringList update(const QVersionNumber& from, const QString& prefix);

    int insert(const QString& prefix, DatabaseConnection& connection) const;
    // The table holds one row, so the update has no WHERE clause.
    int update(QSqlQuery& query, const QString& prefix) const;
    int update(const QString& prefix, DatabaseConnection& connection) const;
    int update(QSqlDatabase& database) const;
    bool init(QSqlQuery& query);

    static RowResult<Metadata> select(QSqlDatabase& database);
    static RowResult<Metadata> select(const QString& prefix, DatabaseConnection& connection);

    const QVersionNumber& productVersion() const { return m_productVersion; }
    void setProductVersion(const QVersionNumber& value) { m_productVersion = value; }
    const QVersionNumber& repositoryVersion() const { return m_repositoryVersion; }
    void setRepositoryVersion(const QVersionNumber& value) { m_repositoryVersion = value; }
    const QDateTime& dateCreatedUtc() const { return m_dateCreatedUtc; }
    void setDateCreatedUtc(const QDateTime& value) { m_dateCreatedUtc = value; }
    const QUuid& generationMarker() const { return m_generationMarker; }
    void setGenerationMarker(const QUuid& value) { m_generationMarker = value; }
    KTL::Archive::GenerationType generationType() const { return m_generationType; }
    void setGenerationType(KTL::Archive::GenerationType value) { m_generationType = value; }
    KTL::Archive::FullReason fullBackupReason() const { return m_fullBackupReason; }
    void setFullBackupReason(KTL::Archive::FullReason value) { m_fullBackupReason = value; }
    KTL::Core::Encryption::Algorithm encryptionAlgorithm() const { return m_encryptionAlgorithm; }
    void setEncryptionAlgorithm(KTL::Core::Encryption::Algorithm value) { m_encryptionAlgorithm = value; }
    int keySize() const { return m_keySize; }
    void setKeySize(int value) { m_keySize = value; }
    int kdfIteration() const { return m_kdfIteration; }
    void setKdfIteration(int value) { m_kdfIteration = value; }
    const QByteArray& kdfSalt() const { return m_kdfSalt; }
    void setKdfSalt(const QByteArray& value) { m_kdfSalt = value; }
    const QByteArray& secretKey() const { return m_secretKey; }
    void setSecretKey(const QByteArray& value) { m_secretKey = value; }
    KTL::Core::Compression::Algorithm compressionAlgorithm() const { return m_compressionAlgorithm; }
    void setCompressionAlgorithm(KTL::Core::Compression::Algorithm value) { m_compressionAlgorithm = value; }
    int blockSize() const { return m_blockSize; }
    void setBlockSize(int value) { m_blockSize = value; }
    const QByteArray& paramsHash() const { return m_paramsHash; }
    void setParamsHash(const QByteArray& value) { m_paramsHash = value; }
    KTL::Core::Platform::Type platform() const { return m_platform; }
    void setPlatform(KTL::Core::Platform::Type value) { m_platform = value; }

private:
    void bindFields(QSqlQuery& query) const;
    static RowResult<Metadata> select(QSqlQuery& query, const QString& statement);

    QVersionNumber m_productVersion;
    QVersionNumber m_repositoryVersion = Version;
    QDateTime m_dateCreatedUtc;
    QUuid m_generationMarker;
    KTL::Archive::GenerationType m_generationType = KTL::Archive::GenerationType(1000);
    KTL::Archive::FullReason m_fullBackupReason = KTL::Archive::FullReason::Unknown;
    KTL::Core::Encryption::Algorithm m_encryptionAlgorithm = KTL::Core::Encryption::Algorithm(6);
    int m_keySize = 0;
    int m_kdfIteration = 0;
    QByteArray m_kdfSalt;
    QByteArray m_secretKey;
    KTL::Core::Compression::Algorithm m_compressionAlgorithm = KTL::Core::Compression::Algorithm(0);
    int m_blockSize = 0;
    QByteArray m_paramsHash;
    KTL::Core::Platform::Type m_platform = KTL::Core::Platform::Type(3);
};

}  // namespace RPX::SQL::Generation
