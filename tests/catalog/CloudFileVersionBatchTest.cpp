#include "FileCatalogSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/ExecQuery.h>

#include <QRegularExpression>
#include <QSqlRecord>

using namespace RPX::SQL;
using namespace filecatalog;
using rpxtest::TestConnection;

namespace {

constexpr unsigned long long OneByOne = 1;  // destination registered through insert()
constexpr unsigned long long Batched = 2;   // the same through insertBatch()

CloudFileVersion versionOf(const QString& path, const QDateTime& modified, unsigned long long fileId = 0)
{
    CloudFileVersion version;
    version.setPath(path);
    version.setDateModified(modified);
    version.setFileId(fileId);
    version.setCloudPath("store/" + path.toUtf8().toHex().right(12));
    return version;
}

// Every row of a query with the columns named in `skip` left out and `extra` (a column's value
// turned into something comparable across destinations) appended; sorted.
template <class Extra>
QStringList rowsOf(DatabaseConnection& connection, const QString& sql, const QStringList& skip, Extra extra)
{
    QSqlQuery query = connection.query();
    EXPECT_TRUE(query.exec(sql)) << sql.toStdString();
    QStringList rows;
    while (query.next()) {
        const QSqlRecord record = query.record();
        QStringList fields;
        for (int i = 0; i < record.count(); ++i) {
            if (!skip.contains(record.fieldName(i)))
                fields << record.fieldName(i) + QLatin1Char('=') +
                              (record.isNull(i) ? QStringLiteral("NULL") : record.value(i).toString());
        }
        fields << extra(record);
        rows << fields.join(QLatin1Char('|'));
    }
    rows.sort();
    return rows;
}

// The catalog of one destination, column by column, ids replaced by the paths they stand for.
QStringList catalogOf(unsigned long long destination, DatabaseConnection& connection)
{
    const QString id = QString::number(destination);
    const auto folderPath = [&](const QSqlRecord& record) {
        return CloudFolder::selectPath(record.value(QStringLiteral("parent_id")).toULongLong(), connection);
    };
    QStringList catalog = rowsOf(connection, "select * from cloud_folders where destination_id = " + id,
                                 {"id", "parent_id", "destination_id"}, folderPath);
    catalog << rowsOf(connection, "select * from cloud_files where destination_id = " + id,
                      {"id", "parent_id", "destination_id"}, folderPath);
    catalog << rowsOf(connection,
                      "select v.*, f.local_path as file_path from cloud_file_versions v join cloud_files f on "
                      "f.id = v.file_id where f.destination_id = " + id,
                      {"id", "file_id"}, [](const QSqlRecord&) { return QString(); });
    return catalog;
}

}  // namespace

struct CloudFileVersionBatchTest : rpxtest::RepositoryTest {};

// A mix of new files, existing files, one path twice, versions of known files, deep and shallow
// paths and non-ASCII names gives the catalog that insert() gives one version after the other.
TEST_P(CloudFileVersionBatchTest, BatchBuildsTheCatalogOfOneByOneInserts)
{
    TestConnection connection(pool());
    const QDateTime day = utc(2024, 5, 1, 8, 30);
    QHash<unsigned long long, unsigned long long> knownFile;  // by destination
    for (const unsigned long long destination : {OneByOne, Batched}) {
        for (const QString& path : {QStringLiteral("/data/old/kept.txt"), QStringLiteral("/data/old/\"q\" \\b,{}.txt"),
                                    QStringLiteral("/data/old/other.txt")}) {
            CloudFileVersion first = versionOf(path, day.addDays(-30));
            ASSERT_TRUE(first.insert(destination, connection));
            knownFile[destination] = first.fileId();
        }
    }

    const auto batchFor = [&](unsigned long long destination) {
        QVector<CloudFileVersion> batch;
        CloudFileVersion full = versionOf("/a/b/c/d/e/f/g/deep.bin", day);
        full.setCloudPath(QByteArray("objects/x\0tail", 14));
        full.setUploadId("upload-1");
        full.setSize(std::numeric_limits<qint64>::max());
        full.setOriginalSize(77);
        full.setDatePurgeDelay(day.addDays(90));
        full.setDateBackup(day.addSecs(60));
        full.setAttribute(3);
        full.setIsCompressed(1);
        full.setIsEncrypted(-1);
        full.setIsSimple(1);
        full.setIsBroken(true);
        full.setFileNameIv(QByteArray("\x00\x01\xff", 3));
        full.setEncryptionIv(QByteArray(16, '\0'));
        full.setKdfsalt(QByteArray("salt\x00'\\", 7));
        full.setEncryptionKey(QByteArray(40, '\x7f'));
        full.setBlockLevelRevision(7);
        full.setBlockLevelIsFull(true);
        full.setVersionDelimiter(QStringLiteral(":"));
        batch << full;
        batch << versionOf("top.txt", day) << versionOf("/root.txt", day.addSecs(1))
              << versionOf("/t/tab\there\r\nnext \\N.txt", day.addSecs(10));  // what COPY's text form escapes
        // Existing rows, taken as they are.
        batch << versionOf("/data/old/kept.txt", day.addSecs(2)) << versionOf("/data/old/\"q\" \\b,{}.txt", day);
        CloudFileVersion twice = versionOf("/a/b/twice.dat", day.addSecs(3));
        twice.setSize(10);
        batch << twice;
        twice.setDateModified(day.addSecs(4));
        twice.setSize(20);
        twice.setIsBroken(true);
        batch << twice;
        batch << versionOf(QString(), day.addSecs(5), knownFile.value(destination));
        batch.last().setPath("/data/old/other.txt");
        batch << versionOf(QStringLiteral("/données/日本/файл ß.txt"), day.addSecs(6))
              << versionOf("/A/b/Case.TXT", day.addSecs(7)) << versionOf("/a//b/empty-part", day.addSecs(8))
              << versionOf("/a/b/c/d/e/f/g/h/i/j/deeper", day.addSecs(9));
        return batch;
    };

    for (CloudFileVersion& version : batchFor(OneByOne))
        ASSERT_TRUE(version.insert(OneByOne, connection)) << version.path().toStdString();
    QVector<CloudFileVersion> batch = batchFor(Batched);
    ASSERT_EQ(CloudFileVersion::insertBatch(Batched, batch, connection), Result::Ok);

    EXPECT_EQ(catalogOf(Batched, connection), catalogOf(OneByOne, connection));
    EXPECT_EQ(rows(connection, "cloud_files"), 2 * 12);
    // The ids handed back are those of the rows.
    for (const CloudFileVersion& version : batch) {
        const auto stored = CloudFileVersion::selectById(version.id(), connection);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->fileId(), version.fileId());
        EXPECT_EQ(stored->dateModified(), version.dateModified());
        EXPECT_EQ(CloudFile::select_(Batched, version.path(), connection)->id(), version.fileId());
    }

    // A batch whose versions all leave columns at the table's defaults stores what insert() does; an
    // empty value is not the null default.
    const auto plainFor = [&]() {
        QVector<CloudFileVersion> plain;
        for (int i = 0; i < 3; ++i) {
            plain << versionOf(QStringLiteral("/plain/%1.txt").arg(i), day.addDays(i));
            plain.last().setKdfsalt(QByteArray(""));
        }
        return plain;
    };
    for (CloudFileVersion& version : plainFor())
        ASSERT_TRUE(version.insert(OneByOne, connection));
    QVector<CloudFileVersion> plain = plainFor();
    ASSERT_EQ(CloudFileVersion::insertBatch(Batched, plain, connection), Result::Ok);
    EXPECT_EQ(catalogOf(Batched, connection), catalogOf(OneByOne, connection));
}

// Versions of known files touch only cloud_file_versions; an empty batch runs nothing; a batch with
// an unusable version is refused whole before anything is written.
TEST_P(CloudFileVersionBatchTest, StatementsRunAreWhatTheBatchNeeds)
{
    TestConnection connection(pool());
    CloudFileVersion first = versionOf("/k/known.txt", utc(2024, 1, 1));
    ASSERT_TRUE(first.insert(Batched, connection));

    QStringList seen;
    ExecQuery::setStatementObserver([&](const QString& statement) { seen << statement; });
    QVector<CloudFileVersion> none;
    EXPECT_EQ(CloudFileVersion::insertBatch(Batched, none, connection), Result::Ok);
    EXPECT_EQ(seen, QStringList());

    QVector<CloudFileVersion> known;
    for (int i = 1; i <= 50; ++i)
        known << versionOf("/k/known.txt", utc(2024, 1, 1).addDays(i), first.fileId());
    EXPECT_EQ(CloudFileVersion::insertBatch(Batched, known, connection), Result::Ok);
    // One statement writes the versions (PostgreSQL draws their ids before).
    EXPECT_EQ(seen.filter(QRegularExpression("^(insert into|COPY) cloud_file_versions")).size(), 1)
        << seen.join('\n').toStdString();
    EXPECT_EQ(seen.filter("cloud_files"), QStringList());
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 51);

    seen.clear();
    rpxtest::LogCapture log;
    QVector<CloudFileVersion> bad{versionOf("/n/new.txt", utc(2024, 2, 1)), versionOf("/n/b.txt", utc(2024, 2, 2)),
                                  versionOf("/n/c.txt", QDateTime()), versionOf(QString(), utc(2024, 2, 3))};
    EXPECT_EQ(CloudFileVersion::insertBatch(Batched, bad, connection), Result::Error);
    ExecQuery::setStatementObserver({});
    EXPECT_EQ(seen, QStringList());
    EXPECT_TRUE(log.contains("version 2 lacks")) << log.texts().join('\n').toStdString();
    EXPECT_EQ(bad.first().id(), 0u);
    EXPECT_EQ(rows(connection, "cloud_files"), 1);
}

// A batch that fails part-way keeps nothing in its own transaction; inside the caller's the caller decides.
TEST_P(CloudFileVersionBatchTest, FailurePartWayKeepsNothing)
{
    if (rpxtest::inCallerTransaction())
        GTEST_SKIP() << "works with transactions of its own";
    DatabaseConnection connection(pool());
    ASSERT_TRUE(run(connection, "create unique index poison on cloud_file_versions (upload_id)"));
    CloudFileVersion taken = versionOf("/p/taken.txt", utc(2024, 1, 1));
    taken.setUploadId("taken");
    ASSERT_TRUE(taken.insert(Batched, connection));
    const QStringList before = catalogOf(Batched, connection);

    QVector<CloudFileVersion> batch;
    for (int i = 0; i < 30; ++i) {
        batch << versionOf(QStringLiteral("/p/new%1/f.txt").arg(i), utc(2024, 2, 1));
        batch.last().setUploadId(QByteArray::number(i));
    }
    batch.last().setUploadId("taken");
    EXPECT_NE(CloudFileVersion::insertBatch(Batched, batch, connection), Result::Ok);
    EXPECT_EQ(catalogOf(Batched, connection), before);
    EXPECT_EQ(batch.first().fileId(), 0u);

    Transaction callers(connection);
    EXPECT_NE(CloudFileVersion::insertBatch(Batched, batch, connection), Result::Ok);
    EXPECT_TRUE(callers.isActive());
    callers.rollback();
    EXPECT_EQ(catalogOf(Batched, connection), before);

    // Without the offending version the same batch goes through whole.
    batch.removeLast();
    EXPECT_EQ(CloudFileVersion::insertBatch(Batched, batch, connection), Result::Ok);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 30);

    // Versions of known files alone keep nothing of a failed batch either.
    for (CloudFileVersion& version : batch)
        version.setDateModified(utc(2024, 3, 1));
    batch.last().setUploadId("taken");
    EXPECT_NE(CloudFileVersion::insertBatch(Batched, batch, connection), Result::Ok);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 30);
}

// More rows than one statement may bind values for, on either engine.
TEST_P(CloudFileVersionBatchTest, BatchBeyondTheBoundValueLimits)
{
    TestConnection connection(pool());
    constexpr int Paths = 20000;
    QVector<CloudFileVersion> batch;
    batch.reserve(2 * Paths);
    for (int version = 0; version < 2; ++version) {
        for (int i = 0; i < Paths; ++i)
            batch << versionOf(QStringLiteral("/big/d%1/e%2/f%3").arg(i % 50).arg(i % 700).arg(i),
                               utc(2024, 1, 1).addDays(version).addSecs(i));
    }
    ASSERT_EQ(CloudFileVersion::insertBatch(Batched, batch, connection), Result::Ok);
    EXPECT_EQ(rows(connection, "cloud_files"), Paths);
    EXPECT_EQ(rows(connection, "cloud_file_versions"), 2 * Paths);
    for (const int i : {0, 1, 2046, 2047, 9999, 19999, 20000, 21559, 21560, 39999}) {
        const auto stored = CloudFileVersion::selectById(batch.at(i).id(), connection);
        ASSERT_TRUE(stored) << i;
        EXPECT_EQ(stored->path(), batch.at(i).path()) << i;
        EXPECT_EQ(stored->dateModified(), batch.at(i).dateModified()) << i;
        EXPECT_EQ(stored->fileId(), batch.at(i % Paths).fileId()) << i;
        EXPECT_EQ(CloudFile::select_(Batched, batch.at(i).path(), connection)->id(), stored->fileId()) << i;
    }
}

RPX_ON_BOTH_ENGINES(CloudFileVersionBatchTest);
