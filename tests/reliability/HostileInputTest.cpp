#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CheckCloudFiles4Purge.h>
#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/AttachDatabase.h>
#include <rpxRepository/generation/FileListingRecursive.h>
#include <rpxRepository/generation/Files.h>
#include <rpxRepository/generation/Folders.h>
#include <rpxRepository/generation/RestorePoints.h>
#include <rpxRepository/generation/StorageFiles.h>
#include <rpxRepository/history/History.h>

#include <QJsonObject>
#include <QTemporaryDir>
#include <QUuid>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;

namespace {

// Every hostile text carries this mark; table classes lower-case some names, so it is lower case.
const QString Mark = QStringLiteral("zqhostile");

// Quotes, statement separators, comments, LIKE wildcards, placeholders, NUL bytes and Unicode
// that changes direction or needs four bytes of UTF-8.
const QStringList Texts = {
    Mark + QStringLiteral("'); DROP TABLE cloud_files; --"),
    Mark + QStringLiteral("\" OR \"1\"=\"1"),
    Mark + QStringLiteral("/50%_off[^]_%"),
    Mark + QStringLiteral("/nul") + QChar(0) + QStringLiteral("byte") + QChar(0),
    Mark + QString::fromUtf8("/ünï/日本語/\u202efdp.exe 😀"),
    Mark + QStringLiteral("/:destination_id ? $1 @p ;--\\'"),
};

// Runs `drive` watching every statement the library runs: how many ran, and those that carry caller text.
template <typename Drive>
std::pair<int, QStringList> scan(Drive drive)
{
    std::pair<int, QStringList> seen;
    ExecQuery::setStatementObserver([&seen](const QString& statement) {
        ++seen.first;
        if (statement.contains(Mark, Qt::CaseInsensitive) || statement.contains(QLatin1String("DROP TABLE")))
            seen.second << statement;
    });
    drive();
    ExecQuery::setStatementObserver(nullptr);
    return seen;
}

// Caller text as whichever type a setter takes.
struct Text
{
    QString text;
    operator QString() const { return text; }
    operator QByteArray() const { return text.toUtf8(); }
};

// Gives every listed text field of `object` the same text.
template <typename T, typename... Setters>
void fill(T& object, const QString& text, Setters... setters)
{
    (..., (object.*setters)(Text{text}));
}

const QDateTime When(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);

// Every catalog call that builds a statement around caller text: conditions on paths, names, filters,
// prefixes. Classes that only insert their fields, and read-backs by id, are left out.
void driveCatalog(const QString& text, int n, DatabaseConnection& connection)
{
    const QUuid plan = QUuid::createUuid();
    for (const char* type : {"FileSystem", "AmazonS3", "AzureBlob", "Sftp"}) {
        QJsonObject account{{QStringLiteral("AccountType"), QLatin1String(type)}};
        for (const char* key : {"Path", "BackupPrefix", "AccessKey", "ContainerName", "UserName", "User"})
            account.insert(QLatin1String(key), text);
        Destination::selectOrInsert(account, connection);
    }
    const unsigned long long destinationId = 1;
    CloudFolder::selectOrInsert(destinationId, text + QStringLiteral("/sub"), connection);
    CloudFolder::select(destinationId, text, 10, 0, connection);

    CloudFileVersion version;
    version.setPath(text + QStringLiteral("/file") + QString::number(n));
    version.setDateModified(When.addSecs(n));
    fill(version, text, &CloudFileVersion::setCloudPath, &CloudFileVersion::setUploadId,
         &CloudFileVersion::setFileNameIv, &CloudFileVersion::setVersionDelimiter);
    version.insert(destinationId, connection);
    version.update(connection);

    CloudFile file;
    file.setDestinationId(destinationId);
    fill(file, text, &CloudFile::setLocalPath, &CloudFile::setName, &CloudFile::setCloudPath);
    file.selectOrInsert(connection);
    file.update(connection);
    CloudFile::selectByName(10, 0, destinationId, text, connection);

    CheckCloudFiles4Purge purge(destinationId);
    purge.deleteLocalyDeleted(true, 1);
    purge.keepNumberOfVersion(true, 1);
    purge.files({text, text + QStringLiteral("/")}, connection);
    purge.updateDeleteLocallyPath(text, text, connection);

    History history;
    history.setDestinationId(destinationId);
    history.setPalnId(plan);
    history.setDateFinished(When);
    fill(history, text, &History::setLocalPath, &History::setMessage, &History::setPlanName);
    history.insert(connection);
    History::select(plan, QDateTime(), QDateTime(), 0, -1, text, 10, connection);
}

void driveGeneration(const QString& text, const QString& prefix, int n, DatabaseConnection& connection)
{
    // Restore points, storage files and blocks only insert their fields; lookups take caller text.
    RestorePoints point;
    point.setStartDate(When.addSecs(n));
    point.setSequenceNumber(n);
    point.insert(prefix, connection);
    const QList<quint64> points{point.id()};
    StorageFiles::select(text, prefix, connection);
    StorageFiles::selectPathStartWith(text, prefix, connection);

    const QJsonObject metadata{{text, text}};
    Folders folder;
    folder.setRestorePointId(point.id());
    folder.setMetadata(metadata);
    fill(folder, text, &Folders::setDisplayName, &Folders::setLocalPath);
    folder.insert(prefix, connection);
    Folders::select(text, points, prefix, connection);
    Folders::select(text, point.id(), prefix, connection);
    Folders::select(folder.id(), text, point.id(), prefix, connection);
    Folders::selectInFolder(text, points, true, 10, 0, prefix, connection);
    Folders::countSubfolder(text, points, true, prefix, connection);
    Folders::checkPathIsDeleted(text, points, prefix, connection);

    Files file;
    file.setParentId(folder.id());
    file.setMetadata(metadata);
    file.setLocalPath(text + QStringLiteral("/f"));
    fill(file, text, &Files::setDisplayName, &Files::setHash);
    file.insert(prefix, connection);
    Files::select(text, points, prefix, connection);
    Files::selectInFolder(text, points, 10, 0, prefix, connection);
    point.remove(prefix, connection);
}

}  // namespace

using HostileInputTest = rpxtest::RepositoryTest;

// No statement is ever built from caller text: every text a caller passes, hostile or not, reaches
// the database only as a bound value.
TEST_P(HostileInputTest, CallerTextNeverReachesAStatement)
{
    DatabaseConnection connection(pool());
    const auto [statements, violations] = scan([&] {
        for (int i = 0; i < Texts.size(); ++i)
            driveCatalog(Texts[i], i, connection);
    });
    EXPECT_GT(statements, 30 * Texts.size());
    EXPECT_EQ(violations, QStringList());
}

RPX_ON_BOTH_ENGINES(HostileInputTest);

TEST(HostileGenerationInputTest, CallerTextNeverReachesAStatementAndHostilePrefixesAreRefused)
{
    QTemporaryDir dir;
    const QSharedPointer<AttachDatabase> attached = AttachDatabase::attach(dir.filePath("g.db"), QUuid::createUuid());
    ASSERT_TRUE(attached);
    DatabaseConnection connection(attached->attachedDatabasePool());
    const auto [statements, violations] = scan([&] {
        for (int i = 0; i < Texts.size(); ++i) {
            driveGeneration(Texts[i], QString(), i, connection);
            // A prefix is pasted into statements as a schema name: a hostile one must be refused whole.
            driveGeneration(Texts[i], Texts[i], i, connection);
        }
        FileListingRecursive listing(Texts, QDateTime(), false, true, attached->attachedDatabasePool());
        for (int i = 0; i < 100 && !listing.isFinished() && listing.hasNext().first; ++i)
            listing.next();
    });
    EXPECT_GT(statements, 10 * Texts.size());
    EXPECT_EQ(violations, QStringList());
}
