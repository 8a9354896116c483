// Registration and lookup of file versions at scale, each measured against a baseline that runs
// the library's own SQLite statements directly on the sqlite3 C API (RawCatalog: every statement
// prepared once and reused, all inside one transaction), in the same process on the same data.
//
// The catalog: 20 files a folder, folders four to six levels deep. SQLite benchmarks:
//   RegisterAutocommit      2 000 files through CloudFileVersion::insert (file id 0) without a
//                           transaction, with the statement cache and without it (see compareCache)
//   RegisterInTransactions  100 000 files the same way, in Transactions of 1 000 files
//   AddSecondVersion        a second version of each of them, in Transactions of 1 000 files
//   PointInTime, FileLookup CloudFileVersion::selectPointInTime and CloudFile::select_ over that
//                           catalog, one lookup at a time (latency)
//   RepositorySize          repository file plus its WAL after a checkpoint, per million versions
//   RegisterBatches         100 000 files through CloudFileVersion::insertBatch, 1 000 a batch
//   AddSecondVersionBatches a second version of each of them with its file id set, 1 000 a batch;
//                           the baseline runs the version inserts alone for them. In both, the
//                           baseline commits each batch, as the library does.
// PostgreSQL benchmarks (no baseline):
//   PgRegisterInTransactions  10 000 files in Transactions of 1 000, with the statement cache and
//                             without it ("before the cache", see compareCache)
//   PgRegisterBatches         10 000 files, then a second version of each with its file id set, in
//                             batches of 1 000 through insertBatch, beside the same one by one
//
// Counters: items_per_second is the library's throughput (with the cache); base_items/s the
// baseline's; lib/base the library's throughput over the baseline's, or for lookups the library's
// latency over the baseline's (lib_us, base_us per lookup); nocache_items/s and cache/nocache the
// library without its statement cache; stmts/file statements per file; trips/file round trips to
// the server per file, estimated from the statements counted (see pgRoundTrips).
//
// One engine per process, as the library keeps one process-wide pool: without RPX_BENCH_ENGINE the
// program runs the SQLite benchmarks, then itself again with RPX_BENCH_ENGINE=postgresql for the
// PostgreSQL one, which is skipped with a message when RPX_TEST_PGSQL is unset;
// RPX_BENCH_ENGINE=sqlite runs the SQLite benchmarks alone. The second process gets the same
// arguments, so run the engines one at a time when writing --benchmark_out. Each benchmark works
// in fresh repositories in temporary folders; the later SQLite benchmarks share the catalog that
// RegisterInTransactions builds (and build it themselves when run alone).

#include "support/BenchRepository.h"
#include "support/RawCatalog.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/StatementCache.h>
#include <rpxRepository/database/Transaction.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QVector>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <iostream>
#include <memory>

using namespace RPX::SQL;
using rpxbench::BenchRepository;
using rpxbench::RawCatalog;
using rpxbench::VersionData;
using rpxbench::libraryVersion;
using rpxbench::numberedVersion;

namespace {

constexpr int FilesPerFolder = 20;
constexpr int Batch = 1000;  // files per transaction
constexpr int AutocommitFiles = 2000;
constexpr int CatalogFiles = 100000;
constexpr int PgFiles = 10000;
constexpr int Lookups = 20000;
constexpr quint64 Destination = 1;
constexpr quint64 UncachedDestination = 2;  // the same files, registered without the statement cache
const QDateTime FirstModified(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);

// ---- The data: the same values for the library and the baseline ----

// Folder of a group of 20 files: four named levels, then none, one or two more.
QString folderPath(int folder)
{
    QString path = QStringLiteral("/set%1/user%2/project%3/dir%4")
                       .arg(folder / 1000)
                       .arg(folder / 100 % 10)
                       .arg(folder / 10 % 10)
                       .arg(folder % 10);
    if (folder % 3 >= 1)
        path += QStringLiteral("/src");
    if (folder % 3 == 2)
        path += QStringLiteral("/Module");
    return path;
}

QString filePath(int file)
{
    return folderPath(file / FilesPerFolder) + QStringLiteral("/Report_%1.pdf").arg(file % FilesPerFolder);
}

// Version 0, 1, … of a file, a week apart.
QDateTime modifiedOf(int file, int version)
{
    return FirstModified.addSecs(file).addDays(7 * version);
}

VersionData versionOf(int file, int version)
{
    return numberedVersion(file, version, filePath(file), modifiedOf(file, version), ".blob");
}

QVector<VersionData> batchOf(int firstFile, int count, int version)
{
    QVector<VersionData> batch;
    batch.reserve(count);
    for (int file = firstFile; file < firstFile + count; ++file)
        batch.append(versionOf(file, version));
    return batch;
}

// ---- Statements seen by the library's ExecQuery ----

struct StatementCount
{
    qint64 statements = 0;
    bool collectTexts = false;
    QSet<QString> texts;
};
StatementCount g_seen;

void observe(const QString& statement)
{
    ++g_seen.statements;
    if (g_seen.collectTexts)
        g_seen.texts.insert(statement);
}

// ---- The library's side ----

// CloudFileVersion::insert with file id 0, as the agent registers what it backed up.
bool libraryInsert(const VersionData& data, quint64 destination, DatabaseConnection& connection, quint64* fileId)
{
    CloudFileVersion version = libraryVersion(data);
    if (!version.insert(destination, connection))
        return false;
    *fileId = version.fileId();
    return true;
}

// One batch through the library, inside a Transaction or statement by statement; seconds spent.
double libraryBatch(const QVector<VersionData>& batch, quint64 destination, bool inTransaction,
                    QVector<quint64>* fileIds = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    DatabaseConnection connection(DatabasePool::defaultPool());
    std::unique_ptr<Transaction> transaction;
    if (inTransaction)
        transaction = std::make_unique<Transaction>(connection);
    for (const VersionData& data : batch) {
        quint64 fileId = 0;
        if (!libraryInsert(data, destination, connection, &fileId))
            return -1;
        if (fileIds != nullptr)
            fileIds->append(fileId);
    }
    if (transaction && !transaction->commit())
        return -1;
    return timer.nsecsElapsed() / 1e9;
}

// One batch through CloudFileVersion::insertBatch, in its own transaction: new files, or versions of
// the files whose ids `known` lists; seconds spent.
double libraryInsertBatch(const QVector<VersionData>& batch, quint64 destination, const quint64* known = nullptr,
                          QVector<quint64>* fileIds = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    QVector<CloudFileVersion> versions;
    versions.reserve(batch.size());
    for (int i = 0; i < batch.size(); ++i) {
        versions << libraryVersion(batch.at(i));
        if (known != nullptr)
            versions.last().setFileId(known[i]);
    }
    DatabaseConnection connection(DatabasePool::defaultPool());
    if (CloudFileVersion::insertBatch(destination, versions, connection) != Result::Ok)
        return -1;
    if (fileIds != nullptr) {
        for (const CloudFileVersion& version : qAsConst(versions))
            fileIds->append(version.fileId());
    }
    return timer.nsecsElapsed() / 1e9;
}

// The baseline's registration; with `known` file ids only the version inserts run.
double baselineBatch(RawCatalog& baseline, const QVector<VersionData>& batch, QVector<quint64>* fileIds = nullptr,
                     const quint64* known = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < batch.size(); ++i) {
        const VersionData& data = batch.at(i);
        quint64 fileId = 0;
        if (known != nullptr ? baseline.insertVersionOf(known[i], data) == 0
                             : baseline.insertVersion(Destination, data, &fileId) == 0)
            return -1;
        if (fileIds != nullptr)
            fileIds->append(fileId);
    }
    return timer.nsecsElapsed() / 1e9;
}

// ---- The shared SQLite catalog ----

// The library's repository and the baseline's copy of its schema, filled with the same files.
struct Catalog
{
    std::unique_ptr<BenchRepository> repository;
    std::unique_ptr<RawCatalog> baseline;
    QVector<quint64> fileIds;      // in the library's repository, by file number
    QVector<quint64> baseFileIds;  // in the baseline's
    int versions = 0;              // versions of each file registered so far
};
std::unique_ptr<Catalog> g_catalog;

// A library repository and a baseline with the same (empty) schema; the baseline opens no
// transaction yet.
bool openPair(std::unique_ptr<BenchRepository>& repository, std::unique_ptr<RawCatalog>& baseline)
{
    repository = std::make_unique<BenchRepository>(BenchRepository::Engine::SQLite);
    if (!repository->isOpen())
        return false;
    const QString copy = repository->folder() + QStringLiteral("baseline.db");
    baseline = std::make_unique<RawCatalog>();
    return RawCatalog::cloneSchema(repository->sqlitePath(), copy) && baseline->open(copy);
}

struct Timings
{
    double library = 0;
    double baseline = 0;
    qint64 libraryStatements = 0;
    qint64 baselineStatements = 0;
};

// Adds version `version` to every file of the catalog (registering the file first when new),
// batch by batch. The library and the baseline take turns, so that a change in the machine's
// load strikes both alike; the baseline's one transaction spans all batches. Batched, the library
// registers each batch with insertBatch, later versions with their file ids set, and the baseline
// then runs the version inserts alone for them.
bool addVersions(Catalog& catalog, int version, Timings& timings, bool batched = false)
{
    const bool firstVersion = version == 0;
    // Batched, the baseline commits each batch as the library does: the same transactions.
    const auto baselineCommit = [&]() {
        QElapsedTimer timer;
        timer.start();
        if (!catalog.baseline->commit())
            return false;
        timings.baseline += timer.nsecsElapsed() / 1e9;
        return true;
    };
    for (int first = 0; first < CatalogFiles; first += Batch) {
        const QVector<VersionData> batch = batchOf(first, Batch, version);
        const qint64 seenBefore = g_seen.statements;
        const qint64 baseBefore = catalog.baseline->statements();
        QVector<quint64>* fileIds = firstVersion ? &catalog.fileIds : nullptr;
        const bool known = batched && !firstVersion;
        const quint64* knownIds = known ? catalog.fileIds.constData() + first : nullptr;
        const double library = batched ? libraryInsertBatch(batch, Destination, knownIds, fileIds)
                                       : libraryBatch(batch, Destination, true, fileIds);
        QElapsedTimer begin;
        begin.start();
        if ((batched || first == 0) && !catalog.baseline->begin())
            return false;
        timings.baseline += begin.nsecsElapsed() / 1e9;
        const double baseline = baselineBatch(*catalog.baseline, batch, firstVersion ? &catalog.baseFileIds : nullptr,
                                              known ? catalog.baseFileIds.constData() + first : nullptr);
        if (library < 0 || baseline < 0 || (batched && !baselineCommit()))
            return false;
        timings.library += library;
        timings.baseline += baseline;
        timings.libraryStatements += g_seen.statements - seenBefore;
        timings.baselineStatements += catalog.baseline->statements() - baseBefore;
    }
    if (!batched && !baselineCommit())
        return false;
    catalog.versions = version + 1;
    return true;
}

// A new catalog with one version of each file.
bool buildCatalog(Timings& timings, bool batched = false)
{
    g_catalog.reset();  // one library repository at a time
    auto catalog = std::make_unique<Catalog>();
    if (!openPair(catalog->repository, catalog->baseline))
        return false;
    catalog->fileIds.reserve(CatalogFiles);
    catalog->baseFileIds.reserve(CatalogFiles);
    if (!addVersions(*catalog, 0, timings, batched))
        return false;
    g_catalog = std::move(catalog);
    return true;
}

// The shared catalog with exactly that many versions of each file, built as far as needed.
Catalog* catalogWith(int versions)
{
    Timings ignored;
    if ((!g_catalog || g_catalog->versions > versions) && !buildCatalog(ignored))
        return nullptr;
    while (g_catalog->versions < versions) {
        if (!addVersions(*g_catalog, g_catalog->versions, ignored))
            return nullptr;
    }
    return g_catalog.get();
}

void reportRegistration(benchmark::State& state, const Timings& timings, int files)
{
    state.SetItemsProcessed(files);
    state.counters["base_items/s"] = files / timings.baseline;
    state.counters["lib/base"] = timings.baseline / timings.library;
    state.counters["stmts/file"] = double(timings.libraryStatements) / files;
    state.counters["base_stmts/file"] = double(timings.baselineStatements) / files;
}

// ---- SQLite benchmarks ----

struct CacheRun
{
    double seconds = 0;
    qint64 statements = 0;
};

struct CacheComparison
{
    bool ok = false;
    CacheRun cached;
    CacheRun uncached;
};

// Registers the first version of `files` files twice into one fresh repository, under Destination
// with the statement cache and under UncachedDestination without it ("before the cache"), taking
// turns every `turn` files so that a change in the machine's load strikes both alike.
CacheComparison compareCache(BenchRepository::Engine engine, int files, int turn, bool inTransactions)
{
    CacheComparison result;
    BenchRepository repository(engine);
    if (!repository.isOpen())
        return result;
    g_seen.texts.clear();  // those of the schema's creation
    for (int first = 0; first < files; first += turn) {
        const QVector<VersionData> batch = batchOf(first, turn, 0);
        for (const bool cache : {true, false}) {
            CacheRun& run = cache ? result.cached : result.uncached;
            const qint64 statements = g_seen.statements;
            StatementCache::setEnabled(cache);
            const double seconds = libraryBatch(batch, cache ? Destination : UncachedDestination, inTransactions);
            StatementCache::setEnabled(true);
            if (seconds < 0)
                return result;
            run.seconds += seconds;
            run.statements += g_seen.statements - statements;
        }
    }
    result.ok = true;
    return result;
}

// Whether the baseline runs exactly the statements the library ran.
void checkSameStatements(const RawCatalog& baseline)
{
    const QStringList texts = baseline.statementTexts();
    const QSet<QString> baselineTexts(texts.begin(), texts.end());
    for (const QString& text : qAsConst(g_seen.texts)) {
        if (!baselineTexts.contains(text))
            std::fprintf(stderr, "bench_catalog: the baseline lacks the library's statement: %s\n", qPrintable(text));
    }
}

void BM_RegisterAutocommit(benchmark::State& state)
{
    g_catalog.reset();  // one library repository at a time
    for (auto _ : state) {
        g_seen.collectTexts = true;
        const CacheComparison library = compareCache(BenchRepository::Engine::SQLite, AutocommitFiles, 250, false);
        g_seen.collectTexts = false;

        Timings timings;
        timings.library = library.cached.seconds;
        timings.libraryStatements = library.cached.statements;
        std::unique_ptr<BenchRepository> repository;
        std::unique_ptr<RawCatalog> baseline;
        bool ok = library.ok && openPair(repository, baseline) && baseline->begin();
        if (ok) {
            checkSameStatements(*baseline);
            timings.baseline = baselineBatch(*baseline, batchOf(0, AutocommitFiles, 0));
            QElapsedTimer commit;
            commit.start();
            ok = timings.baseline >= 0 && baseline->commit();
            timings.baseline += commit.nsecsElapsed() / 1e9;
            timings.baselineStatements = baseline->statements();
        }
        if (!ok) {
            state.SkipWithError("registration failed");
            break;
        }
        state.SetIterationTime(timings.library);
        reportRegistration(state, timings, AutocommitFiles);
        state.counters["nocache_items/s"] = AutocommitFiles / library.uncached.seconds;
        state.counters["cache/nocache"] = library.uncached.seconds / library.cached.seconds;
    }
}

// A new catalog: one version after the other in Transactions, or in batches.
void BM_Register(benchmark::State& state, bool batched)
{
    for (auto _ : state) {
        Timings timings;
        if (!buildCatalog(timings, batched)) {
            state.SkipWithError("registration failed");
            break;
        }
        state.SetIterationTime(timings.library);
        reportRegistration(state, timings, CatalogFiles);
    }
}

void BM_AddSecondVersion(benchmark::State& state, bool batched)
{
    for (auto _ : state) {
        Timings timings;
        Catalog* catalog = catalogWith(1);
        if (catalog == nullptr || !addVersions(*catalog, 1, timings, batched)) {
            state.SkipWithError("adding versions failed");
            break;
        }
        state.SetIterationTime(timings.library);
        reportRegistration(state, timings, CatalogFiles);
    }
}

// Files to look up, in random order (the same for every run).
QVector<int> lookupSample()
{
    QRandomGenerator random(42);
    QVector<int> files(Lookups);
    for (int& file : files)
        file = int(random.bounded(CatalogFiles));
    return files;
}

// Runs the library's and the baseline's lookups in alternating rounds; reports the latencies.
// Each lookup function returns whether it found what it should.
template <class LibraryLookup, class BaselineLookup>
void runLookups(benchmark::State& state, LibraryLookup library, BaselineLookup baseline)
{
    constexpr int Round = 1000;
    const QVector<int> sample = lookupSample();
    for (auto _ : state) {
        double librarySeconds = 0;
        double baselineSeconds = 0;
        bool ok = true;
        QElapsedTimer timer;
        for (int first = 0; first < sample.size() && ok; first += Round) {
            timer.start();
            for (int i = first; i < first + Round; ++i)
                ok = library(sample.at(i)) && ok;
            librarySeconds += timer.nsecsElapsed() / 1e9;
            timer.start();
            for (int i = first; i < first + Round; ++i)
                ok = baseline(sample.at(i)) && ok;
            baselineSeconds += timer.nsecsElapsed() / 1e9;
        }
        if (!ok) {
            state.SkipWithError("a lookup missed");
            break;
        }
        state.SetIterationTime(librarySeconds);
        state.SetItemsProcessed(sample.size());
        state.counters["lib_us"] = librarySeconds / sample.size() * 1e6;
        state.counters["base_us"] = baselineSeconds / sample.size() * 1e6;
        state.counters["lib/base"] = librarySeconds / baselineSeconds;
    }
}

// Points in time between a file's two versions (finding the first) or after both (the second).
QDateTime pointInTimeFor(int file)
{
    return modifiedOf(file, file % 2).addSecs(60);
}

void BM_PointInTime(benchmark::State& state)
{
    Catalog* catalog = catalogWith(2);
    if (catalog == nullptr) {
        state.SkipWithError("no catalog");
        return;
    }
    DatabaseConnection connection(DatabasePool::defaultPool());
    runLookups(
        state,
        [&](int file) {
            const auto version = CloudFileVersion::selectPointInTime(catalog->fileIds.at(file), pointInTimeFor(file),
                                                                     connection);
            return !version.isNull();
        },
        [&](int file) {
            return catalog->baseline->selectPointInTime(catalog->baseFileIds.at(file), pointInTimeFor(file)) != 0;
        });
}

void BM_FileLookup(benchmark::State& state)
{
    Catalog* catalog = catalogWith(2);
    if (catalog == nullptr) {
        state.SkipWithError("no catalog");
        return;
    }
    // The paths are built beforehand: making them is not the lookup's work.
    QVector<QString> paths(CatalogFiles);
    for (int file : lookupSample())
        paths[file] = filePath(file);
    DatabaseConnection connection(DatabasePool::defaultPool());
    runLookups(
        state, [&](int file) { return !CloudFile::select_(Destination, paths.at(file), connection).isNull(); },
        [&](int file) { return catalog->baseline->selectFile(Destination, paths.at(file)) != 0; });
}

void BM_RepositorySize(benchmark::State& state)
{
    Catalog* catalog = catalogWith(2);
    if (catalog == nullptr) {
        state.SkipWithError("no catalog");
        return;
    }
    const double versions = double(CatalogFiles) * catalog->versions;
    for (auto _ : state) {
        const qint64 library = catalog->repository->sqliteBytes();
        const qint64 baseline = catalog->baseline->bytes();
        // Bytes per version, times a million versions, in MB (10^6 bytes).
        state.counters["MB/Mversions"] = library / versions;
        state.counters["base_MB/Mversions"] = baseline / versions;
    }
}

// ---- PostgreSQL benchmark ----

// Round trips to the server, estimated: BEGIN and COMMIT per transaction, and per statement one
// EXECUTE when its prepared query is reused, or PREPARE, EXECUTE and DEALLOCATE when it is
// prepared afresh each time (the few first preparations of the cached statements are left out).
// Counting the client's sends with strace agreed to within 0.1%.
double pgRoundTrips(const CacheRun& run, bool cache)
{
    const qint64 transactions = (PgFiles + Batch - 1) / Batch;
    return double((cache ? 1 : 3) * run.statements + 2 * transactions);
}

void BM_PgRegisterInTransactions(benchmark::State& state)
{
    for (auto _ : state) {
        const CacheComparison runs = compareCache(BenchRepository::Engine::PostgreSQL, PgFiles, Batch, true);
        if (!runs.ok) {
            state.SkipWithError("registration failed");
            break;
        }
        const CacheRun& cached = runs.cached;
        const CacheRun& uncached = runs.uncached;
        state.SetIterationTime(cached.seconds);
        state.SetItemsProcessed(PgFiles);
        state.counters["nocache_items/s"] = PgFiles / uncached.seconds;
        state.counters["cache/nocache"] = uncached.seconds / cached.seconds;
        state.counters["stmts/file"] = double(cached.statements) / PgFiles;
        state.counters["trips/file"] = pgRoundTrips(cached, true) / PgFiles;
        state.counters["nocache_trips/file"] = pgRoundTrips(uncached, false) / PgFiles;
    }
}

void registerSQLiteBenchmarks()
{
    // Iterations(1): each run builds its own data, which takes longer than what it measures.
    const auto once = [](benchmark::internal::Benchmark* benchmark) {
        benchmark->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    once(benchmark::RegisterBenchmark("RegisterAutocommit", BM_RegisterAutocommit));
    once(benchmark::RegisterBenchmark("RegisterInTransactions", BM_Register, false));
    once(benchmark::RegisterBenchmark("AddSecondVersion", BM_AddSecondVersion, false));
    once(benchmark::RegisterBenchmark("PointInTime", BM_PointInTime));
    once(benchmark::RegisterBenchmark("FileLookup", BM_FileLookup));
    // Its time is that of the checkpoints; what it reports are the sizes.
    benchmark::RegisterBenchmark("RepositorySize", BM_RepositorySize)->Iterations(1)->Unit(benchmark::kMillisecond);
    once(benchmark::RegisterBenchmark("RegisterBatches", BM_Register, true));
    once(benchmark::RegisterBenchmark("AddSecondVersionBatches", BM_AddSecondVersion, true));
}

// Versions of known files one by one, in Transactions of a batch each: today's way; seconds spent.
double libraryKnownFiles(const QVector<VersionData>& batch, const quint64* known, quint64 destination)
{
    QElapsedTimer timer;
    timer.start();
    DatabaseConnection connection(DatabasePool::defaultPool());
    Transaction transaction(connection);
    for (int i = 0; i < batch.size(); ++i) {
        CloudFileVersion version = libraryVersion(batch.at(i));
        version.setFileId(known[i]);
        if (!version.insert(destination, connection))
            return -1;
    }
    return transaction.commit() ? timer.nsecsElapsed() / 1e9 : -1;
}

// PgFiles new files, then a second version of each, in batches of 1 000: through insertBatch
// (Destination) and one version after the other (UncachedDestination, with the statement cache),
// taking turns batch by batch. Round trips of the batches are an upper bound: every statement
// counted as prepared afresh (PREPARE, EXECUTE, DEALLOCATE), plus BEGIN and COMMIT.
void BM_PgRegisterBatches(benchmark::State& state)
{
    for (auto _ : state) {
        BenchRepository repository(BenchRepository::Engine::PostgreSQL);
        QVector<quint64> batchIds, singleIds;
        double seconds[2][2] = {{0, 0}, {0, 0}};  // [version][batched]
        qint64 statements[2] = {0, 0};            // of the batches, by version
        bool ok = repository.isOpen();
        for (int version = 0; version < 2 && ok; ++version) {
            for (int first = 0; first < PgFiles && ok; first += Batch) {
                const QVector<VersionData> batch = batchOf(first, Batch, version);
                const qint64 before = g_seen.statements;
                const bool firstVersion = version == 0;
                const double batched =
                    libraryInsertBatch(batch, Destination, firstVersion ? nullptr : batchIds.constData() + first,
                                       firstVersion ? &batchIds : nullptr);
                statements[version] += g_seen.statements - before;
                const double single = version == 0 ? libraryBatch(batch, UncachedDestination, true, &singleIds)
                                                   : libraryKnownFiles(batch, singleIds.constData() + first,
                                                                       UncachedDestination);
                ok = batched >= 0 && single >= 0;
                seconds[version][1] += batched;
                seconds[version][0] += single;
            }
        }
        if (!ok) {
            state.SkipWithError("registration failed");
            break;
        }
        const double transactions = PgFiles / Batch;
        state.SetIterationTime(seconds[0][1]);
        state.SetItemsProcessed(PgFiles);
        state.counters["single_items/s"] = PgFiles / seconds[0][0];
        state.counters["batch/single"] = seconds[0][0] / seconds[0][1];
        state.counters["second_items/s"] = PgFiles / seconds[1][1];
        state.counters["second_single/s"] = PgFiles / seconds[1][0];
        state.counters["second_batch/single"] = seconds[1][0] / seconds[1][1];
        state.counters["stmts/file"] = double(statements[0]) / PgFiles;
        state.counters["trips/file"] = (3.0 * statements[0] + 2 * transactions) / PgFiles;
        state.counters["second_stmts/file"] = double(statements[1]) / PgFiles;
    }
}

void registerPostgreSQLBenchmarks()
{
    for (const auto& [name, function] : {std::make_pair("PgRegisterInTransactions", BM_PgRegisterInTransactions),
                                         std::make_pair("PgRegisterBatches", BM_PgRegisterBatches)})
        benchmark::RegisterBenchmark(name, function)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// The PostgreSQL benchmark in a process of its own, with the same arguments.
int runPostgreSQLProcess(const QStringList& arguments)
{
    if (BenchRepository::pgServer().isEmpty()) {
        std::printf("bench_catalog: PostgreSQL benchmark skipped: RPX_TEST_PGSQL is not set\n");
        return 0;
    }
    std::cout.flush();
    std::fflush(stdout);
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RPX_BENCH_ENGINE"), QStringLiteral("postgresql"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "bench_catalog: the PostgreSQL run failed\n");
        return 1;
    }
    return child.exitCode();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The library's messages on opening each repository would break up the table; warnings still show.
    QLoggingCategory::setFilterRules(QStringLiteral("SQL.debug=false\nSQL.info=false"));
    const QStringList arguments = app.arguments().mid(1);
    const QString engine = qEnvironmentVariable("RPX_BENCH_ENGINE");
    const bool postgres = engine == QLatin1String("postgresql");
    if (postgres && BenchRepository::pgServer().isEmpty()) {
        std::printf("bench_catalog: PostgreSQL benchmark skipped: RPX_TEST_PGSQL is not set\n");
        return 0;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ExecQuery::setStatementObserver(observe);
    if (postgres)
        registerPostgreSQLBenchmarks();
    else
        registerSQLiteBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_catalog.reset();
    ExecQuery::setStatementObserver({});

    // RPX_BENCH_ENGINE=sqlite runs only the SQLite benchmarks.
    return engine.isEmpty() ? runPostgreSQLProcess(arguments) : 0;
}
