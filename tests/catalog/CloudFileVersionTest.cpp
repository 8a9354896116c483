#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/Attributes.h>
#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFileVersionBitmap.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/agent/ConfigPaths.h>

#include <QDir>
#include <QFile>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using namespace filecatalog;
using rpxtest::LogCapture;

namespace {

constexpr unsigned long long Dest = 4;

CloudFileVersion versionOf(const QString& path, const QDateTime& modified, int attribute = 0, bool broken = false)
{
    CloudFileVersion version;
    version.setPath(path);
    version.setDateModified(modified);
    version.setAttribute(attribute);
    version.setIsBroken(broken);
    return version;
}

QList<QDateTime> modifiedTimes(const QList<QSharedPointer<CloudFileVersion>>& versions)
{
    QList<QDateTime> times;
    for (const auto& version : versions)
        times << version->dateModified();
    return times;
}

QDateTime modifiedOf(const QSharedPointer<CloudFileVersion>& version)
{
    return version.isNull() ? QDateTime() : version->dateModified();
}

}  // namespace

class CloudFileVersionTest : public rpxtest::RepositoryTest
{
};

TEST_P(CloudFileVersionTest, InsertRegistersItsFileOnce)
{
    TestConnection connection(pool());
    CloudFileVersion first = versionOf("/d/F.txt", utc(2024, 1, 1));
    first.setSize(10);
    ASSERT_TRUE(first.insert(Dest, connection));
    EXPECT_NE(first.id(), 0u);
    ASSERT_NE(first.fileId(), 0u);

    const auto file = CloudFile::select_(Dest, "/d/F.txt", connection);
    ASSERT_FALSE(file.isNull());
    EXPECT_EQ(file->id(), first.fileId());
    EXPECT_EQ(file->name(), "f.txt");
    EXPECT_EQ(file->displayName(), "F.txt");
    EXPECT_EQ(file->size(), 10u);
    EXPECT_EQ(file->parentId(), CloudFolder::select(Dest, "/d", connection)->id());

    // A second version finds the file and leaves it as it was.
    CloudFileVersion second = versionOf("/d/F.txt", utc(2024, 1, 2));
    second.setSize(20);
    ASSERT_TRUE(second.insert(Dest, connection));
    EXPECT_EQ(second.fileId(), first.fileId());
    EXPECT_EQ(rows(connection, "cloud_files"), 1);
    EXPECT_EQ(CloudFile::select_(Dest, "/d/F.txt", connection)->size(), 10u);
}

TEST_P(CloudFileVersionTest, FieldsRoundTripByteForByte)
{
    TestConnection connection(pool());
    const QByteArray iv("\x00\x01\xff\x00\x7f\x80\x00\x00\x10\x20\x30\x00\x00\xfe\x00\x00", 16);
    const QByteArray salt("\xff\x00\xff\x00\x27\x5c\x00\x22\x00\x00\x00\x00\x00\x00\x00\x01", 16);
    const QByteArray key = QByteArray(40, '\0') + QByteArray("\\x00'\x01", 6);
    CloudFileVersion version = versionOf("/k/key's.bin", utc(2022, 2, 28, 13, 14, 15), 3);
    version.setCloudPath(QByteArray("store/k\0junk", 12));
    version.setUploadId(QByteArray("up-1\0rest", 9));
    version.setSize(std::numeric_limits<qint64>::max());
    version.setOriginalSize(123456789012345ull);
    version.setDateBackup(utc(2022, 3, 1, 0, 0, 1));
    version.setFileNameIv(iv);
    version.setEncryptionIv(iv);
    version.setKdfsalt(salt);
    version.setEncryptionKey(key);
    version.setIsCompressed(1);
    version.setIsEncrypted(1);
    version.setIsSimple(1);
    version.setBlockLevelRevision(2147483647u);  // the column is a signed 32-bit integer on PostgreSQL
    version.setBlockLevelIsFull(true);
    EXPECT_EQ(version.versionDelimiter(), "$");
    ASSERT_TRUE(version.insert(Dest, connection));

    const auto loaded = CloudFileVersion::selectById(version.id(), connection);
    ASSERT_FALSE(loaded.isNull());
    EXPECT_EQ(loaded->fileId(), version.fileId());
    EXPECT_EQ(loaded->path(), "/k/key's.bin");
    EXPECT_EQ(loaded->cloudPath(), QByteArray("store/k"));
    EXPECT_EQ(loaded->uploadId(), QByteArray("up-1"));
    EXPECT_EQ(loaded->size(), quint64(std::numeric_limits<qint64>::max()));
    EXPECT_EQ(loaded->originalSize(), 123456789012345ull);
    EXPECT_EQ(loaded->dateModified(), utc(2022, 2, 28, 13, 14, 15));
    EXPECT_EQ(loaded->dateBackup(), utc(2022, 3, 1, 0, 0, 1));
    EXPECT_FALSE(loaded->datePurgeDelay().isValid());
    EXPECT_EQ(loaded->attribute(), 3);
    EXPECT_EQ(loaded->fileNameIv(), iv);
    EXPECT_EQ(loaded->encryptionIv(), iv);
    EXPECT_EQ(loaded->kdfsalt(), salt);
    EXPECT_EQ(loaded->encryptionKey(), key);
    EXPECT_EQ(loaded->isCompressed(), 1);
    EXPECT_EQ(loaded->isEncrypted(), 1);
    EXPECT_EQ(loaded->isSimple(), 1);
    EXPECT_FALSE(loaded->isBroken());
    EXPECT_EQ(loaded->blockLevelRevision(), 2147483647u);
    EXPECT_TRUE(loaded->blockLevelIsFull());
    EXPECT_EQ(loaded->versionDelimiter(), "$");
    EXPECT_EQ(scalar(connection, "select date_purgeddelay_utc from cloud_file_versions").toString(), "99999999999999");

    // A purge time, no backup time and no key material.
    CloudFileVersion plain = versionOf("/k/plain", utc(2022, 1, 1));
    plain.setDatePurgeDelay(utc(2030, 6, 30, 12));
    ASSERT_TRUE(plain.insert(Dest, connection));
    const auto reloaded = CloudFileVersion::selectById(plain.id(), connection);
    ASSERT_FALSE(reloaded.isNull());
    EXPECT_EQ(reloaded->datePurgeDelay(), utc(2030, 6, 30, 12));
    EXPECT_FALSE(reloaded->dateBackup().isValid());
    EXPECT_TRUE(reloaded->encryptionKey().isEmpty());
    EXPECT_TRUE(reloaded->cloudPath().isNull());
    EXPECT_FALSE(reloaded->blockLevelIsFull());
}

TEST_P(CloudFileVersionTest, LookupsByTimeKindAndRevision)
{
    TestConnection connection(pool());
    // Inserted out of order; kinds and broken flags vary.
    struct Spec { QDateTime modified; int attribute; bool broken; unsigned revision; QDateTime backup; };
    const QList<Spec> specs = {
        {utc(2024, 3, 1), 2, false, 1, utc(2024, 3, 2)},
        {utc(2023, 12, 31, 23, 59, 59), 3, false, 0, utc(2024, 1, 1)},
        {utc(2024, 6, 1), 2, true, 4, utc(2024, 6, 2)},
        {utc(2024, 1, 10), 5, false, 1, utc(2024, 1, 11)},
    };
    unsigned long long fileId = 0;
    for (const Spec& spec : specs) {
        CloudFileVersion version = versionOf("/t/f", spec.modified, spec.attribute, spec.broken);
        version.setFileId(fileId);
        version.setBlockLevelRevision(spec.revision);
        version.setDateBackup(spec.backup);
        ASSERT_TRUE(version.insert(Dest, connection));
        fileId = version.fileId();
    }

    EXPECT_EQ(modifiedTimes(CloudFileVersion::select_(fileId, connection)),
              QList<QDateTime>({utc(2023, 12, 31, 23, 59, 59), utc(2024, 1, 10), utc(2024, 3, 1), utc(2024, 6, 1)}));
    EXPECT_EQ(CloudFileVersion::selectUploaded(fileId, connection).size(), 3);
    EXPECT_EQ(modifiedTimes(CloudFileVersion::selectBackupBefore(fileId, utc(2024, 3, 2), connection)),
              QList<QDateTime>({utc(2023, 12, 31, 23, 59, 59), utc(2024, 1, 10), utc(2024, 3, 1)}));

    EXPECT_EQ(modifiedOf(CloudFileVersion::selectLastVersion(fileId, connection)), utc(2024, 6, 1));
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectLastVersionUploaded(fileId, connection)), utc(2024, 3, 1));
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectLastVersion4Attribute(fileId, 5, connection)), utc(2024, 1, 10));
    EXPECT_TRUE(CloudFileVersion::selectLastVersion4Attribute(fileId, 7, connection).isNull());

    // Point in time: equal counts, later picks the newest before it, earlier than all finds nothing.
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectPointInTime(fileId, utc(2024, 3, 1), connection)), utc(2024, 3, 1));
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectPointInTime(fileId, utc(2024, 2, 29, 23, 59, 59), connection)),
              utc(2024, 1, 10));
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectPointInTime(fileId, utc(2099, 1, 1), connection)), utc(2024, 6, 1));
    EXPECT_TRUE(CloudFileVersion::selectPointInTime(fileId, utc(2023, 12, 31, 23, 59, 58), connection).isNull());
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectPointInTimeUploaded(fileId, utc(2099, 1, 1), connection)),
              utc(2024, 3, 1));
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectPointInTime(fileId, 3, utc(2024, 5, 1), connection)),
              utc(2023, 12, 31, 23, 59, 59));

    EXPECT_EQ(modifiedOf(CloudFileVersion::selectDifferentialRevisionData(fileId, 4, connection)), utc(2024, 6, 1));
    EXPECT_EQ(modifiedOf(CloudFileVersion::selectDiskImageRevisionData(fileId, 1, connection)), utc(2024, 1, 10));
    EXPECT_TRUE(CloudFileVersion::selectRevisionData(fileId, 4, 3, connection).isNull());

    EXPECT_EQ(CloudFileVersion::getNextRevisionNumber(fileId, connection), 4);
    EXPECT_EQ(CloudFileVersion::getNextRevisionNumber(fileId + 1, connection), 0);
    EXPECT_FALSE(CloudFileVersion::isEmpty(fileId, connection));
    EXPECT_TRUE(CloudFileVersion::isEmpty(fileId + 1, connection));

    CloudFileVersion exact;
    EXPECT_FALSE(exact.select(fileId, utc(2024, 3, 1), 3, connection));
    ASSERT_TRUE(exact.select(fileId, utc(2024, 3, 1), 2, connection));
    EXPECT_EQ(exact.blockLevelRevision(), 1u);
    EXPECT_EQ(CloudFileVersion::select_(fileId, utc(2024, 3, 1), 2, connection)->id(), exact.id());
}

TEST_P(CloudFileVersionTest, UpdateFindsTheRowByFileTimeAndKind)
{
    TestConnection connection(pool());
    CloudFileVersion version = versionOf("/u/f", utc(2024, 2, 2), 1);
    version.setDatePurgeDelay(utc(2025, 1, 1));
    version.setIsSimple(1);
    ASSERT_TRUE(version.insert(Dest, connection));

    CloudFileVersion changed = version;
    changed.setCloudPath("new/place");
    changed.setSize(77);
    changed.setIsBroken(true);
    changed.setKdfsalt(QByteArray(16, '\0'));
    changed.setUploadId("u2");
    changed.setPath("/elsewhere");
    changed.setDatePurgeDelay(QDateTime());
    changed.setIsSimple(0);
    changed.setAttribute(8);
    ASSERT_TRUE(changed.update(connection));  // no row of kind 8: nothing changes
    EXPECT_EQ(CloudFileVersion::selectById(version.id(), connection)->size(), 0u);

    changed.setAttribute(1);
    ASSERT_TRUE(changed.update(connection));
    const auto loaded = CloudFileVersion::selectById(version.id(), connection);
    EXPECT_EQ(loaded->cloudPath(), QByteArray("new/place"));
    EXPECT_EQ(loaded->size(), 77u);
    EXPECT_TRUE(loaded->isBroken());
    EXPECT_EQ(loaded->kdfsalt(), QByteArray(16, '\0'));
    EXPECT_EQ(loaded->uploadId(), QByteArray("u2"));
    // Not part of the update.
    EXPECT_EQ(loaded->path(), "/u/f");
    EXPECT_EQ(loaded->datePurgeDelay(), utc(2025, 1, 1));
    EXPECT_EQ(loaded->isSimple(), 1);
}

TEST_P(CloudFileVersionTest, DeletingCascadesToBitmapFileAndFolders)
{
    TestConnection connection(pool());
    CloudFileVersion full = versionOf("/a/b/f", utc(2024, 1, 1), 3);
    ASSERT_TRUE(full.insert(Dest, connection));
    CloudFileVersion other = versionOf("/a/b/f", utc(2024, 1, 2), 1);
    ASSERT_TRUE(other.insert(Dest, connection));
    CloudFileVersion last = versionOf("/a/b/f", utc(2024, 1, 3), 1);
    ASSERT_TRUE(last.insert(Dest, connection));

    const QUuid map = QUuid::createUuid();
    const QString mapFile = RPX::Defines::AppPath::to().differentialFileMap() + '/' + map.toString();
    ASSERT_TRUE(QDir().mkpath(RPX::Defines::AppPath::to().differentialFileMap()));
    ASSERT_TRUE(QFile(mapFile).open(QIODevice::WriteOnly));
    CloudFileVersionBitmap bitmap(full.id());
    bitmap.setVersionUuid(map);
    ASSERT_TRUE(bitmap.insert(connection));
    // Only the kinds that own a bitmap look for one.
    CloudFileVersionBitmap stray(other.id());
    stray.setVersionUuid(QUuid::createUuid());
    ASSERT_TRUE(stray.insert(connection));

    LogCapture log;
    ASSERT_TRUE(full.delete_(false, connection));
    EXPECT_FALSE(QFile::exists(mapFile));
    EXPECT_FALSE(CloudFileVersionBitmap(full.id()).select(connection));
    EXPECT_TRUE(log.texts().isEmpty());

    ASSERT_TRUE(other.delete_(true, connection));
    EXPECT_TRUE(CloudFileVersionBitmap(other.id()).select(connection));
    EXPECT_EQ(log.count(QString("SQL::CloudFileVersion: it's not last file version for file: /a/b/f id: %1")
                            .arg(last.fileId())),
              1);
    EXPECT_EQ(rows(connection, "cloud_files"), 1);

    ASSERT_TRUE(last.delete_(true, connection));
    EXPECT_EQ(log.count("SQL::CloudFileVersion: it's last file version for file, remove file: /a/b/f"), 1);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 0);
    EXPECT_EQ(rows(connection, "cloud_files"), 0);
    EXPECT_EQ(rows(connection, "cloud_folders"), 0);

    // Without removeFileIfLast the file stays.
    CloudFileVersion lone = versionOf("/a/lone", utc(2024, 1, 1));
    ASSERT_TRUE(lone.insert(Dest, connection));
    ASSERT_TRUE(lone.delete_(false, connection));
    EXPECT_EQ(rows(connection, "cloud_files"), 1);
    // A version whose file row is already gone reports false.
    CloudFileVersion orphan = versionOf("/a/orphan", utc(2024, 1, 1));
    ASSERT_TRUE(orphan.insert(Dest, connection));
    ASSERT_TRUE(run(connection, QString("delete from cloud_files where id = %1").arg(orphan.fileId())));
    EXPECT_FALSE(orphan.delete_(true, connection));
}

TEST_P(CloudFileVersionTest, RefusalsRunNoStatement)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    TestConnection connection(pool());
    CloudFileVersion stored = versionOf("/r/f", utc(2024, 1, 1));
    ASSERT_TRUE(stored.insert(Dest, connection));
    // diskimage_versions refers to the versions, which PostgreSQL enforces.
    ASSERT_TRUE(
        run(connection, postgres() ? "drop table cloud_file_versions cascade" : "drop table cloud_file_versions"));
    ASSERT_TRUE(run(connection, "drop table cloud_files"));
    LogCapture log;

    for (DatabaseConnection* c : std::initializer_list<DatabaseConnection*>{&closed, &connection}) {
        EXPECT_FALSE(versionOf("", utc(2024, 1, 1)).insert(Dest, *c));
        EXPECT_FALSE(versionOf("/r/f", QDateTime()).insert(Dest, *c));
        CloudFileVersion noFile = versionOf("/r/f", utc(2024, 1, 1));
        EXPECT_FALSE(noFile.update(*c));
        EXPECT_FALSE(noFile.select(*c));
        EXPECT_FALSE(noFile.delete_(true, *c));
        CloudFileVersion noDate = stored;
        noDate.setDateModified(QDateTime());
        EXPECT_FALSE(noDate.update(*c));
        EXPECT_TRUE(CloudFileVersion::select_(stored.fileId(), QDateTime(), 0, *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectById(0, *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectLastVersion(0, *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectLastVersionUploaded(0, *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectLastVersion4Attribute(0, 1, *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectPointInTime(stored.fileId(), QDateTime(), *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectPointInTime(0, utc(2024, 1, 1), *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectPointInTimeUploaded(stored.fileId(), QDateTime(), *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectPointInTime(stored.fileId(), 0, QDateTime(), *c).isNull());
        EXPECT_TRUE(CloudFileVersion::selectDifferentialRevisionData(0, 1, *c).isNull());
        EXPECT_TRUE(CloudFileVersion::select_(0, *c).isEmpty());
        EXPECT_TRUE(CloudFileVersion::selectUploaded(0, *c).isEmpty());
        EXPECT_TRUE(CloudFileVersion::selectBackupBefore(0, utc(2024, 1, 1), *c).isEmpty());
        EXPECT_FALSE(CloudFileVersion::isEmpty(0, *c));
        EXPECT_EQ(CloudFileVersion::getNextRevisionNumber(0, *c), 0);
    }
    EXPECT_FALSE(stored.insert(Dest, closed));
    EXPECT_FALSE(stored.update(closed));
    EXPECT_FALSE(stored.delete_(true, closed));
    EXPECT_TRUE(CloudFileVersion::selectLastVersion(stored.fileId(), closed).isNull());
    EXPECT_FALSE(CloudFileVersion::isEmpty(stored.fileId(), closed));
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
}

TEST(CloudFileVersionSchema, DialectsAndKinds)
{
    const QString sqlite = CloudFileVersion::createTable(DatabaseType::SQLite);
    const QString postgres = CloudFileVersion::createTable(DatabaseType::PostgreSQL);
    EXPECT_TRUE(sqlite.contains("encryptioniv BLOB(16) default NULL"));
    EXPECT_TRUE(postgres.contains("encryptioniv bytea default NULL"));
    EXPECT_FALSE(postgres.contains("blob", Qt::CaseInsensitive));
    EXPECT_FALSE(sqlite.contains("%1"));
    // The default backup time is the moment of creation.
    const QString now = QDateTime::currentDateTimeUtc().toString("yyyyMMddhh");
    EXPECT_TRUE(sqlite.contains("date_backedup_utc numeric default " + now)) << sqlite.toStdString();
    EXPECT_TRUE(CloudFileVersion::createTable(DatabaseType(0)).isEmpty());

    using namespace RPX::SQL::Constant::Attributes;
    EXPECT_EQ(isFileBackup, QSet<int>({-1, 0, 1, 4, 8, 9}));
    EXPECT_EQ(isFileDifferentialBackup, QSet<int>({2, 3}));
    EXPECT_EQ(isDiskImageBackup, QSet<int>({5, 6, 7}));
}

RPX_ON_BOTH_ENGINES(CloudFileVersionTest);
