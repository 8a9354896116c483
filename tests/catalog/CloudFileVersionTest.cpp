#include "FileCatalogSupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFileVersionBitmap.h>
#include <rpxRepository/database/agent/ConfigPaths.h>

#include <QDir>
#include <QFile>

using namespace RPX::SQL;
using namespace filecatalog;
using rpxtest::TestConnection;

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

// Every stored field, for whole-row comparisons.
QStringList fieldsOf(const CloudFileVersion& v)
{
    auto date = [](const QDateTime& d) { return d.isValid() ? d.toString(Qt::ISODate) : QString("invalid"); };
    return {QString::number(v.id()), QString::number(v.fileId()), v.path(), v.cloudPath().toHex(),
            v.uploadId().toHex(), QString::number(v.size()), QString::number(v.originalSize()),
            date(v.dateModified()), date(v.dateBackup()), date(v.datePurgeDelay()), QString::number(v.attribute()),
            v.fileNameIv().toHex(), v.encryptionIv().toHex(), v.kdfsalt().toHex(), v.encryptionKey().toHex(),
            QStringLiteral("flags %1%2%3%4").arg(v.isCompressed()).arg(v.isEncrypted()).arg(v.isSimple()).arg(v.isBroken()),
            QString::number(v.blockLevelRevision()), QString::number(v.blockLevelIsFull()), v.versionDelimiter()};
}

}  // namespace

struct CloudFileVersionTest : rpxtest::RepositoryTest {};

// The first version registers its file with its own fields; later ones leave the file as it was.
TEST_P(CloudFileVersionTest, FieldsRoundTripByteForByteAndUpdate)
{
    TestConnection connection(pool());
    const QByteArray iv("\x00\x01\xff\x00\x7f\x80\x00\x00\x10\x20\x30\x00\x00\xfe\x00\x00", 16);
    const QByteArray salt("\xff\x00\xff\x00\x27\x5c\x00\x22\x00\x00\x00\x00\x00\x00\x00\x01", 16);
    CloudFileVersion version = versionOf("/k/Key's.bin", utc(2022, 2, 28, 13, 14, 15), 3);
    version.setCloudPath(QByteArray("store/k\0junk", 12));
    version.setUploadId("up-1");
    version.setSize(std::numeric_limits<qint64>::max());
    version.setOriginalSize(123456789012345ull);
    version.setDateBackup(utc(2022, 3, 1, 0, 0, 1));
    version.setFileNameIv(iv);
    version.setEncryptionIv(iv);
    version.setKdfsalt(salt);
    version.setEncryptionKey(QByteArray(40, '\0') + QByteArray("\\x00'\x01", 6));
    version.setIsCompressed(1);
    version.setIsEncrypted(1);
    version.setIsSimple(1);
    version.setBlockLevelRevision(2147483647u);  // the column is a signed 32-bit integer on PostgreSQL
    version.setBlockLevelIsFull(true);
    ASSERT_TRUE(version.insert(Dest, connection));

    // Text columns end at a zero byte; the purge time is stored as "not set".
    CloudFileVersion expected = version;
    expected.setCloudPath("store/k");
    auto stored = [&] { return fieldsOf(*CloudFileVersion::selectById(version.id(), connection)); };
    EXPECT_EQ(stored(), fieldsOf(expected));
    EXPECT_EQ(scalar(connection, "select date_purgeddelay_utc from cloud_file_versions").toString(), "99999999999999");

    const auto file = CloudFile::select_(Dest, "/k/Key's.bin", connection);
    ASSERT_FALSE(file.isNull());
    EXPECT_EQ(file->displayName(), "Key's.bin");
    EXPECT_EQ(file->size(), quint64(std::numeric_limits<qint64>::max()));
    CloudFileVersion later = versionOf("/k/Key's.bin", utc(2022, 4, 1));
    later.setSize(20);
    ASSERT_TRUE(later.insert(Dest, connection));
    EXPECT_EQ(later.fileId(), version.fileId());
    EXPECT_EQ(CloudFile::select_(Dest, "/k/Key's.bin", connection)->size(), file->size());

    // Update finds its row by file, time and kind; path, purge time and the simple flag are not part of it.
    CloudFileVersion changed = version;
    changed.setCloudPath("new/place");
    changed.setSize(77);
    changed.setIsBroken(true);
    changed.setPath("/elsewhere");
    changed.setDatePurgeDelay(utc(2025, 1, 1));
    changed.setIsSimple(0);
    changed.setAttribute(8);
    ASSERT_TRUE(changed.update(connection));  // no row of kind 8: nothing changes
    EXPECT_EQ(stored(), fieldsOf(expected));
    changed.setAttribute(3);
    ASSERT_TRUE(changed.update(connection));
    expected = changed;
    expected.setPath(version.path());
    expected.setDatePurgeDelay(QDateTime());
    expected.setIsSimple(1);
    EXPECT_EQ(stored(), fieldsOf(expected));
}

TEST_P(CloudFileVersionTest, LookupsByTimeKindAndRevision)
{
    TestConnection connection(pool());
    // Inserted out of order; kinds and broken flags vary; each backup a day after its change.
    const QDateTime t0 = utc(2023, 12, 31, 23, 59, 59), t1 = utc(2024, 1, 10), t2 = utc(2024, 3, 1), t3 = utc(2024, 6, 1);
    const struct { QDateTime modified; int attribute; bool broken; unsigned revision; } specs[] = {
        {t2, 2, false, 1}, {t0, 3, false, 0}, {t3, 2, true, 4}, {t1, 5, false, 1}};
    unsigned long long fileId = 0;
    for (const auto& spec : specs) {
        CloudFileVersion version = versionOf("/t/f", spec.modified, spec.attribute, spec.broken);
        version.setFileId(fileId);
        version.setBlockLevelRevision(spec.revision);
        version.setDateBackup(spec.modified.addDays(1));
        ASSERT_TRUE(version.insert(Dest, connection));
        fileId = version.fileId();
    }

    // One row per lookup and filter: broken flag, kind, time (an equal time counts) and revision.
    using Versions = QList<QSharedPointer<CloudFileVersion>>;
    const QList<QPair<Versions, QList<QDateTime>>> found = {
        {CloudFileVersion::select_(fileId, connection), {t0, t1, t2, t3}},
        {CloudFileVersion::selectUploaded(fileId, connection), {t0, t1, t2}},
        {CloudFileVersion::selectBackupBefore(fileId, t2.addDays(1), connection), {t0, t1, t2}},
        {{CloudFileVersion::selectLastVersion(fileId, connection)}, {t3}},
        {{CloudFileVersion::selectLastVersionUploaded(fileId, connection)}, {t2}},
        {{CloudFileVersion::selectLastVersion4Attribute(fileId, 5, connection)}, {t1}},
        {{CloudFileVersion::selectPointInTime(fileId, t2, connection)}, {t2}},
        {{CloudFileVersion::selectPointInTime(fileId, 3, utc(2024, 5, 1), connection)}, {t0}},
        {{CloudFileVersion::selectDifferentialRevisionData(fileId, 4, connection)}, {t3}},
        {{CloudFileVersion::selectRevisionData(fileId, 4, 3, connection)}, {{}}},
        {{CloudFileVersion::select_(fileId, t2, 3, connection)}, {{}}},
    };
    for (int i = 0; i < found.size(); ++i) {
        QList<QDateTime> times;
        for (const auto& version : found[i].first)
            times << (version ? version->dateModified() : QDateTime());
        EXPECT_EQ(times, found[i].second) << "lookup " << i;
    }

    EXPECT_EQ(CloudFileVersion::getNextRevisionNumber(fileId, connection), 4);
    EXPECT_EQ(CloudFileVersion::getNextRevisionNumber(fileId + 1, connection), 0);
    EXPECT_FALSE(CloudFileVersion::isEmpty(fileId, connection));
    EXPECT_TRUE(CloudFileVersion::isEmpty(fileId + 1, connection));
}

// The file's own removal with its last version is on the file road; here the bitmap and the flags.
TEST_P(CloudFileVersionTest, DeletingTakesTheBitmapOfDifferentialKindsOnly)
{
    TestConnection connection(pool());
    CloudFileVersion full = versionOf("/a/b/f", utc(2024, 1, 1), 3);
    ASSERT_TRUE(full.insert(Dest, connection));
    CloudFileVersion other = versionOf("/a/b/f", utc(2024, 1, 2), 1);
    ASSERT_TRUE(other.insert(Dest, connection));
    ASSERT_TRUE(versionOf("/a/b/f", utc(2024, 1, 3), 1).insert(Dest, connection));

    const QUuid map = QUuid::createUuid();
    const QString mapDir = RPX::Defines::AppPath::to().differentialFileMap(), mapFile = mapDir + '/' + map.toString();
    ASSERT_TRUE(QDir().mkpath(mapDir) && QFile(mapFile).open(QIODevice::WriteOnly));
    for (const auto& [versionId, uuid] : {qMakePair(full.id(), map), qMakePair(other.id(), QUuid::createUuid())}) {
        CloudFileVersionBitmap bitmap(versionId);
        bitmap.setVersionUuid(uuid);
        ASSERT_TRUE(bitmap.insert(connection));
    }

    ASSERT_TRUE(full.delete_(false, connection));
    EXPECT_FALSE(QFile::exists(mapFile));
    EXPECT_FALSE(CloudFileVersionBitmap(full.id()).select(connection));
    ASSERT_TRUE(other.delete_(true, connection));
    EXPECT_TRUE(CloudFileVersionBitmap(other.id()).select(connection));

    // Without removeFileIfLast the file stays; a version whose file row is already gone reports false.
    CloudFileVersion lone = versionOf("/a/lone", utc(2024, 1, 1));
    ASSERT_TRUE(lone.insert(Dest, connection));
    ASSERT_TRUE(lone.delete_(false, connection));
    EXPECT_EQ(rows(connection, "cloud_files"), 2);
    CloudFileVersion orphan = versionOf("/a/orphan", utc(2024, 1, 1));
    ASSERT_TRUE(orphan.insert(Dest, connection));
    ASSERT_TRUE(run(connection, QString("delete from cloud_files where id = %1").arg(orphan.fileId())));
    EXPECT_FALSE(orphan.delete_(true, connection));
}

RPX_ON_BOTH_ENGINES(CloudFileVersionTest);
