#include "GenerationFixture.h"

#include <rpxRepository/generation/Metadata.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using gentest::run;
using gentest::scalar;

using MetadataTest = gentest::GenerationTest;

TEST_F(MetadataTest, EveryFieldRoundTripsAndUpdateRewritesTheOneRow)
{
    DatabaseConnection connection(pool());
    ASSERT_TRUE(run(connection, "delete from metadata"));
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

    const auto fields = [](const Metadata& m) {
        return gentest::texts(m.productVersion().toString(), m.dateCreatedUtc(), m.generationMarker(),
                              int(m.generationType()), int(m.fullBackupReason()), int(m.encryptionAlgorithm()),
                              m.keySize(), m.kdfIteration(), m.kdfSalt().toHex(), m.secretKey().toHex(),
                              int(m.compressionAlgorithm()), m.blockSize(), m.paramsHash().toHex(), int(m.platform()));
    };
    const QSharedPointer<Metadata> read = Metadata::select(QString(), connection).first;
    ASSERT_FALSE(read.isNull());
    EXPECT_EQ(fields(*read), fields(written));
    EXPECT_EQ(read->repositoryVersion(), QVersionNumber(1, 0, 0));
    EXPECT_EQ(read->dateCreatedUtc().timeSpec(), Qt::UTC);

    // Update rewrites the one row.
    read->setBlockSize(512);
    ASSERT_EQ(read->update(QString(), connection), Result::Ok);
    EXPECT_EQ(Metadata::select(QString(), connection).first->blockSize(), 512);
    EXPECT_EQ(scalar(connection, "select count(*) from metadata").toInt(), 1);
}
