#include "GenerationFixture.h"

#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/Metadata.h>

#include <QSqlDatabase>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::run;
using gentest::scalar;

namespace {

class MetadataTest : public gentest::GenerationTest
{
};

}  // namespace

TEST_F(MetadataTest, EveryFieldIsWrittenAndReadBack)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(run(connection, QStringLiteral("delete from metadata")));
    EXPECT_EQ(Metadata::select(QString(), connection), RowResult<Metadata>({}, Result::Ok));

    Metadata written;
    written.setProductVersion(QVersionNumber({7, 1, 2, 3}));
    written.setDateCreatedUtc(QDateTime(QDate(2023, 12, 31), QTime(23, 59, 58, 250), Qt::UTC));
    written.setGenerationMarker(QUuid::createUuid());
    written.setGenerationType(KTL::Archive::GenerationType(2));
    written.setFullBackupReason(KTL::Archive::FullReason::DeduplicationDatabaseMissing);
    written.setEncryptionAlgorithm(KTL::Core::Encryption::Algorithm(1));
    written.setKeySize(256);
    written.setKdfIteration(100000);
    written.setKdfSalt(QByteArray::fromHex("0001020300"));
    written.setSecretKey(QByteArray("\x00key\x00", 5));
    written.setCompressionAlgorithm(KTL::Core::Compression::Algorithm(2));
    written.setBlockSize(4096);
    written.setParamsHash(QByteArray::fromHex("abcdef"));
    written.setPlatform(KTL::Core::Platform::Type(1));
    ASSERT_EQ(written.insert(QString(), connection), Result::Ok);

    const QSharedPointer<Metadata> read = Metadata::select(QString(), connection).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(read->productVersion(), written.productVersion());
    EXPECT_EQ(read->repositoryVersion(), QVersionNumber(1, 0, 0));
    EXPECT_EQ(read->dateCreatedUtc(), written.dateCreatedUtc());
    EXPECT_EQ(read->dateCreatedUtc().timeSpec(), Qt::UTC);
    EXPECT_EQ(read->generationMarker(), written.generationMarker());
    EXPECT_EQ(read->generationType(), written.generationType());
    EXPECT_EQ(read->fullBackupReason(), written.fullBackupReason());
    EXPECT_EQ(read->encryptionAlgorithm(), written.encryptionAlgorithm());
    EXPECT_EQ(read->keySize(), 256);
    EXPECT_EQ(read->kdfIteration(), 100000);
    EXPECT_EQ(read->kdfSalt(), written.kdfSalt());
    EXPECT_EQ(read->secretKey(), written.secretKey());
    EXPECT_EQ(read->compressionAlgorithm(), written.compressionAlgorithm());
    EXPECT_EQ(read->blockSize(), 4096);
    EXPECT_EQ(read->paramsHash(), written.paramsHash());
    EXPECT_EQ(read->platform(), written.platform());
    EXPECT_EQ(scalar(connection, QStringLiteral("select generation_marker from metadata")).toString(),
              written.generationMarker().toString());
}

TEST_F(MetadataTest, UpdateRewritesTheOneRowAndRefusesClosedDatabasesAndBadPrefixes)
{
    DatabaseConnection connection(pool());
    QSharedPointer<Metadata> metadata = Metadata::select(QString(), connection).first;
    ASSERT_FALSE(metadata.isNull());
    metadata->setBlockSize(512);
    ASSERT_EQ(metadata->update(QString(), connection), Result::Ok);
    EXPECT_EQ(Metadata::select(QString(), connection).first->blockSize(), 512);

    QSqlDatabase database = connection.database();
    metadata->setBlockSize(1024);
    ASSERT_EQ(metadata->update(database), Result::Ok);
    const RowResult<Metadata> read = Metadata::select(database);
    ASSERT_FALSE(read.first.isNull());
    EXPECT_EQ(read.first->blockSize(), 1024);
    EXPECT_EQ(read.first->generationMarker(), m_marker);

    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    QSqlDatabase closedDatabase;
    metadata->setBlockSize(77);
    EXPECT_EQ(metadata->insert(QString(), closed), Result::Error);
    EXPECT_EQ(metadata->update(QString(), closed), Result::Error);
    EXPECT_EQ(metadata->update(closedDatabase), Result::Error);
    EXPECT_EQ(Metadata::select(closedDatabase), RowResult<Metadata>({}, Result::Error));
    EXPECT_EQ(Metadata::select(QString(), closed), RowResult<Metadata>({}, Result::Error));
    EXPECT_EQ(metadata->update(QStringLiteral("main; drop table metadata"), connection), Result::Error);
    EXPECT_TRUE(Metadata::createTable(QStringLiteral("a.b")).isEmpty());
    EXPECT_EQ(scalar(connection, QStringLiteral("select block_size from metadata")).toInt(), 1024);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
}
