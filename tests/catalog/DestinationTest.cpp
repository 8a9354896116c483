#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/agent/Identity.h>

#include <QJsonObject>
#include <QSqlQuery>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using rpxtest::LogCapture;
using rpxtest::ScopedEnv;

namespace {

struct Identity
{
    QString accountId, prefix, container, cloudType;
};

// Outputs start as markers so that a refusal can be seen to leave them alone.
bool identityOf(const QJsonObject& settings, Identity& out)
{
    out = {"unset", "unset", "unset", "unset"};
    return Destination::SearchParams(settings, out.accountId, out.prefix, out.container, out.cloudType);
}

bool run(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql);
}

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

const QJsonObject S3{{"AccountType", "AmazonS3"}, {"AccessKey", "AKIA1"}, {"ContainerName", "bucket"},
                     {"BackupPrefix", "pc1"}};

}  // namespace

TEST(DestinationSearchParams, DerivesTheIdentityOfEveryKind)
{
    ScopedEnv edition("RPX_VRO", "");
    const QJsonObject common{{"BackupPrefix", "pc1"}, {"Path", "/backup/"}, {"ContainerName", "box"},
                             {"AccessKey", "AK"}, {"StorageId", "SID"}, {"ContainerId", "CID"},
                             {"UserName", "storageacct"}, {"Endpoint", "https://identity.example/v2.0"},
                             {"User", "bob"}};
    const struct
    {
        const char* type;
        Identity expected;
    } cases[] = {
        {"FileSystem", {"RPX_FS", "/backup//RPX_pc1", "Local", "FileSystem"}},
        {"Sftp", {"bob", "/backup/RPX_pc1", "Sftp", "Sftp"}},
        {"AmazonS3", {"AK", "pc1", "box", "Standalone"}},
        {"S3Compatible", {"AK", "pc1", "box", "Standalone"}},
        {"Impossible Cloud", {"AK", "pc1", "box", "Standalone"}},
        {"AmazonS3GovCloud", {"AK", "pc1", "box", "Standalone"}},
        {"AzureBlob", {"K8vRkBOk3oW3jg62RiQ5sQ==", "pc1", "box", "Standalone_Azure"}},
        {"Openstack", {"Cq2OLbDKGQ3ZzqiXP5CYsQ==", "pc1", "box", "Standalone_RackSpace"}},
        {"HPHelion", {"Cq2OLbDKGQ3ZzqiXP5CYsQ==", "pc1", "box", "Standalone_RackSpace"}},
        {"GoogleStorage", {"SID", "pc1", "box", "Standalone_GOOGLE"}},
        {"BackBlaze", {"SID", "pc1", "CID", "Standalone_BackBlaze"}},
    };
    for (const auto& c : cases) {
        QJsonObject settings = common;
        settings.insert("AccountType", c.type);
        Identity got;
        ASSERT_TRUE(identityOf(settings, got)) << c.type;
        EXPECT_EQ(got.accountId, c.expected.accountId) << c.type;
        EXPECT_EQ(got.prefix, c.expected.prefix) << c.type;
        EXPECT_EQ(got.container, c.expected.container) << c.type;
        EXPECT_EQ(got.cloudType, c.expected.cloudType) << c.type;
    }
}

TEST(DestinationSearchParams, OddInputsOutsideTheVroEdition)
{
    ScopedEnv edition("RPX_VRO", "");
    Identity got;
    for (const char* type : {"Wasabi Stage", "VRO_CLOUD", "amazons3", "Nimbus", ""}) {
        EXPECT_FALSE(identityOf({{"AccountType", type}, {"AccessKey", "AK"}}, got)) << type;
        EXPECT_EQ(got.accountId, "unset");
        EXPECT_EQ(got.cloudType, "unset");
    }
    EXPECT_FALSE(identityOf({}, got));

    // Missing keys read as empty text: the digest of nothing, an empty prefix kept.
    ASSERT_TRUE(identityOf({{"AccountType", "AzureBlob"}}, got));
    EXPECT_EQ(got.accountId, "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(got.prefix, "");
    ASSERT_TRUE(identityOf({{"AccountType", "Sftp"}, {"Path", "///"}, {"BackupPrefix", "x"}}, got));
    EXPECT_EQ(got.prefix, "/RPX_x");
    // Placeholder-like text in a path is taken literally.
    ASSERT_TRUE(identityOf({{"AccountType", "FileSystem"}, {"Path", "C:\\%1%2"}, {"BackupPrefix", "%1"}}, got));
    EXPECT_EQ(got.prefix, "C:\\%1%2/RPX_%1");
    // A zero character cannot be stored as text and found again: no identity.
    const QString zero = QStringLiteral("/u") + QChar(0) + QStringLiteral("x");
    EXPECT_FALSE(identityOf({{"AccountType", "Sftp"}, {"Path", zero}, {"BackupPrefix", "x"}}, got));
    EXPECT_EQ(got.prefix, "unset");
    const QString loneSurrogate = QStringLiteral("pc") + QChar(0xD800);
    EXPECT_FALSE(identityOf({{"AccountType", "AmazonS3"}, {"BackupPrefix", loneSurrogate}}, got));
    EXPECT_FALSE(identityOf({{"AccountType", "AmazonS3"}, {"AccessKey", QString(QChar(0xFFFF))}}, got));
}

TEST(DestinationSearchParams, VroEdition)
{
    ScopedEnv edition("RPX_VRO", "1");
    ASSERT_TRUE(SHARED::defines::common::is_vro());
    Identity got;
    ASSERT_TRUE(identityOf({{"AccountType", "FileSystem"}, {"Path", "/mnt/"}, {"BackupPrefix", "pc"}}, got));
    EXPECT_EQ(got.accountId, "RPX_FS");
    EXPECT_EQ(got.prefix, "/mnt//RPX_pc");
    EXPECT_EQ(got.cloudType, "FileSystem");

    // Any other type, even one unknown outside this edition, is a VRO account.
    ASSERT_TRUE(identityOf({{"AccountType", "Nimbus"}, {"AccountId", "acc"}, {"FolderPath", "f/1"},
                            {"ContainerName", "c"}, {"BackupPrefix", "pc"}},
                           got));
    EXPECT_EQ(got.accountId, "acc-f/1");
    EXPECT_EQ(got.prefix, "pc");
    EXPECT_EQ(got.container, "c");
    EXPECT_EQ(got.cloudType, "VRO");
    ASSERT_TRUE(identityOf({{"AccountType", "AmazonS3"}}, got));
    EXPECT_EQ(got.accountId, "-");
    EXPECT_EQ(got.prefix, KTL::Network::ComputerName::name());
}

class DestinationTest : public rpxtest::RepositoryTest
{
protected:
    // Plain rows in the tables of files and versions: version sizes per file.
    void addFile(DatabaseConnection& connection, quint64 destinationId, quint64 fileId, const QStringList& sizes)
    {
        ASSERT_TRUE(run(connection, QStringLiteral("insert into cloud_files (id, destination_id, local_path) "
                                                   "values (%1, %2, '/f%1')")
                                        .arg(fileId)
                                        .arg(destinationId)));
        for (int i = 0; i < sizes.size(); ++i)
            ASSERT_TRUE(run(connection, QStringLiteral("insert into cloud_file_versions (id, file_id, size) values "
                                                       "(%1, %2, %3)")
                                            .arg(fileId * 100 + quint64(i))
                                            .arg(fileId)
                                            .arg(sizes.at(i))));
    }
};

TEST_P(DestinationTest, SelectOrInsertFindsTheStoredRow)
{
    TestConnection connection(pool());
    LogCapture log;
    const auto created = Destination::selectOrInsert(S3, connection);
    ASSERT_TRUE(created);
    EXPECT_NE(created->id(), 0u);
    EXPECT_EQ(log.count("SQL::Destination: Insert new destination to DB"), 1);
    EXPECT_TRUE(created->needSync());

    log.clear();
    const auto again = Destination::selectOrInsert(S3, connection);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->id(), created->id());
    EXPECT_EQ(again->accountId(), "AKIA1");
    EXPECT_EQ(again->container(), "bucket");
    EXPECT_EQ(again->prefix(), "pc1");
    EXPECT_EQ(again->cloudType(), "Standalone");
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();

    // Missing keys are stored as empty text, so such an account is found again as well.
    const QJsonObject sparse{{"AccountType", "Minio"}};
    const auto first = Destination::selectOrInsert(sparse, connection);
    ASSERT_TRUE(first);
    EXPECT_EQ(Destination::selectOrInsert(sparse, connection)->id(), first->id());
    EXPECT_EQ(Destination::select(sparse, connection)->id(), first->id());
    EXPECT_EQ(Destination::select(connection).size(), 2);

    EXPECT_FALSE(Destination::selectOrInsert({{"AccountType", "VRO_CLOUD"}}, connection));
    EXPECT_FALSE(Destination::selectOrInsert({}, connection));
    EXPECT_FALSE(Destination::select(QJsonObject(), connection));
    EXPECT_EQ(scalar(connection, "select count(*) from destination").toInt(), 2);
}

TEST_P(DestinationTest, IdentityTextIsMatchedExactly)
{
    TestConnection connection(pool());
    Destination odd;
    odd.setAccountId(QStringLiteral("it's_%[x]\\ü"));
    odd.setPrefix(QStringLiteral("Pre_fix"));
    odd.setContainer(QStringLiteral("c"));
    odd.setCloudType(QStringLiteral("Sftp"));
    ASSERT_TRUE(odd.insert(connection));

    const auto found = Destination::select(odd.accountId(), "Pre_fix", "c", "Sftp", connection);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id(), odd.id());
    EXPECT_EQ(found->accountId(), odd.accountId());
    EXPECT_FALSE(Destination::select(odd.accountId(), "PreXfix", "c", "Sftp", connection));
    EXPECT_FALSE(Destination::select(odd.accountId(), "pre_fix", "c", "Sftp", connection));

    ASSERT_TRUE(run(connection, QStringLiteral("update destination set last_sync_time_utc = '20240131235907'")));
    const auto synced = Destination::select(odd.id(), connection);
    ASSERT_TRUE(synced);
    EXPECT_FALSE(synced->needSync());
    EXPECT_EQ(synced->lastSyncTime(), QDateTime(QDate(2024, 1, 31), QTime(23, 59, 7), Qt::UTC));
    EXPECT_FALSE(Destination::select(odd.id() + 1, connection));
}

TEST_P(DestinationTest, RacingRegistrationsLeaveOneRow)
{
    DatabaseConnection winner(pool());
    DatabaseConnection loser(pool());
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
    EXPECT_EQ(scalar(winner, "select count(*) from destination").toInt(), 1);
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
    addFile(connection, mine->id(), 1, {"9007199254740993", "2"});
    addFile(connection, mine->id(), 2, {"5"});
    addFile(connection, other->id(), 3, {"1000"});
    ASSERT_TRUE(CloudFolder::selectOrInsert(mine->id(), "/a/b", connection));
    ASSERT_TRUE(CloudFolder::selectOrInsert(other->id(), "/a", connection));

    EXPECT_EQ(mine->filesCount(connection), 3);
    EXPECT_EQ(mine->foldersCount(connection), 3);
    const quint64 folder = CloudFolder::select(mine->id(), "/a", connection)->id();
    ASSERT_TRUE(run(connection, QStringLiteral("insert into archive_bunches (id, folder_id, display_name, type, "
                                               "destination_id) values (7, %1, 'b', 0, %2)")
                                    .arg(folder)
                                    .arg(mine->id())));
    ASSERT_TRUE(run(connection, "insert into archive_generations (id, bunch_id, marker, number, uploaded_files_size) "
                                "values (1, 7, 'm1', 1, 40), (2, 7, 'm2', 2, 0), (3, 7, 'm3', 3, NULL), "
                                "(4, 7, 'm4', 4, 60)"));
    EXPECT_EQ(mine->spaceUsed(connection), 9007199254741000 + 100);

    ASSERT_TRUE(mine->updateStatistic(connection));
    EXPECT_EQ(mine->fileCount(), 3);
    EXPECT_EQ(mine->folderCount(), 3);
    const auto stored = Destination::select(mine->id(), connection);
    EXPECT_EQ(stored->fileCount(), 3);
    EXPECT_EQ(stored->folderCount(), 3);
    EXPECT_EQ(mine->usedSpace(), 9007199254741100u);
    EXPECT_EQ(stored->usedSpace(), mine->usedSpace());

    // A failed update keeps the values the object had.
    ASSERT_TRUE(run(connection, "alter table destination rename to destination_gone"));
    addFile(connection, mine->id(), 4, {"1"});
    EXPECT_FALSE(mine->updateStatistic(connection));
    EXPECT_EQ(mine->fileCount(), 3);

    // A partial total is never reported.
    ASSERT_TRUE(run(connection, postgres() ? "drop table archive_generations cascade" : "drop table archive_generations"));
    EXPECT_EQ(mine->spaceUsed(connection), 0);
}

TEST_P(DestinationTest, RefusesWithoutConnectionOrId)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    TestConnection connection(pool());
    // Any statement would fail and be logged now.
    for (const char* table : {"destination", "cloud_folders", "cloud_files", "cloud_file_versions"})
        ASSERT_TRUE(run(connection, QStringLiteral("drop table %1%2").arg(table, postgres() ? " cascade" : "")));
    LogCapture log;
    Destination unsaved;
    EXPECT_EQ(unsaved.filesCount(connection), 0);
    EXPECT_EQ(unsaved.foldersCount(connection), 0);
    EXPECT_EQ(unsaved.spaceUsed(connection), 0);

    Destination d;
    d.setAccountId("a");
    EXPECT_FALSE(d.insert(closed));
    EXPECT_FALSE(Destination::selectOrInsert(S3, closed));
    EXPECT_FALSE(Destination::select(S3, closed));
    EXPECT_FALSE(Destination::select(1, closed));
    EXPECT_FALSE(Destination::select("a", "b", "c", "d", closed));
    EXPECT_TRUE(Destination::select(closed).isEmpty());
    EXPECT_FALSE(d.updateStatistic(closed));
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
}

RPX_ON_BOTH_ENGINES(DestinationTest);
