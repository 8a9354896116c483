#include "reliability/ReliabilitySupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/catalog/Destination.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/SqlSupport.h>

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QSqlDatabase>
#include <atomic>
#include <iostream>
#include <random>
#include <thread>

using namespace RPX::SQL;
using reliability::scalar;

namespace {

constexpr int Threads = 8;
constexpr int MaxAttempts = 12;

enum class Kind { Folder, File, Version };

// One operation a worker finished: what it registered and the id the library reported.
struct Done
{
    Kind kind;
    QString key;  // folder path or local path
    unsigned long long id = 0;
    unsigned long long fileId = 0;  // versions: the file they were registered under
};

struct WorkerLog
{
    QList<Done> done;
    int losses = 0;       // calls that returned the failure value
    int retriedWins = 0;  // operations that succeeded after a loss
    int gaveUp = 0;       // operations still failing after MaxAttempts
};

const QDateTime Base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);

// Every worker moves to fresh paths at the same pace, so that they keep racing for new rows.
QString folderPath(int generation, std::mt19937& random)
{
    return QStringLiteral("/stress/g%1/d%2/s%3").arg(generation).arg(random() % 2).arg(random() % 2);
}

void work(int worker, unsigned long long destinationId, qint64 deadlineMs, std::atomic<int>& clock,
          WorkerLog& log, unsigned seed)
{
    std::mt19937 random(seed + unsigned(worker));
    QElapsedTimer timer;
    timer.start();
    int sequence = 0;
    while (timer.elapsed() < deadlineMs) {
        const int generation = clock.fetch_add(1) / (Threads * 4);
        const Kind kind = Kind(random() % 3);
        const QString folder = folderPath(generation, random);
        const QString path = folder + QStringLiteral("/f%1.dat").arg(random() % 3);
        // Versions never collide: each worker stamps its own modification times.
        const QDateTime modified = Base.addSecs(qint64(worker) * 100000000 + sequence++);

        DatabaseConnection connection(DatabasePool::defaultPool());
        bool won = false;
        for (int attempt = 0; attempt < MaxAttempts && !won; ++attempt) {
            Done done{kind, kind == Kind::Folder ? folder : path};
            if (kind == Kind::Folder) {
                const auto found = CloudFolder::selectOrInsert(destinationId, folder, connection);
                won = !found.isNull();
                done.id = won ? found->id() : 0;
            } else if (kind == Kind::File) {
                CloudFile file;
                file.setDestinationId(destinationId);
                file.setLocalPath(path);
                file.setName(path.section(QLatin1Char('/'), -1));
                won = file.selectOrInsert(connection);
                done.id = file.id();
            } else {
                CloudFileVersion version;
                version.setPath(path);
                version.setDateModified(modified);
                won = version.insert(destinationId, connection);
                done.id = version.id();
                done.fileId = version.fileId();
            }
            if (won) {
                log.done << done;
                log.retriedWins += attempt > 0 ? 1 : 0;
            } else {
                ++log.losses;
            }
        }
        log.gaveUp += won ? 0 : 1;
    }
}

QStringList duplicates(DatabaseConnection& connection, const QString& sql)
{
    QStringList rows;
    QSqlQuery query = connection.query();
    if (!query.exec(sql))
        return {QStringLiteral("query failed: ") + sql};
    while (query.next())
        rows << query.value(0).toString();
    return rows;
}

}  // namespace

class StressTest : public rpxtest::RepositoryTest
{
};

// Eight threads register overlapping folder trees, files and versions through the default pool.
// Races on a unique key are lost with the failure value, and the loser's retry finds the winner's row.
TEST_P(StressTest, OverlappingRegistrationsKeepOneRowPerKey)
{
    unsigned long long destinationId = 0;
    {
        DatabaseConnection connection(pool());
        const QJsonObject account{{QStringLiteral("AccountType"), QStringLiteral("FileSystem")},
                                  {QStringLiteral("Path"), QStringLiteral("/backup")},
                                  {QStringLiteral("BackupPrefix"), QStringLiteral("stress")}};
        const QSharedPointer<Destination> destination = Destination::selectOrInsert(account, connection);
        ASSERT_TRUE(destination);
        destinationId = destination->id();
    }

    const unsigned seed = std::random_device()();
    const qint64 deadlineMs = qint64(reliability::stressSeconds()) * 1000;
    std::atomic<int> clock{0};
    QList<WorkerLog> logs;
    for (int i = 0; i < Threads; ++i)
        logs << WorkerLog();
    rpxtest::LogCapture captured;
    {
        std::vector<std::thread> workers;
        for (int i = 0; i < Threads; ++i)
            workers.emplace_back(work, i, destinationId, deadlineMs, std::ref(clock), std::ref(logs[i]), seed);
        for (std::thread& worker : workers)
            worker.join();
    }

    int operations = 0, losses = 0, retriedWins = 0, gaveUp = 0, versions = 0;
    QHash<QString, unsigned long long> folders, files;
    QList<Done> versionRows;
    for (const WorkerLog& log : logs) {
        operations += log.done.size();
        losses += log.losses;
        retriedWins += log.retriedWins;
        gaveUp += log.gaveUp;
        for (const Done& done : log.done) {
            QHash<QString, unsigned long long>* seen = done.kind == Kind::Folder ? &folders
                                                       : done.kind == Kind::File ? &files
                                                                                 : nullptr;
            if (seen == nullptr) {
                versionRows << done;
                ++versions;
                continue;
            }
            // Whoever reports a key, winner or loser after its retry, reports the one row.
            const auto known = seen->constFind(done.key);
            if (known != seen->constEnd())
                EXPECT_EQ(*known, done.id) << done.key.toStdString();
            else
                seen->insert(done.key, done.id);
        }
    }
    std::cout << "[ stress   ] " << (postgres() ? "PostgreSQL" : "SQLite") << ": " << Threads << " threads, "
              << reliability::stressSeconds() << " s, " << operations << " operations (" << versions
              << " versions), " << losses << " lost races, " << retriedWins << " won on retry, seed " << seed
              << std::endl;
    EXPECT_EQ(gaveUp, 0);
    EXPECT_GT(operations, Threads);
    EXPECT_GT(losses, 0) << "no race was lost: the test did not exercise the unique keys";
    EXPECT_GT(retriedWins, 0);
    EXPECT_LE(retriedWins, losses);

    // Every loss is one statement failing on the unique key, nothing else (no busy database, no
    // deadlock): SQLite fails it once, PostgreSQL retries it three times more.
    const QStringList codes = reliability::loggedErrorCodes(captured.texts());
    const int attemptsPerLoss = postgres() ? ExecQuery::MaxRetries + 1 : 1;
    EXPECT_EQ(codes.size(), losses * attemptsPerLoss);
    const QString uniqueViolation = postgres() ? QStringLiteral("23505") : QStringLiteral("19");
    for (const QString& code : codes)
        ASSERT_EQ(code, uniqueViolation)
            << captured.texts().filter(QStringLiteral("error code: ") + code).value(0).toStdString();

    DatabaseConnection connection(pool());
    EXPECT_EQ(duplicates(connection, QStringLiteral("select display_name from cloud_folders group by display_name, "
                                                    "parent_id, destination_id having count(*) > 1")),
              QStringList());
    EXPECT_EQ(duplicates(connection, QStringLiteral("select local_path from cloud_files group by destination_id, "
                                                    "local_path having count(*) > 1")),
              QStringList());
    EXPECT_EQ(duplicates(connection, QStringLiteral("select file_id from cloud_file_versions group by file_id, "
                                                    "date_modified_utc, attributes having count(*) > 1")),
              QStringList());
    // Nothing points into the void.
    EXPECT_EQ(duplicates(connection, QStringLiteral("select v.id from cloud_file_versions v left join cloud_files f "
                                                    "on f.id = v.file_id where f.id is null")),
              QStringList());
    EXPECT_EQ(duplicates(connection, QStringLiteral("select f.id from cloud_files f left join cloud_folders p on "
                                                    "p.id = f.parent_id where p.id is null")),
              QStringList());
    EXPECT_EQ(duplicates(connection, QStringLiteral("select c.id from cloud_folders c left join cloud_folders p on "
                                                    "p.id = c.parent_id where c.parent_id <> 0 and p.id is null")),
              QStringList());

    // Every reported success is in the catalog as reported; failures left no version behind.
    for (auto it = folders.cbegin(); it != folders.cend(); ++it) {
        const QSharedPointer<CloudFolder> folder = CloudFolder::select(destinationId, it.key(), connection);
        ASSERT_TRUE(folder) << it.key().toStdString();
        EXPECT_EQ(folder->id(), it.value());
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QSharedPointer<CloudFile> file = CloudFile::select_(destinationId, it.key(), connection);
        ASSERT_TRUE(file) << it.key().toStdString();
        EXPECT_EQ(file->id(), it.value());
    }
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_file_versions")).toInt(), versions);
    for (const Done& done : versionRows) {
        const QSharedPointer<CloudFileVersion> version = CloudFileVersion::selectById(done.id, connection);
        ASSERT_TRUE(version) << done.id;
        EXPECT_EQ(version->fileId(), done.fileId);
        EXPECT_EQ(version->path(), done.key);
        const QSharedPointer<CloudFile> file = CloudFile::select_(destinationId, done.key, connection);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->id(), done.fileId);
    }
}

RPX_ON_BOTH_ENGINES(StressTest);

// A second process holds the write lock of the SQLite file longer than the busy timeout: the
// statement fails busy, logs its retry lines and succeeds once the lock is gone, or gives up after
// the last retry. The pool of its own carries a short busy timeout so that the wait stays short.
class BusyDatabaseTest : public rpxtest::RepositoryTest
{
protected:
    void SetUp() override
    {
        RepositoryTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        QSqlDatabase master = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("busy-master"));
        master.setDatabaseName(sqlitePath());
        master.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=50"));
        ASSERT_TRUE(master.open());
        m_pool = new DatabasePool();
        ASSERT_TRUE(m_pool->initDatabase(master));
    }

    void TearDown() override
    {
        ExecQuery::setSleepFunction([](int) {});
        delete m_pool.data();
        QSqlDatabase::removeDatabase(QStringLiteral("busy-master"));
        RepositoryTest::TearDown();
    }

    QPointer<DatabasePool> m_pool;
};

TEST_P(BusyDatabaseTest, WriteLockOfAnotherProcessIsRetriedAndLogged)
{
    reliability::Child holder;
    ASSERT_TRUE(holder.start({QStringLiteral("lock"), sqlitePath()}));
    ASSERT_EQ(holder.readLine(), QStringLiteral("locked"));

    // The first pause lets the other process go; later pauses would mean the retry failed too.
    QList<int> pauses;
    ExecQuery::setSleepFunction([&](int milliseconds) {
        pauses << milliseconds;
        if (pauses.size() == 1) {
            holder.send("go");
            EXPECT_EQ(holder.readLine(), QStringLiteral("released"));
        }
    });
    rpxtest::LogCapture log;
    DatabaseConnection connection(m_pool);
    const QSharedPointer<CloudFolder> folder = CloudFolder::selectOrInsert(1, QStringLiteral("busy"), connection);
    ASSERT_TRUE(folder);
    EXPECT_EQ(pauses, QList<int>({2000}));
    EXPECT_EQ(reliability::loggedErrorCodes(log.texts()), QStringList({QStringLiteral("5")}));
    EXPECT_EQ(log.count(QStringLiteral("Go to retry sql query: 0 / 3")), 1) << log.texts().join('\n').toStdString();
    // The lock held by the other process really was a write lock: reads went on meanwhile.
    EXPECT_EQ(CloudFolder::select(1, QStringLiteral("busy"), connection)->id(), folder->id());
}

TEST_P(BusyDatabaseTest, LockHeldThroughEveryRetryGivesRetryLimit)
{
    reliability::Child holder;
    ASSERT_TRUE(holder.start({QStringLiteral("lock"), sqlitePath()}));
    ASSERT_EQ(holder.readLine(), QStringLiteral("locked"));

    QList<int> pauses;
    ExecQuery::setSleepFunction([&](int milliseconds) { pauses << milliseconds; });
    rpxtest::LogCapture log;
    DatabaseConnection connection(m_pool);
    Statement insert(connection, QStringLiteral("insert into cloud_folders (display_name, parent_id, destination_id) "
                                                "values (:name, 0, 1)"));
    insert.bind(QStringLiteral(":name"), QStringLiteral("never"));
    EXPECT_EQ(insert.exec(), Result::RetryLimit);
    EXPECT_EQ(pauses, QList<int>({2000, 4000, 6000}));
    EXPECT_EQ(reliability::loggedErrorCodes(log.texts()), reliability::repeated(4, QStringLiteral("5")));
    for (int retry = 0; retry < 3; ++retry)
        EXPECT_EQ(log.count(QStringLiteral("Go to retry sql query: %1 / 3").arg(retry)), 1);

    // Once the other process lets go, the same work goes through.
    holder.send("go");
    ASSERT_EQ(holder.readLine(), QStringLiteral("released"));
    EXPECT_TRUE(CloudFolder::selectOrInsert(1, QStringLiteral("never"), connection));
}

INSTANTIATE_TEST_SUITE_P(, BusyDatabaseTest, ::testing::Values(rpxtest::DatabaseType::SQLite), rpxtest::engineName);
