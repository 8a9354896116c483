// How the catalog's costs grow with its size, on SQLite: every measure at 100 000 files, then at
// 1 million (and 10 million with RPX_BENCH_SCALE=10000000; RPX_BENCH_SCALE=100000 stops at the
// first size), each with its growth factor against the 100 000-file run (counter "x100k").
//
// The repositories are filled with raw SQL, since the fill is not what is measured; what is
// measured goes through the library as the agent uses it, in Transactions of 1 000. Before the
// measures the library's pool is opened again, as by an agent starting on an existing repository.
//
//   registration     new files registered into a repository of N files (files/s)
//   registration_batches  the same through CloudFileVersion::insertBatch, a batch per Transaction
//   second_version   a second version of existing files, spread over the whole catalog (versions/s)
//   file_lookup      CloudFile::select_ of files spread over the catalog (us), a second pass over
//                    them; the first, which maps their pages into the process, is "first_pass_us"
//   point_in_time    CloudFile::select_ then CloudFileVersion::selectPointInTime (us), the same way
//   repository_size  MB of the repository per million versions, as filled (one version of each
//                    file, in order); "after_measures_MB" once the measures above added theirs
//   purge_files      CheckCloudFiles4Purge::files over N files of 5 versions, every rule on (s)
//   purge_stream     the same selection through selectEach, nothing kept (s)
//   listing          FileListingRecursive over a generation of N files in folders of 100 (s)
// Peak memory during the purge and listing measures: "peak_heap_MB" the heap in use above its
// start, "peak_anon_MB" the process's anonymous resident memory (sampled), "peak_rss_MB" the
// resident size, which counts the pages of the memory-mapped database the walk touched.

#include "support/BenchRepository.h"
#include "support/RawCatalog.h"

#include <rpxRepository/catalog/CheckCloudFiles4Purge.h>
#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>
#include <rpxRepository/database/Transaction.h>
#include <rpxRepository/generation/AttachDatabase.h>
#include <rpxRepository/generation/FileListingRecursive.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QVector>
#include <QUuid>
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <malloc.h>
#include <memory>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;
using namespace rpxbench;

namespace {

constexpr int BaseSize = 100000;
constexpr int Measured = 20000;     // registrations, second versions and lookups per measure
constexpr int Batch = 1000;         // per Transaction
constexpr int FilesPerFolder = 50;  // in the catalog
constexpr int ListingFolderFiles = 100;
constexpr quint64 Destination = 1;
const QDateTime Base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
const QDateTime Now(QDate(2024, 6, 30), QTime(12, 0), Qt::UTC);

// ---- Memory ----

double heapMB()
{
    return double(mallinfo2().uordblks) / (1024.0 * 1024.0);
}

// Starts a new peak of the resident size (Linux keeps it in VmHWM; writing 5 to clear_refs resets it).
void resetPeakRss()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// A line of /proc/self/status ("VmHWM:", "RssAnon:"), in MB.
double statusMB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

// Peaks during a measure, the heap and anonymous memory sampled whenever the work calls sample():
// the heap above its start, the anonymous resident memory (the process's own, without the mapped
// database file), and the resident size as the kernel kept it (mapped pages included).
class MemoryPeak
{
public:
    MemoryPeak() : m_base(heapMB())
    {
        malloc_trim(0);  // what earlier measures freed must not count as this one's
        resetPeakRss();
    }
    void sample()
    {
        m_heap = qMax(m_heap, heapMB() - m_base);
        if (++m_samples % 16 == 1)
            m_anon = qMax(m_anon, statusMB("RssAnon:"));
    }
    void report(benchmark::State& state)
    {
        m_samples = 0;
        sample();
        state.counters["peak_heap_MB"] = m_heap;
        state.counters["peak_anon_MB"] = m_anon;
        state.counters["peak_rss_MB"] = statusMB("VmHWM:");
    }

private:
    double m_base;
    double m_heap = 0;
    double m_anon = 0;
    int m_samples = 0;
};

// ---- Growth against the first size ----

QHash<QString, double> g_first;

void report(benchmark::State& state, const QString& measure, double value)
{
    state.counters["value"] = value;
    if (state.range(0) == BaseSize)
        g_first[measure] = value;
    if (g_first.value(measure) > 0)
        state.counters["x100k"] = value / g_first.value(measure);
}

// Spreads i over [0, n) so that successive measures touch the whole catalog.
int spread(int i, int n)
{
    return int((quint64(i) * 2654435761ULL + 40503ULL) % quint64(n));
}

// Reopens the library's pool on the repository, as an agent starting on it does.
bool reopenLibrary()
{
    DatabasePool::defaultPool()->releaseDatabase();
    return Database::init(false);
}

// ---- The catalog: N files of one version ----

// Paths sort as the files are numbered, so that the new files of the registration measure go after
// the catalog's at every size, as like for like (unpadded, they would go at its end at one size
// and into its middle at another).
QString catalogPath(int file)
{
    const int folder = file / FilesPerFolder;
    return QStringLiteral("/home/user%1/projects/p%2/file%3.dat")
        .arg(folder / 1000, 5, 10, QLatin1Char('0'))
        .arg(folder % 1000)
        .arg(file % FilesPerFolder);
}

VersionData catalogVersion(int file, int version)
{
    return numberedVersion(file, version, catalogPath(file), Base.addSecs(file).addDays(7 * version));
}

bool registerVersion(const VersionData& data, DatabaseConnection& connection)
{
    return libraryVersion(data).insert(Destination, connection);
}

struct Catalog
{
    int files = 0;
    std::unique_ptr<BenchRepository> repository;
    qint64 versions = 0;
    qint64 filledBytes = 0;  // right after the fill: one version of each file, registered in order
    int registered = 0;  // new files registered by the measures
    int laterRuns = 0;   // runs that added a version to existing files
};
std::unique_ptr<Catalog> g_catalog;
// The library keeps one repository open at a time: the catalog and the purge repository take turns.
std::unique_ptr<BenchRepository> g_purge;
int g_purgeFiles = 0;

Catalog* catalogOf(int files)
{
    if (g_catalog && g_catalog->files == files)
        return g_catalog.get();
    g_catalog.reset();
    g_purge.reset();
    auto catalog = std::make_unique<Catalog>();
    catalog->files = files;
    catalog->repository = std::make_unique<BenchRepository>(BenchRepository::Engine::SQLite);
    if (!catalog->repository->isOpen())
        return nullptr;
    QElapsedTimer timer;
    timer.start();
    {
        RawCatalog raw;
        if (!raw.open(catalog->repository->sqlitePath()) || !raw.begin())
            return nullptr;
        for (int file = 0; file < files; ++file) {
            if (raw.insertVersion(Destination, catalogVersion(file, 0)) == 0)
                return nullptr;
        }
        if (!raw.commit())
            return nullptr;
    }
    if (!reopenLibrary())
        return nullptr;
    catalog->versions = files;
    catalog->filledBytes = catalog->repository->sqliteBytes();
    std::fprintf(stderr, "bench_scale: catalog of %d files filled in %lld ms\n", files, timer.elapsed());
    g_catalog = std::move(catalog);
    return g_catalog.get();
}

// Registers `count` versions through the library in Transactions of Batch, one insert() after the
// other or one insertBatch() each; seconds spent, -1 on failure.
double registerMany(int count, const std::function<VersionData(int)>& data, bool batched)
{
    QElapsedTimer timer;
    timer.start();
    for (int first = 0; first < count; first += Batch) {
        DatabaseConnection connection(DatabasePool::defaultPool());
        const int end = qMin(count, first + Batch);
        if (batched) {
            QVector<CloudFileVersion> versions;
            for (int i = first; i < end; ++i)
                versions << libraryVersion(data(i));
            if (CloudFileVersion::insertBatch(Destination, versions, connection) != Result::Ok)
                return -1;
            continue;
        }
        Transaction transaction(connection);
        for (int i = first; i < end; ++i) {
            if (!registerVersion(data(i), connection))
                return -1;
        }
        if (!transaction.commit())
            return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

// New files numbered after the catalog's, or one more version of files spread over it (each file
// once a run: the first Measured values of the spread are distinct for these sizes).
void runRegistration(benchmark::State& state, bool newFiles, bool batched = false)
{
    const int files = int(state.range(0));
    Catalog* catalog = catalogOf(files);
    if (catalog == nullptr)
        return state.SkipWithError("the catalog could not be built");
    double seconds = 0;
    for (auto _ : state) {
        const int first = files + catalog->registered;
        const int version = 1 + catalog->laterRuns;
        seconds = registerMany(
            Measured,
            [&](int i) { return newFiles ? catalogVersion(first + i, 0) : catalogVersion(spread(i, files), version); },
            batched);
        if (seconds < 0)
            return state.SkipWithError("registration failed");
        catalog->versions += Measured;
        if (newFiles)
            catalog->registered += Measured;
        else
            ++catalog->laterRuns;
        state.SetIterationTime(seconds);
    }
    report(state,
           newFiles ? (batched ? QStringLiteral("registration_batches") : QStringLiteral("registration"))
                    : QStringLiteral("second_version"),
           Measured / seconds);
}

void BM_Registration(benchmark::State& state)
{
    runRegistration(state, true);
}

void BM_RegistrationBatches(benchmark::State& state)
{
    runRegistration(state, true, true);
}

void BM_SecondVersion(benchmark::State& state)
{
    runRegistration(state, false);
}

// Two passes over the same files, other files for each measure. The first maps the pages it
// touches into the process, a page fault each (dear on a virtual machine), as an agent pays once
// after starting; the second is what the agent pays from then on, the measure's value.
void runLookups(benchmark::State& state, const QString& measure, bool pointInTime)
{
    const int files = int(state.range(0));
    if (catalogOf(files) == nullptr)
        return state.SkipWithError("the catalog could not be built");
    const int offset = pointInTime ? 2 * Measured : Measured;  // files the second versions did not go to
    double seconds[2] = {0, 0};
    for (auto _ : state) {
        DatabaseConnection connection(DatabasePool::defaultPool());
        for (double& pass : seconds) {
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < Measured; ++i) {
                const int file = spread(i + offset, files);
                const QSharedPointer<CloudFile> found = CloudFile::select_(Destination, catalogPath(file), connection);
                if (found.isNull())
                    return state.SkipWithError("a file was not found");
                if (pointInTime &&
                    CloudFileVersion::selectPointInTime(found->id(), Base.addSecs(file).addDays(1), connection).isNull())
                    return state.SkipWithError("a version was not found");
            }
            pass = timer.nsecsElapsed() / 1e9;
        }
        state.SetIterationTime(seconds[1]);
    }
    const QString first = measure + QStringLiteral("_first_pass");
    const double firstUs = seconds[0] / Measured * 1e6;
    if (files == BaseSize)
        g_first[first] = firstUs;
    state.counters["first_pass_us"] = firstUs;
    state.counters["first_pass_x100k"] = firstUs / g_first.value(first, firstUs);
    report(state, measure, seconds[1] / Measured * 1e6);
}

void BM_FileLookup(benchmark::State& state)
{
    runLookups(state, QStringLiteral("file_lookup"), false);
}

void BM_PointInTime(benchmark::State& state)
{
    runLookups(state, QStringLiteral("point_in_time"), true);
}

void BM_RepositorySize(benchmark::State& state)
{
    Catalog* catalog = catalogOf(int(state.range(0)));
    if (catalog == nullptr)
        return state.SkipWithError("the catalog could not be built");
    const auto perMillionMB = [](qint64 bytes, qint64 versions) {
        return double(bytes) / double(versions) * 1e6 / (1024.0 * 1024.0);
    };
    double afterMeasures = 0;
    for (auto _ : state)
        afterMeasures = perMillionMB(catalog->repository->sqliteBytes(), catalog->versions);
    // After the measures' scattered second versions, whose inserts split pages.
    state.counters["after_measures_MB"] = afterMeasures;
    report(state, QStringLiteral("repository_size"), perMillionMB(catalog->filledBytes, catalog->files));
}

// ---- The purge repository: N files of 5 versions, one in a hundred deleted locally long ago ----

bool fillPurge(int files)
{
    const QList<int> ages{400, 200, 100, 40, 10};
    QVector<qint64> folderIds;
    {
        DatabaseConnection connection(DatabasePool::defaultPool());
        for (int folder = 0; folder * 1000 < files; ++folder) {
            const auto created =
                CloudFolder::selectOrInsert(Destination, QStringLiteral("/data/f%1").arg(folder), connection);
            if (created.isNull())
                return false;
            folderIds << qint64(created->id());
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(g_purge->sqlitePath()).constData(), &db) != SQLITE_OK)
        return false;
    bool ok = sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) == SQLITE_OK;
    {
        RawStatement file, version;
        ok = ok && file.prepare(db,
                                "insert into cloud_files (id, destination_id, parent_id, cloud_path, local_path, "
                                "file_name, display_name, size, original_size, date_modified_utc, is_compressed, "
                                "is_encrypted, is_simple, is_broken, date_deleted_utc) values "
                                "(?, 1, ?, ?, ?, ?, ?, 100, 100, ?, 0, 0, 0, 0, ?)") &&
             version.prepare(db,
                             "insert into cloud_file_versions (file_id, cloud_path, size, original_size, "
                             "date_modified_utc, attributes, is_compressed, is_encrypted, is_simple, is_broken, "
                             "upload_id, date_backedup_utc) values (?, ?, 100, 100, ?, 0, 0, 0, 0, 0, '', ?)");
        auto code = [](const QDateTime& date) { return date.toString(QStringLiteral("yyyyMMddhhmmss")).toLongLong(); };
        for (int i = 0; i < files && ok; ++i) {
            const QString name = QStringLiteral("file%1.dat").arg(i);
            const QString path = QStringLiteral("/data/f%1/").arg(i / 1000) + name;
            const QString object = QStringLiteral("obj/%1").arg(i + 1);
            ok = file.i64(i + 1)
                     .i64(folderIds[i / 1000])
                     .text(object)
                     .text(path)
                     .text(name)
                     .text(name)
                     .i64(code(Now.addDays(-10)))
                     .i64(i % 100 == 0 ? code(Now.addDays(-365)) : 99999999999999LL)
                     .run();
            file.reset();
            for (int age : ages) {
                const QDateTime modified = Now.addDays(-age).addSecs(i % 86400);
                const QString versionObject = object + QStringLiteral("/%1").arg(age);
                ok = ok && version.i64(i + 1).text(versionObject).i64(code(modified)).i64(code(modified.addSecs(600))).run();
                version.reset();
            }
        }
    }
    ok = sqlite3_exec(db, ok ? "commit" : "rollback", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    sqlite3_close(db);
    return ok;
}

bool purgeRepository(int files)
{
    if (g_purge && g_purgeFiles == files)
        return true;
    g_purge.reset();
    g_catalog.reset();
    g_purge = std::make_unique<BenchRepository>(BenchRepository::Engine::SQLite);
    QElapsedTimer timer;
    timer.start();
    if (!g_purge->isOpen() || !fillPurge(files) || !reopenLibrary()) {
        g_purge.reset();
        return false;
    }
    g_purgeFiles = files;
    std::fprintf(stderr, "bench_scale: purge repository of %d files x 5 versions filled in %lld ms\n", files,
                 timer.elapsed());
    return true;
}

CheckCloudFiles4Purge everyRule()
{
    CheckCloudFiles4Purge purge(Destination);
    purge.setCurrentTime(Now);
    purge.keepNumberOfVersion(true, 3);
    purge.deleteVersionOlder(true, 30, true, CheckCloudFiles4Purge::ModifiedDate);
    purge.deleteLocalyDeleted(true, 90);
    return purge;
}

// The selection through selectEach, nothing kept, or through files().
void runPurge(benchmark::State& state, bool streamed)
{
    if (!purgeRepository(int(state.range(0))))
        return state.SkipWithError("the purge repository could not be built");
    CheckCloudFiles4Purge purge = everyRule();
    const QStringList paths{QStringLiteral("/data/")};
    qint64 picks = 0;
    double seconds = 0;
    MemoryPeak peak;
    for (auto _ : state) {
        DatabaseConnection connection(DatabasePool::defaultPool());
        QElapsedTimer timer;
        timer.start();
        picks = 0;
        bool done = true;
        if (streamed) {
            done = purge.selectEach(paths, connection, [&](const CheckCloudFiles4Purge::Pick&) {
                if (++picks % 4096 == 0)
                    peak.sample();
                return true;
            });
        } else {
            const CheckCloudFiles4Purge::Picks all = purge.files(paths, connection);
            peak.sample();
            picks = all.size();
        }
        if (!done)
            return state.SkipWithError("the selection failed");
        seconds = timer.nsecsElapsed() / 1e9;
        peak.sample();
    }
    state.counters["picks"] = double(picks);
    peak.report(state);
    report(state, streamed ? QStringLiteral("purge_stream") : QStringLiteral("purge_files"), seconds);
}

void BM_PurgeStream(benchmark::State& state)
{
    runPurge(state, true);
}

void BM_PurgeFiles(benchmark::State& state)
{
    runPurge(state, false);
    g_purge.reset();
}

// ---- The generation: N files in folders of 100 under 100 top folders, one restore point ----

bool fillGeneration(const QString& path, int files)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK)
        return false;
    bool ok = sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, "insert into restore_points (start_date, sequence_number, is_full) values "
                               "('2024-03-01T22:00:00.000Z', 1, 0)",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
    {
        RawStatement folder, file;
        ok = ok &&
             folder.prepare(db, "insert into folders (display_name, parent_id, restore_point_id, deleted, local_path) "
                                "values (?, ?, 1, 0, ?)") &&
             file.prepare(db, "insert into files (display_name, local_path, original_size, date_modified_utc, "
                              "attributes, is_compressed, parent_id, total_size, hash, deleted, metadata, "
                              "extents_size) values (?, ?, 4096, '2024-03-01T22:00:00.000Z', 0, 1, ?, 4096, ?, 0, "
                              "'', 0)");
        const QByteArray hash(32, 'h');
        auto addFolder = [&](const QString& name, qint64 parent, const QString& local) {
            ok = ok && folder.text(name).i64(parent).text(local).run();
            folder.reset();
            return sqlite3_last_insert_rowid(db);
        };
        const qint64 root = addFolder(QStringLiteral("data"), 0, QStringLiteral("/data"));
        const int folders = (files + ListingFolderFiles - 1) / ListingFolderFiles;
        QVector<qint64> tops;
        for (int top = 0; top < 100; ++top)
            tops << addFolder(QStringLiteral("d%1").arg(top), root, QStringLiteral("/data/d%1").arg(top));
        for (int f = 0; f < folders && ok; ++f) {
            const QString local = QStringLiteral("/data/d%1/s%2").arg(f % 100).arg(f);
            const qint64 row = addFolder(QStringLiteral("s%1").arg(f), tops[f % 100], local);
            for (int k = 0; k < ListingFolderFiles && f * ListingFolderFiles + k < files && ok; ++k) {
                const QString name = QStringLiteral("file%1.dat").arg(k);
                const QString filePath = local + QLatin1Char('/') + name;
                ok = file.text(name).text(filePath).i64(row).blob(hash).run();
                file.reset();
            }
        }
    }
    ok = sqlite3_exec(db, ok ? "commit" : "rollback", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    sqlite3_close(db);
    return ok;
}

void BM_Listing(benchmark::State& state)
{
    const int files = int(state.range(0));
    QTemporaryDir dir;
    QSharedPointer<AttachDatabase> generation =
        AttachDatabase::attach(dir.filePath(QStringLiteral("generation.db")), QUuid::createUuid());
    if (generation.isNull())
        return state.SkipWithError("the generation could not be created");
    const QString path = generation->path();
    QElapsedTimer timer;
    timer.start();
    if (!fillGeneration(path, files))
        return state.SkipWithError("the generation could not be filled");
    // Read as a later run reads it: attached afresh, which gathers its statistics.
    generation.reset();
    generation = AttachDatabase::attach(path, QUuid::createUuid());
    if (generation.isNull())
        return state.SkipWithError("the generation could not be attached again");
    std::fprintf(stderr, "bench_scale: generation of %d files filled in %lld ms\n", files, timer.elapsed());

    qint64 items = 0;
    double seconds = 0;
    MemoryPeak peak;
    for (auto _ : state) {
        QElapsedTimer walkTimer;
        walkTimer.start();
        FileListingRecursive listing({QStringLiteral("/data")}, QDateTime(), false, false,
                                     generation->attachedDatabasePool());
        items = 0;
        for (FileListingRecursive::Item item = listing.next(); !item.first.isNull() || !item.second.isNull();
             item = listing.next()) {
            if (++items % 1024 == 0)
                peak.sample();
        }
        if (listing.hasNext().second != 0)
            return state.SkipWithError("the walk failed");
        seconds = walkTimer.nsecsElapsed() / 1e9;
    }
    state.counters["items"] = double(items);
    peak.report(state);
    report(state, QStringLiteral("listing"), seconds);
}

void registerSize(int files)
{
    const auto add = [files](const char* name, void (*function)(benchmark::State&), bool manualTime) {
        auto* benchmark = benchmark::RegisterBenchmark(name, function)
                              ->Arg(files)
                              ->Unit(benchmark::kMillisecond)
                              ->Iterations(1);
        if (manualTime)
            benchmark->UseManualTime();
    };
    add("BM_Registration", BM_Registration, true);
    add("BM_RegistrationBatches", BM_RegistrationBatches, true);
    add("BM_SecondVersion", BM_SecondVersion, true);
    add("BM_FileLookup", BM_FileLookup, true);
    add("BM_PointInTime", BM_PointInTime, true);
    add("BM_RepositorySize", BM_RepositorySize, false);
    add("BM_PurgeStream", BM_PurgeStream, false);
    add("BM_PurgeFiles", BM_PurgeFiles, false);
    add("BM_Listing", BM_Listing, false);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("SQL.debug=false\nSQL.info=false"));
    const int largest = qEnvironmentVariableIsSet("RPX_BENCH_SCALE") ? qEnvironmentVariableIntValue("RPX_BENCH_SCALE")
                                                                     : 1000000;
    for (int files = BaseSize; files <= qMax(largest, BaseSize); files *= 10)
        registerSize(files);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_catalog.reset();
    g_purge.reset();
    return 0;
}
