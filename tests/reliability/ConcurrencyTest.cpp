#include "reliability/ReliabilitySupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/ExecQuery.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <random>
#include <thread>

using namespace RPX::SQL;
using reliability::column;
using reliability::scalar;

namespace {

constexpr int Threads = 8;
constexpr int MaxAttempts = 12;
// Catalog rows need no destination row: any id will do.
constexpr unsigned long long DestinationId = 1;

enum class Kind { Folder, File, Version };

// One operation a worker finished: what it registered and the ids the library reported.
struct Done
{
    Kind kind;
    QString key;  // folder path or local path
    unsigned long long id = 0;
    unsigned long long fileId = 0;  // versions: the file they were registered under
};

// What the workers share: the pace of fresh paths, per worker the operations it finished, and in all
// the calls that returned the failure value and the operations still failing after MaxAttempts.
struct Report
{
    std::atomic<int> clock{0}, losses{0}, gaveUp{0};
    QList<Done> done[Threads];
};

void work(int worker, Report& report, unsigned seed)
{
    static const QDateTime base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    std::mt19937 random(seed + unsigned(worker));
    QElapsedTimer timer;
    timer.start();
    for (int sequence = 0; timer.elapsed() < reliability::stressSeconds() * 1000; ++sequence) {
        // Every worker moves to fresh paths at the same pace, so that they keep racing for new rows.
        const int generation = report.clock.fetch_add(1) / (Threads * 4);
        const Kind kind = Kind(random() % 3);
        const QString folder =
            QStringLiteral("/stress/g%1/d%2/s%3").arg(generation).arg(random() % 2).arg(random() % 2);
        const QString path = folder + QStringLiteral("/f%1.dat").arg(random() % 3);

        DatabaseConnection connection(DatabasePool::defaultPool());
        bool won = false;
        for (int attempt = 0; attempt < MaxAttempts && !won; ++attempt) {
            Done done{kind, kind == Kind::Folder ? folder : path};
            if (kind == Kind::Folder) {
                const auto found = CloudFolder::selectOrInsert(DestinationId, folder, connection);
                won = !found.isNull();
                done.id = won ? found->id() : 0;
            } else if (kind == Kind::File) {
                CloudFile file;
                file.setDestinationId(DestinationId);
                file.setLocalPath(path);
                file.setName(path.section(QLatin1Char('/'), -1));
                won = file.selectOrInsert(connection);
                done.id = file.id();
            } else {
                // Versions never collide: each worker stamps its own modification times.
                CloudFileVersion version;
                version.setPath(path);
                version.setDateModified(base.addSecs(qint64(worker) * 100000000 + sequence));
                won = version.insert(DestinationId, connection);
                done.id = version.id();
                done.fileId = version.fileId();
            }
            if (won)
                report.done[worker] << done;
            else
                ++report.losses;
        }
        report.gaveUp += won ? 0 : 1;
    }
}

}  // namespace

using StressTest = rpxtest::RepositoryTest;

// Eight threads register overlapping folder trees, files and versions through the default pool.
// Races on a unique key are lost with the failure value, and the loser's retry finds the winner's row.
TEST_P(StressTest, OverlappingRegistrationsKeepOneRowPerKey)
{
    const unsigned seed = std::random_device()();
    Report report;
    rpxtest::LogCapture captured;
    {
        std::vector<std::thread> workers;
        for (int i = 0; i < Threads; ++i)
            workers.emplace_back(work, i, std::ref(report), seed);
        for (std::thread& worker : workers)
            worker.join();
    }

    const int losses = report.losses;
    int operations = 0, versions = 0;
    for (const QList<Done>& done : report.done)
        operations += done.size();
    std::cout << "[ stress   ] " << (postgres() ? "PostgreSQL" : "SQLite") << ": " << Threads << " threads, "
              << reliability::stressSeconds() << " s, " << operations << " operations, " << losses
              << " lost races, seed " << seed << std::endl;
    // Every operation that lost a race won on a later attempt.
    EXPECT_EQ(report.gaveUp, 0);
    EXPECT_GT(operations, Threads);
    EXPECT_GT(losses, 0) << "no race was lost: the test did not exercise the unique keys";

    // Every loss is one statement failing on the unique key, nothing else (no busy database, no
    // deadlock): SQLite fails it once, PostgreSQL retries it three times more.
    const QStringList codes = reliability::loggedErrorCodes(captured.texts());
    EXPECT_EQ(codes.size(), losses * (postgres() ? ExecQuery::MaxRetries + 1 : 1));
    const QString uniqueViolation = postgres() ? QStringLiteral("23505") : QStringLiteral("19");
    for (const QString& code : codes)
        ASSERT_EQ(code, uniqueViolation)
            << captured.texts().filter(QStringLiteral("error code: ") + code).value(0).toStdString();

    DatabaseConnection connection(pool());
    for (const char* duplicates :
         {"select display_name from cloud_folders group by display_name, parent_id, destination_id having count(*) > 1",
          "select local_path from cloud_files group by destination_id, local_path having count(*) > 1",
          "select file_id from cloud_file_versions group by file_id, date_modified_utc, attributes "
          "having count(*) > 1"})
        EXPECT_EQ(column(connection, QLatin1String(duplicates)), QStringList()) << duplicates;
    EXPECT_EQ(reliability::orphans(connection), QStringList());

    // Whoever reported a key, winner or loser after its retry, reported the row the catalog holds.
    const auto fileId = [&](const QString& path) {
        const QSharedPointer<CloudFile> file = CloudFile::select_(DestinationId, path, connection);
        return file ? file->id() : 0;
    };
    for (const QList<Done>& worker : report.done) {
        for (const Done& done : worker) {
            if (done.kind == Kind::Folder) {
                const QSharedPointer<CloudFolder> folder = CloudFolder::select(DestinationId, done.key, connection);
                EXPECT_EQ(folder ? folder->id() : 0, done.id) << done.key.toStdString();
            } else if (done.kind == Kind::File) {
                EXPECT_EQ(fileId(done.key), done.id) << done.key.toStdString();
            } else {
                ++versions;
                const QSharedPointer<CloudFileVersion> version = CloudFileVersion::selectById(done.id, connection);
                ASSERT_TRUE(version) << done.id;
                EXPECT_EQ(version->fileId(), done.fileId);
                EXPECT_EQ(version->path(), done.key);
                EXPECT_EQ(fileId(done.key), done.fileId) << done.key.toStdString();
            }
        }
    }
    // Failures left no version behind.
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_file_versions")).toInt(), versions);
}

// Two threads register batches over the same paths, in their own orders, round after round: every
// batch goes through, each path keeps one file row and every version is attached to it.
TEST_P(StressTest, OverlappingBatchesKeepOneFileRowPerPath)
{
    constexpr int Rounds = 6;
    constexpr int Paths = 300;
    static const QDateTime base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    QVector<CloudFileVersion> registered[2];
    std::atomic<int> failures{0};
    const auto work = [&](int worker) {
        std::mt19937 random(unsigned(worker) + 1);
        DatabaseConnection connection(DatabasePool::defaultPool());
        for (int round = 0; round < Rounds; ++round) {
            QVector<CloudFileVersion> batch;
            for (int i = 0; i < Paths; ++i) {
                CloudFileVersion version;
                version.setPath(QStringLiteral("/race/r%1/d%2/s%3/f%4").arg(round).arg(i % 7).arg(i % 3).arg(i));
                version.setDateModified(base.addSecs(worker * 100000 + round * 1000 + i));
                batch << version;
            }
            std::shuffle(batch.begin(), batch.end(), random);
            if (CloudFileVersion::insertBatch(DestinationId, batch, connection) != Result::Ok)
                ++failures;
            else
                registered[worker] << batch;
        }
    };
    std::thread other(work, 1);
    work(0);
    other.join();
    EXPECT_EQ(failures, 0);

    DatabaseConnection connection(pool());
    EXPECT_EQ(column(connection, QStringLiteral("select local_path from cloud_files group by destination_id, "
                                                "local_path having count(*) > 1")),
              QStringList());
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_files")).toInt(), Rounds * Paths);
    EXPECT_EQ(scalar(connection, QStringLiteral("select count(*) from cloud_file_versions")).toInt(),
              2 * Rounds * Paths);
    EXPECT_EQ(reliability::orphans(connection), QStringList());
    for (const QVector<CloudFileVersion>& batch : registered) {
        for (const CloudFileVersion& version : batch) {
            const QSharedPointer<CloudFileVersion> stored = CloudFileVersion::selectById(version.id(), connection);
            ASSERT_TRUE(stored);
            EXPECT_EQ(stored->fileId(), version.fileId());
            EXPECT_EQ(stored->dateModified(), version.dateModified());
            EXPECT_EQ(CloudFile::select_(DestinationId, version.path(), connection)->id(), version.fileId());
        }
    }
}

RPX_ON_BOTH_ENGINES(StressTest);
