#include "reliability/ReliabilitySupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QDir>
#include <QFile>
#include <memory>
#include <sys/fsuid.h>
#include <unistd.h>

using namespace RPX::SQL;
using reliability::scalar;

namespace {

const QDateTime Base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);

bool registerVersion(DatabaseConnection& connection, const QString& path, int second, int objectBytes = 16)
{
    CloudFileVersion version;
    version.setPath(path);
    version.setDateModified(Base.addSecs(second));
    version.setCloudPath(QByteArray(objectBytes, 'o'));
    return version.insert(1, connection);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// While it lives, the calling thread reaches files as an unprivileged user, so that file
// permissions hold even when the tests run as root (the file-system uid is per thread).
class UnprivilegedFiles
{
public:
    // setfsuid returns the id before the call: the second call tells whether the first took.
    UnprivilegedFiles() : m_failed(m_root && (::setfsuid(Nobody), ::setfsuid(Nobody) != int(Nobody))) {}
    ~UnprivilegedFiles()
    {
        if (m_root)
            ::setfsuid(0);
    }
    bool failed() const { return m_failed; }

private:
    static constexpr uid_t Nobody = 65534;
    const bool m_root = ::geteuid() == 0;
    const bool m_failed;
};

}  // namespace

using FaultTest = rpxtest::RepositoryTest;

// A full disk (the file held to its size by max_page_count): writes fail as IoError with their log
// line, reads go on, what a failed registration left behind is reused, and work resumes with space.
TEST_P(FaultTest, FullDatabaseFailsAsIoErrorAndResumesWhenSpaceIsBack)
{
    DatabaseConnection connection(pool());
    const int pages = scalar(connection, QStringLiteral("PRAGMA page_count")).toInt();
    ASSERT_GT(pages, 0);
    ASSERT_EQ(scalar(connection, QStringLiteral("PRAGMA max_page_count = %1").arg(pages + 6)).toInt(), pages + 6);

    rpxtest::LogCapture log;
    QStringList registered, failed;
    for (int i = 0; i < 200 && failed.size() < 25; ++i) {
        const QString path = QStringLiteral("/full/d%1/sub/file%1.dat").arg(i);
        (registerVersion(connection, path, i, 1500) ? registered : failed) << path;
    }
    ASSERT_FALSE(registered.isEmpty());
    ASSERT_EQ(failed.size(), 25);

    // One failed statement per failed registration, full (13) each time, not retried.
    EXPECT_EQ(reliability::loggedErrorCodes(log.texts()), reliability::repeated(failed.size(), QStringLiteral("13")));
    EXPECT_FALSE(log.contains(QStringLiteral("Go to retry sql query:")));
    Statement direct(connection, QStringLiteral("insert into cloud_folders (display_name, parent_id, destination_id) "
                                                "values (:name, 0, 1)"));
    direct.bind(QStringLiteral(":name"), QString(3000, QLatin1Char('n')));
    EXPECT_EQ(direct.exec(), Result::IoError);

    // Reads go on, and a full file is a sound file.
    EXPECT_TRUE(CloudFile::select_(1, registered.first(), connection));
    EXPECT_EQ(scalar(connection, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));

    // Space is back: the same registrations go through on top of what the failures left.
    ASSERT_EQ(scalar(connection, QStringLiteral("PRAGMA max_page_count = 1000000000")).toInt(), 1000000000);
    for (int i = 0; i < failed.size(); ++i)
        EXPECT_TRUE(registerVersion(connection, failed[i], 1000 + i, 1500)) << failed[i].toStdString();
    EXPECT_TRUE(registerVersion(connection, QStringLiteral("/full/after/sub/file.dat"), 5000, 1500));

    const int total = registered.size() + failed.size() + 1;
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_file_versions")).toInt(), total);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files")).toInt(), total);
    // Per registration its own d<i> and sub folders; /full and the empty top-level component once.
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_folders")).toInt(), 2 * total + 2);
    EXPECT_EQ(scalar(connection, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
}

// Permissions the agent lacks. A repository in a folder it cannot write cannot run its journal: init
// fails, and init(true) cannot set the file aside so leaves it untouched.
// A read-only file in a writable folder opens for reading; writes are refused as read-only, retried,
// and end with RetryLimit.
TEST_P(FaultTest, UnwritableFolderOrFileKeepsTheCatalogReadable)
{
    {
        DatabaseConnection connection(pool());
        ASSERT_TRUE(registerVersion(connection, QStringLiteral("/kept/file.dat"), 1));
    }
    resetProcessState();
    const QByteArray before = readAll(sqlitePath());
    ASSERT_FALSE(before.isEmpty());
    // The folder must be writable again whatever happens, or the test's folder stays behind.
    std::shared_ptr<void> restore(nullptr,
                                  [&](void*) { QFile::setPermissions(configRoot(), QFileDevice::Permissions(0x7755)); });
    ASSERT_TRUE(QFile::setPermissions(configRoot(), QFileDevice::Permissions(0x5555)));
    {
        UnprivilegedFiles unprivileged;
        if (unprivileged.failed())
            GTEST_SKIP() << "running as root without CAP_SETUID: file permissions cannot be made to apply";

        rpxtest::LogCapture log;
        EXPECT_FALSE(Database::init(false));
        EXPECT_TRUE(log.contains(QStringLiteral("Error on check database journal mode database:")));
        EXPECT_FALSE(Database::init(true));
        EXPECT_FALSE(QDir(configRoot() + QStringLiteral("corrupteddb")).exists());
    }
    EXPECT_TRUE(readAll(sqlitePath()) == before);

    resetProcessState();
    ASSERT_TRUE(QFile::setPermissions(configRoot(), QFileDevice::Permissions(0x7777)));
    ASSERT_TRUE(QFile::setPermissions(sqlitePath(), QFileDevice::Permissions(0x4444)));
    UnprivilegedFiles unprivileged;
    ASSERT_TRUE(Database::init(false));
    DatabaseConnection connection(pool());
    EXPECT_TRUE(CloudFile::select_(1, QStringLiteral("/kept/file.dat"), connection));

    // The pauses between retries are ExecQueryBusyTest's.
    rpxtest::LogCapture log;
    EXPECT_FALSE(registerVersion(connection, QStringLiteral("/new/file.dat"), 2));
    EXPECT_EQ(reliability::loggedErrorCodes(log.texts()), reliability::repeated(4, QStringLiteral("8")));
    EXPECT_EQ(log.count(QStringLiteral("Go to retry sql query:")), 3);
    EXPECT_FALSE(CloudFolder::select(1, QStringLiteral("/new"), connection));
}

// A damaged file (cut in half, or garbage behind an intact first page) fails to open; init(true)
// keeps a byte-exact copy in the set-aside folder and starts a fresh, working repository.
TEST_P(FaultTest, DamagedFileIsSetAsideWithACopyAndReplaced)
{
    const QString corruptedFolder = configRoot() + QStringLiteral("corrupteddb");
    {
        DatabaseConnection connection(pool());
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(registerVersion(connection, QStringLiteral("/kept/d%1/file.dat").arg(i), i, 400));
    }
    resetProcessState();
    const QByteArray sound = readAll(sqlitePath());
    ASSERT_GT(sound.size(), 16 * 4096);
    const QList<QPair<const char*, QByteArray>> damages = {
        {"cut in half", sound.left(sound.size() / 2)},
        {"garbage behind the first page", sound.left(4096) + QByteArray(sound.size() - 4096, '\x5a')},
    };
    for (const auto& [name, damaged] : damages) {
        SCOPED_TRACE(name);
        QDir(corruptedFolder).removeRecursively();
        resetProcessState();
        {
            QFile file(sqlitePath());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(damaged) == damaged.size());
        }

        rpxtest::LogCapture log;
        EXPECT_FALSE(Database::init(false));
        EXPECT_TRUE(Database::dbLastError());
        EXPECT_TRUE(log.contains(QStringLiteral("Error on check database journal mode database:")));
        EXPECT_TRUE(readAll(sqlitePath()) == damaged);
        EXPECT_FALSE(QDir(corruptedFolder).exists());
        EXPECT_FALSE(pool()->isInit());

        ASSERT_TRUE(Database::init(true));
        const QStringList copies = QDir(corruptedFolder).entryList(QDir::Files);
        ASSERT_EQ(copies.size(), 1);
        EXPECT_TRUE(readAll(corruptedFolder + QLatin1Char('/') + copies.first()) == damaged);
        DatabaseConnection connection(pool());
        EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from metadata")).toInt(), 1);
        EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files")).toInt(), 0);
        EXPECT_TRUE(registerVersion(connection, QStringLiteral("/fresh/file.dat"), 1));
    }
}

INSTANTIATE_TEST_SUITE_P(, FaultTest, ::testing::Values(rpxtest::DatabaseType::SQLite), rpxtest::engineName);
