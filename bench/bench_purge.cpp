// Purge selection over a large destination on SQLite: 100 000 files with five versions each, and
// a second destination of 100 000 files with a single recent version, which the selection must
// leave in the database.

#include <rpxRepository/catalog/CheckCloudFiles4Purge.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <benchmark/benchmark.h>

#include <cstdio>

using namespace RPX::SQL;

namespace {

constexpr int Files = 100000;
constexpr int FilesPerFolder = 1000;
constexpr unsigned long long ManyVersions = 1;
constexpr unsigned long long SingleRecent = 2;
const QDateTime Now(QDate(2024, 6, 30), QTime(12, 0), Qt::UTC);

qint64 code(const QDateTime& date)
{
    return date.toString(QStringLiteral("yyyyMMddhhmmss")).toLongLong();
}

bool exec(QSqlQuery& query)
{
    if (query.exec())
        return true;
    std::fprintf(stderr, "bench_purge: %s\n", qPrintable(query.lastError().text()));
    return false;
}

// Raw inserts in one transaction: the catalog classes would commit row by row.
bool fill(DatabaseConnection& connection, unsigned long long destination, qint64 firstFileId,
          const QList<int>& versionAges)
{
    QSqlQuery file = connection.query();
    file.prepare(QStringLiteral(
        "insert into cloud_files (id, destination_id, parent_id, cloud_path, local_path, file_name, display_name, "
        "size, original_size, date_modified_utc, is_compressed, is_encrypted, is_simple, is_broken, "
        "date_deleted_utc) values (?, ?, ?, ?, ?, ?, ?, 100, 100, ?, 0, 0, 0, 0, ?)"));
    QSqlQuery version = connection.query();
    version.prepare(QStringLiteral(
        "insert into cloud_file_versions (file_id, cloud_path, size, original_size, date_modified_utc, attributes, "
        "is_compressed, is_encrypted, is_simple, is_broken, upload_id, date_backedup_utc) "
        "values (?, ?, 100, 100, ?, 0, 0, 0, 0, 0, '', ?)"));
    const QString root = QStringLiteral("/data/d%1/").arg(destination);
    unsigned long long folderId = 0;
    for (int i = 0; i < Files; ++i) {
        const QString folder = root + QStringLiteral("f%1").arg(i / FilesPerFolder);
        if (i % FilesPerFolder == 0) {
            const auto created = CloudFolder::selectOrInsert(destination, folder, connection);
            if (created.isNull())
                return false;
            folderId = created->id();
        }
        const qint64 fileId = firstFileId + i;
        const QString name = QStringLiteral("file%1.dat").arg(i);
        // One file in a hundred was deleted locally long ago.
        const qint64 deleted = i % 100 == 0 ? code(Now.addDays(-365)) : 99999999999999LL;
        file.addBindValue(fileId);
        file.addBindValue(destination);
        file.addBindValue(folderId);
        file.addBindValue(QStringLiteral("obj/%1").arg(fileId));
        file.addBindValue(folder + QLatin1Char('/') + name);
        file.addBindValue(name);
        file.addBindValue(name);
        file.addBindValue(code(Now.addDays(-versionAges.last())));
        file.addBindValue(deleted);
        if (!exec(file))
            return false;
        for (int age : versionAges) {
            const QDateTime modified = Now.addDays(-age).addSecs(i);
            version.addBindValue(fileId);
            version.addBindValue(QStringLiteral("obj/%1/%2").arg(fileId).arg(age));
            version.addBindValue(code(modified));
            version.addBindValue(code(modified.addSecs(600)));
            if (!exec(version))
                return false;
        }
    }
    return true;
}

bool buildCatalog()
{
    DatabaseConnection connection(DatabasePool::defaultPool());
    if (!connection.isOpen())
        return false;
    QSqlQuery transaction = connection.query();
    if (!transaction.exec(QStringLiteral("begin")))
        return false;
    const bool filled = fill(connection, ManyVersions, 1, {400, 200, 100, 40, 10}) &&
                        fill(connection, SingleRecent, 1 + Files, {5});
    return transaction.exec(filled ? QStringLiteral("commit") : QStringLiteral("rollback")) && filled;
}

void runFiles(benchmark::State& state, unsigned long long destination)
{
    DatabaseConnection connection(DatabasePool::defaultPool());
    CheckCloudFiles4Purge purge(destination);
    purge.setCurrentTime(Now);
    purge.keepNumberOfVersion(true, 3);
    purge.deleteVersionOlder(true, 30, true, CheckCloudFiles4Purge::ModifiedDate);
    purge.deleteLocalyDeleted(true, 90);
    const QStringList paths{QStringLiteral("/data/")};
    qint64 picks = 0;
    for (auto _ : state) {
        const CheckCloudFiles4Purge::Picks result = purge.files(paths, connection);
        picks = result.size();
        benchmark::DoNotOptimize(picks);
    }
    state.counters["picks"] = double(picks);
}

void BM_FilesFiveVersions(benchmark::State& state)
{
    runFiles(state, ManyVersions);
}

void BM_FilesSingleRecentVersion(benchmark::State& state)
{
    runFiles(state, SingleRecent);
}

BENCHMARK(BM_FilesFiveVersions)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_FilesSingleRecentVersion)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    qputenv("RPX_CONFIG_ROOT", QFile::encodeName(root.path() + QLatin1Char('/')));
    if (!Database::init(false)) {
        std::fprintf(stderr, "bench_purge: the repository cannot be opened\n");
        return 1;
    }
    QElapsedTimer setup;
    setup.start();
    if (!buildCatalog()) {
        std::fprintf(stderr, "bench_purge: building the catalog failed\n");
        return 1;
    }
    std::fprintf(stderr, "bench_purge: catalog of %d files built in %lld ms\n", 2 * Files, setup.elapsed());

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete DatabasePool::defaultPool().data();
    return 0;
}
