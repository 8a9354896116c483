#include "FileCatalogSupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/agent/Identity.h>

#include <QJsonObject>

using namespace RPX::SQL;
using namespace filecatalog;
using rpxtest::ScopedEnv;
using rpxtest::TestConnection;

namespace {

const QStringList Refused{"unset", "unset", "unset", "unset"};

// Account id, prefix, container and cloud type; Refused when SearchParams refuses, as a refusal
// must leave its outputs alone.
QStringList identityOf(const QJsonObject& settings)
{
    QStringList out = Refused;
    if (!Destination::SearchParams(settings, out[0], out[1], out[2], out[3])) {
        EXPECT_EQ(out, Refused);
    }
    return out;
}

const QJsonObject S3{{"AccountType", "AmazonS3"}, {"AccessKey", "AKIA1"}, {"ContainerName", "bucket"},
                     {"BackupPrefix", "pc1"}};

}  // namespace

TEST(DestinationSearchParams, DerivesTheIdentityOfEveryKindAndRefusesOddInput)
{
    ScopedEnv edition("RPX_VRO", "");
    const QJsonObject common{{"BackupPrefix", "pc1"}, {"Path", "/backup/"}, {"ContainerName", "box"},
                             {"AccessKey", "AK"}, {"StorageId", "SID"}, {"ContainerId", "CID"},
                             {"UserName", "storageacct"}, {"Endpoint", "https://identity.example/v2.0"},
                             {"User", "bob"}};
    const struct
    {
        const char* type;
        QStringList expected;
    } cases[] = {
        {"FileSystem", {"RPX_FS", "/backup//RPX_pc1", "Local", "FileSystem"}},
        {"Sftp", {"bob", "/backup/RPX_pc1", "Sftp", "Sftp"}},
        {"AmazonS3", {"AK", "pc1", "box", "Standalone"}},
        // The two ends of the S3-compatible range.
        {"S3Compatible", {"AK", "pc1", "box", "Standalone"}},
        {"Impossible Cloud", {"AK", "pc1", "box", "Standalone"}},
        {"AzureBlob", {"K8vRkBOk3oW3jg62RiQ5sQ==", "pc1", "box", "Standalone_Azure"}},
        {"Openstack", {"Cq2OLbDKGQ3ZzqiXP5CYsQ==", "pc1", "box", "Standalone_RackSpace"}},
        {"GoogleStorage", {"SID", "pc1", "box", "Standalone_GOOGLE"}},
        {"BackBlaze", {"SID", "pc1", "CID", "Standalone_BackBlaze"}},
    };
    for (const auto& c : cases) {
        QJsonObject settings = common;
        settings.insert("AccountType", c.type);
        EXPECT_EQ(identityOf(settings), c.expected) << c.type;
    }

    // Type names are matched exactly; some are known to the other edition only.
    for (const char* type : {"Wasabi Stage", "VRO_CLOUD", "amazons3", ""})
        EXPECT_EQ(identityOf({{"AccountType", type}, {"AccessKey", "AK"}}), Refused) << type;

    // A trailing run of separators is cut before the prefix is added.
    EXPECT_EQ(identityOf({{"AccountType", "Sftp"}, {"Path", "///"}, {"BackupPrefix", "x"}})[1], "/RPX_x");
    // Placeholder-like text in a path is taken literally.
    EXPECT_EQ(identityOf({{"AccountType", "FileSystem"}, {"Path", "C:\\%1%2"}, {"BackupPrefix", "%1"}})[1],
              "C:\\%1%2/RPX_%1");
    // Text the database would not give back unchanged gives no identity.
    const QString zero = QStringLiteral("/u") + QChar(0) + QStringLiteral("x");
    EXPECT_EQ(identityOf({{"AccountType", "Sftp"}, {"Path", zero}, {"BackupPrefix", "x"}}), Refused);
}

TEST(DestinationSearchParams, VroEdition)
{
    ScopedEnv edition("RPX_VRO", "1");
    ASSERT_TRUE(SHARED::defines::common::is_vro());
    EXPECT_EQ(identityOf({{"AccountType", "FileSystem"}, {"Path", "/mnt/"}, {"BackupPrefix", "pc"}}),
              QStringList({"RPX_FS", "/mnt//RPX_pc", "Local", "FileSystem"}));
    // Any other type, even one unknown outside this edition, is a VRO account.
    EXPECT_EQ(identityOf({{"AccountType", "Nimbus"}, {"AccountId", "acc"}, {"FolderPath", "f/1"},
                          {"ContainerName", "c"}, {"BackupPrefix", "pc"}}),
              QStringList({"acc-f/1", "pc", "c", "VRO"}));
    EXPECT_EQ(identityOf({{"AccountType", "AmazonS3"}}),
              QStringList({"-", KTL::Network::ComputerName::name(), "", "VRO"}));
}

struct DestinationTest : rpxtest::RepositoryTest {};

TEST_P(DestinationTest, SelectOrInsertFindsTheStoredRowExactly)
{
    TestConnection connection(pool());
    const auto created = Destination::selectOrInsert(S3, connection);
    ASSERT_TRUE(created);
    EXPECT_TRUE(created->needSync());
    const auto again = Destination::selectOrInsert(S3, connection);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->id(), created->id());
    EXPECT_EQ(QStringList({again->accountId(), again->prefix(), again->container(), again->cloudType()}),
              QStringList({"AKIA1", "pc1", "bucket", "Standalone"}));

    // Missing keys are stored as empty text, so such an account is found again as well.
    const QJsonObject sparse{{"AccountType", "Minio"}};
    const auto first = Destination::selectOrInsert(sparse, connection);
    ASSERT_TRUE(first);
    EXPECT_EQ(Destination::selectOrInsert(sparse, connection)->id(), first->id());
    EXPECT_FALSE(Destination::selectOrInsert({{"AccountType", "VRO_CLOUD"}}, connection));
    EXPECT_EQ(Destination::select(connection).size(), 2);

    // Identity text is compared exactly: with case, "_" as itself.
    const QString key = QString::fromUtf8("it's_%[x]\\ü");
    const auto odd = Destination::selectOrInsert({{"AccountType", "AmazonS3"}, {"AccessKey", key},
                                                  {"BackupPrefix", "PreXfix"}}, connection);
    ASSERT_TRUE(odd);
    EXPECT_EQ(Destination::select(key, "PreXfix", "", "Standalone", connection)->id(), odd->id());
    EXPECT_FALSE(Destination::select(key, "Pre_fix", "", "Standalone", connection));
    EXPECT_FALSE(Destination::select(key, "prexfix", "", "Standalone", connection));

    ASSERT_TRUE(run(connection, QString("update destination set last_sync_time_utc = '20240131235907' where id = %1")
                                    .arg(odd->id())));
    const auto synced = Destination::select(odd->id(), connection);
    ASSERT_TRUE(synced);
    EXPECT_EQ(synced->lastSyncTime(), utc(2024, 1, 31, 23, 59, 7));
    EXPECT_FALSE(Destination::select(odd->id() + 1, connection));
}

TEST_P(DestinationTest, RacingRegistrationsLeaveOneRow)
{
    DatabaseConnection winner(pool()), loser(pool());
    ASSERT_FALSE(Destination::select(S3, loser));
    ASSERT_TRUE(Destination::selectOrInsert(S3, winner));
    // The loser's insert, as its selectOrInsert would issue it after finding nothing.
    Destination late;
    late.setAccountId("AKIA1");
    late.setPrefix("pc1");
    late.setContainer("bucket");
    late.setCloudType("Standalone");
    EXPECT_FALSE(late.insert(loser));
    EXPECT_EQ(late.id(), 0u);
    ASSERT_TRUE(Destination::selectOrInsert(S3, loser));
    EXPECT_EQ(rows(winner, "destination"), 1);
}

TEST_P(DestinationTest, StatisticsCountVersionsFoldersAndSpace)
{
    if (postgres() && rpxtest::inCallerTransaction())
        GTEST_SKIP() << "fails statements on purpose, which on PostgreSQL ends the caller's transaction";
    TestConnection connection(pool());
    auto mine = Destination::selectOrInsert(S3, connection);
    auto other = Destination::selectOrInsert({{"AccountType", "Minio"}}, connection);
    ASSERT_TRUE(mine && other);
    EXPECT_EQ(mine->spaceUsed(connection), 0);

    // Sums beyond 2^53 must stay exact.
    const QString files = "insert into cloud_files (id, destination_id, local_path) values ";
    ASSERT_TRUE(run(connection, files + QString("(1, %1, '/f1'), (2, %1, '/f2'), (3, %2, '/f3')")
                                            .arg(mine->id()).arg(other->id())));
    ASSERT_TRUE(run(connection, "insert into cloud_file_versions (id, file_id, size) values "
                                "(100, 1, 9007199254740993), (101, 1, 2), (200, 2, 5), (300, 3, 1000)"));
    ASSERT_TRUE(CloudFolder::selectOrInsert(mine->id(), "/a/b", connection));
    ASSERT_TRUE(CloudFolder::selectOrInsert(other->id(), "/a", connection));
    const quint64 folder = CloudFolder::select(mine->id(), "/a", connection)->id();
    ASSERT_TRUE(run(connection, QStringLiteral("insert into archive_bunches (id, folder_id, display_name, type, "
                                               "destination_id) values (7, %1, 'b', 0, %2)").arg(folder).arg(mine->id())));
    ASSERT_TRUE(run(connection, "insert into archive_generations (id, bunch_id, marker, number, uploaded_files_size) "
                                "values (1, 7, 'm1', 1, 40), (2, 7, 'm2', 2, 0), (3, 7, 'm3', 3, NULL), "
                                "(4, 7, 'm4', 4, 60)"));
    EXPECT_EQ(mine->spaceUsed(connection), 9007199254741000 + 100);

    ASSERT_TRUE(mine->updateStatistic(connection));
    const auto stored = Destination::select(mine->id(), connection);
    for (const auto& d : {mine, stored})
        EXPECT_EQ(QList<quint64>({quint64(d->fileCount()), quint64(d->folderCount()), d->usedSpace()}),
                  QList<quint64>({3, 3, 9007199254741100u}));

    // A failed update keeps the values the object had.
    ASSERT_TRUE(run(connection, "alter table destination rename to destination_gone"));
    ASSERT_TRUE(run(connection, files + QString("(4, %1, '/f4')").arg(mine->id())));
    EXPECT_FALSE(mine->updateStatistic(connection));
    EXPECT_EQ(mine->fileCount(), 3);

    // A partial total is never reported.
    ASSERT_TRUE(run(connection, postgres() ? "drop table archive_generations cascade" : "drop table archive_generations"));
    EXPECT_EQ(mine->spaceUsed(connection), 0);
}

RPX_ON_BOTH_ENGINES(DestinationTest);
