// Recursive listing of a generation of 100 000 files in 5 000 folders over three restore points.
//
// The first run writes the whole tree: /data, 50 folders under it and 4 949 below those, 20 files
// in each folder. The second run rewrites a fifth of the files in every third folder and deletes
// one file there; the third run does the same in another third of the folders, adds a file to each
// of them and deletes every 97th folder of the lowest level. The walks then read the generation as
// a later run does: attached afresh.

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/generation/AttachDatabase.h>
#include <rpxRepository/generation/FileListingRecursive.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>
#include <QVector>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <sys/resource.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;

namespace {

constexpr int FolderCount = 5000;
constexpr int TopFolders = 50;
constexpr int FilesPerFolder = 20;
const QDateTime FirstRun(QDate(2024, 3, 1), QTime(22, 0), Qt::UTC);

QSharedPointer<AttachDatabase> g_generation;

bool exec(QSqlQuery& query)
{
    if (query.exec())
        return true;
    std::fprintf(stderr, "bench_listing: %s\n", qPrintable(query.lastError().text()));
    return false;
}

QString folderPath(int folder)
{
    if (folder == 0)
        return QStringLiteral("/data");
    if (folder <= TopFolders)
        return QStringLiteral("/data/d%1").arg(folder);
    return QStringLiteral("/data/d%1/s%2").arg(1 + (folder - TopFolders - 1) % TopFolders).arg(folder);
}

int parentOf(int folder)
{
    if (folder == 0)
        return -1;
    return folder <= TopFolders ? 0 : 1 + (folder - TopFolders - 1) % TopFolders;
}

// Raw inserts in one transaction: the table classes would commit row by row.
class Writer
{
public:
    explicit Writer(DatabaseConnection& connection) : m_folder(connection.query()), m_file(connection.query())
    {
        m_folder.prepare(
            QStringLiteral("insert into folders (display_name, parent_id, restore_point_id, deleted, "
                           "local_path) values (?, ?, ?, ?, ?)"));
        m_file.prepare(
            QStringLiteral("insert into files (display_name, local_path, original_size, "
                           "date_modified_utc, attributes, is_compressed, parent_id, total_size, hash, "
                           "deleted, metadata, extents_size) values (?, ?, ?, ?, 0, 1, ?, ?, ?, ?, '', 0)"));
    }

    qulonglong folder(int folder, qulonglong parentRow, int run, bool deleted)
    {
        const QString path = folderPath(folder);
        m_folder.addBindValue(path.section(QLatin1Char('/'), -1));
        m_folder.addBindValue(parentRow);
        m_folder.addBindValue(run);
        m_folder.addBindValue(deleted ? 1 : 0);
        m_folder.addBindValue(path);
        return exec(m_folder) ? m_folder.lastInsertId().toULongLong() : 0;
    }

    bool file(int folder, const QString& name, qulonglong folderRow, int run, bool deleted)
    {
        m_file.addBindValue(name);
        m_file.addBindValue(folderPath(folder) + QLatin1Char('/') + name);
        m_file.addBindValue(qint64(1000 * run + folder));
        m_file.addBindValue(FirstRun.addDays(run - 1).toString(Qt::ISODateWithMs));
        m_file.addBindValue(folderRow);
        m_file.addBindValue(qint64(4096));
        m_file.addBindValue(QByteArray(32, char(run)));
        m_file.addBindValue(deleted ? 1 : 0);
        return exec(m_file);
    }

private:
    QSqlQuery m_folder;
    QSqlQuery m_file;
};

bool buildGeneration(QPointer<DatabasePool>& pool)
{
    DatabaseConnection connection(pool);
    QSqlQuery query = connection.query();
    if (!connection.isOpen() || !query.exec(QStringLiteral("begin")))
        return false;
    bool ok = true;
    for (int run = 1; run <= 3 && ok; ++run) {
        query.prepare(
            QStringLiteral("insert into restore_points (start_date, sequence_number, is_full) values (?, ?, ?)"));
        query.addBindValue(FirstRun.addDays(run - 1).toString(Qt::ISODateWithMs));
        query.addBindValue(run);
        query.addBindValue(run == 1 ? 0 : 2);
        ok = exec(query);
    }
    Writer writer(connection);
    QVector<qulonglong> firstRows(FolderCount, 0);
    for (int folder = 0; folder < FolderCount && ok; ++folder) {
        const qulonglong parentRow = folder == 0 ? 0 : firstRows[parentOf(folder)];
        firstRows[folder] = writer.folder(folder, parentRow, 1, false);
        ok = firstRows[folder] != 0;
        for (int k = 0; k < FilesPerFolder && ok; ++k)
            ok = writer.file(folder, QStringLiteral("file%1.dat").arg(k), firstRows[folder], 1, false);
    }
    // Later runs write a row for each changed folder under the first run's parent row.
    for (int run = 2; run <= 3 && ok; ++run) {
        for (int folder = 1; folder < FolderCount && ok; ++folder) {
            const bool changed = folder % 3 == run - 1;
            const bool deleted = run == 3 && folder > TopFolders && folder % 97 == 0;
            if (!changed && !deleted)
                continue;
            const qulonglong row = writer.folder(folder, firstRows[parentOf(folder)], run, deleted);
            ok = row != 0;
            if (!changed || deleted)
                continue;
            for (int k = 0; k < FilesPerFolder && ok; ++k) {
                if (k % 5 == run - 2 || k == FilesPerFolder - 1)
                    ok = writer.file(folder, QStringLiteral("file%1.dat").arg(k), row, run, k == FilesPerFolder - 1);
            }
            if (ok && run == 3)
                ok = writer.file(folder, QStringLiteral("new.dat"), row, run, false);
        }
    }
    return query.exec(ok ? QStringLiteral("commit") : QStringLiteral("rollback")) && ok;
}

long maxRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

size_t heapInUse()
{
    return mallinfo2().uordblks;
}

void walk(benchmark::State& state, const QDateTime& upTo, bool onlyFiles, bool skipDeleted)
{
    const long rssBefore = maxRssKb();
    qint64 items = 0;
    for (auto _ : state) {
        FileListingRecursive listing({QStringLiteral("/data")}, upTo, onlyFiles, skipDeleted,
                                     g_generation->attachedDatabasePool());
        items = 0;
        for (FileListingRecursive::Item item = listing.next(); !item.first.isNull() || !item.second.isNull();
             item = listing.next())
            ++items;
        if (listing.hasNext().second != 0)
            state.SkipWithError("the walk failed");
    }
    state.counters["items"] = double(items);
    state.counters["items_per_second"] =
        benchmark::Counter(double(items) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["peak_rss_growth_kB"] = double(maxRssKb() - rssBefore);
}

void BM_WalkEverything(benchmark::State& state)
{
    walk(state, QDateTime(), false, false);
}

// A view at the second run: a lookup over one or two restore points per folder, which needs the
// statistics the generation gets when it is attached again after being written.
void BM_WalkFilesAtSecondRunSkippingDeleted(benchmark::State& state)
{
    walk(state, FirstRun.addDays(1), true, true);
}

// The heap the walk holds at its fullest, sampled after every item, against the heap the same
// items take when all of them are kept.
void BM_WalkHeap(benchmark::State& state)
{
    size_t walkPeak = 0;
    size_t wholeTree = 0;
    for (auto _ : state) {
        const size_t base = heapInUse();
        {
            FileListingRecursive listing({QStringLiteral("/data")}, QDateTime(), false, false,
                                         g_generation->attachedDatabasePool());
            for (FileListingRecursive::Item item = listing.next(); !item.first.isNull() || !item.second.isNull();
                 item = listing.next()) {
                const size_t now = heapInUse();
                if (now > base)
                    walkPeak = std::max(walkPeak, now - base);
            }
        }
        QList<FileListingRecursive::Item> kept;
        FileListingRecursive listing({QStringLiteral("/data")}, QDateTime(), false, false,
                                     g_generation->attachedDatabasePool());
        for (FileListingRecursive::Item item = listing.next(); !item.first.isNull() || !item.second.isNull();
             item = listing.next())
            kept.append(item);
        wholeTree = heapInUse() - base;
    }
    state.counters["walk_heap_peak_kB"] = double(walkPeak) / 1024.0;
    state.counters["whole_tree_heap_kB"] = double(wholeTree) / 1024.0;
}

// One walk per run; --benchmark_repetitions gives the spread.
BENCHMARK(BM_WalkEverything)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WalkFilesAtSecondRunSkippingDeleted)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_WalkHeap)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The listing's debug lines are not what is measured.
    QLoggingCategory::setFilterRules(QStringLiteral("SQL.debug=false"));
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    g_generation = AttachDatabase::attach(root.filePath(QStringLiteral("generation.db")), QUuid::createUuid());
    if (g_generation.isNull()) {
        std::fprintf(stderr, "bench_listing: the generation cannot be created\n");
        return 1;
    }
    QElapsedTimer setup;
    setup.start();
    if (!buildGeneration(g_generation->attachedDatabasePool())) {
        std::fprintf(stderr, "bench_listing: building the generation failed\n");
        return 1;
    }
    std::fprintf(stderr, "bench_listing: generation of %d folders and %d files built in %lld ms\n", FolderCount,
                 FolderCount * FilesPerFolder, setup.elapsed());
    // Read as a later run reads it: attached afresh, which gathers its statistics.
    const QString path = g_generation->path();
    g_generation.reset();
    setup.restart();
    g_generation = AttachDatabase::attach(path, QUuid::createUuid());
    if (g_generation.isNull()) {
        std::fprintf(stderr, "bench_listing: the generation cannot be attached again\n");
        return 1;
    }
    std::fprintf(stderr, "bench_listing: attached again in %lld ms\n", setup.elapsed());

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_generation.reset();
    return 0;
}
