// Moving a repository from SQLite to PostgreSQL: one million file versions of 250 000 files in
// 2 500 folders, with one million history rows and 10 000 sessions.

#include "support/BenchRepository.h"

#include <rpxRepository/database/RepositoryMigration.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

using rpxbench::BenchRepository;
using RPX::SQL::RepositoryMigration;

namespace {

constexpr int Versions = 1000000;
constexpr int Files = 250000;
constexpr int Folders = 2500;
constexpr int HistoryRows = 1000000;
constexpr int Sessions = 10000;

QString g_source;

// Rows generated inside SQLite: the catalog classes would take far longer to write a million.
bool fill(const QString& path)
{
    const QString series = QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) ");
    const QStringList statements = {
        QStringLiteral("INSERT INTO destination (id, cloud_type, account_id, container, prefix) "
                       "VALUES (1, 'S3', 'account', 'bucket', 'pc1')"),
        series.arg(Folders) +
            QStringLiteral("INSERT INTO cloud_folders (id, name, display_name, parent_id, destination_id) "
                           "SELECT i, 'folder' || i, 'folder' || i, 0, 1 FROM n"),
        series.arg(Files) +
            QStringLiteral("INSERT INTO cloud_files (id, destination_id, parent_id, cloud_path, local_path, file_name, "
                           "display_name, size, original_size, date_modified_utc, is_compressed, is_encrypted, "
                           "is_simple, is_broken) SELECT i, 1, 1 + i % %1, 'files/' || i, '/home/user/documents/folder' "
                           "|| (1 + i % %1) || '/report ' || i || '.docx', 'report ' || i || '.docx', 'report ' || i "
                           "|| '.docx', 1000 + i, 2000 + i, 20240101000000 + i % 60, 0, 1, 0, 0 FROM n")
                .arg(Folders),
        series.arg(Versions) +
            QStringLiteral("INSERT INTO cloud_file_versions (id, file_id, cloud_path, history_path, size, original_size, "
                           "date_modified_utc, attributes, is_compressed, is_encrypted, is_simple, is_broken, upload_id, "
                           "date_backedup_utc, encryptioniv) SELECT i, 1 + i % %1, 'objects/' || hex(randomblob(16)), '', "
                           "1000 + i, 2000 + i, 20240101000000 + i % 60, 32, 0, 1, 0, 0, 'upload' || i, "
                           "20240601000000 + i % 60, randomblob(16) FROM n")
                .arg(Files),
        series.arg(HistoryRows) +
            QStringLiteral("INSERT INTO history (id, destination_id, plan_id, local_path, operation, duration, "
                           "date_finished_utc, date_modified_utc, size, message, session_id, attempts) SELECT i, 1, "
                           "'{6f1c0a52-7c2e-4b8e-9a43-2d1f0e9b7c11}', '/home/user/documents/folder' || (1 + i % %1) || "
                           "'/report ' || i || '.docx', 1, 15, 20240601000000 + i % 60, 20240101000000 + i % 60, "
                           "1000 + i, '', 1 + i % %2, 1 FROM n")
                .arg(Folders)
                .arg(Sessions),
        series.arg(Sessions) +
            QStringLiteral("INSERT INTO session_history (id, destination_id, plan_id, date_start_utc, duration, result, "
                           "uploaded_count, uploaded_size, scanned_count, scanned_size, purged_count, total_count, "
                           "total_size, failed_count, error_message, processor_time, peel_memory_usage) SELECT i, 1, "
                           "'{6f1c0a52-7c2e-4b8e-9a43-2d1f0e9b7c11}', 20240601000000 + i, 60, 0, 100, 100000, 100, "
                           "100000, 0, 100, 100000, 0, '', 5, 1000000 FROM n"),
        QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"),
    };
    bool ok = true;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-fill"));
        database.setDatabaseName(path);
        ok = database.open();
        for (const QString& statement : statements) {
            QSqlQuery query(database);
            if (!ok || !query.exec(statement)) {
                std::fprintf(stderr, "bench_migration: %s\n", qPrintable(query.lastError().text()));
                ok = false;
                break;
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
    return ok;
}

void BM_MigrateToPostgreSQL(benchmark::State& state)
{
    qint64 rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto target = std::make_unique<BenchRepository>(BenchRepository::Engine::PostgreSQL);
        if (!target->isOpen()) {
            state.SkipWithError("no PostgreSQL test server");
            break;
        }
        state.ResumeTiming();
        const RepositoryMigration::Report report = RepositoryMigration(g_source, target->location()).run();
        state.PauseTiming();
        if (!report.ok()) {
            state.SkipWithError(qPrintable(report.message));
            break;
        }
        rows = 0;
        for (const auto& table : report.tables)
            rows += table.rows;
        target.reset();
        state.ResumeTiming();
    }
    state.counters["rows"] = double(rows);
    state.counters["versions"] = Versions;
}
BENCHMARK(BM_MigrateToPostgreSQL)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    g_source = root.filePath(QStringLiteral("source.db"));
    QElapsedTimer setup;
    setup.start();
    {
        BenchRepository repository(BenchRepository::Engine::SQLite);
        if (!repository.isOpen() || !fill(repository.sqlitePath()) || !QFile::copy(repository.sqlitePath(), g_source)) {
            std::fprintf(stderr, "bench_migration: building the source failed\n");
            return 1;
        }
    }
    std::fprintf(stderr, "bench_migration: source of %d versions built in %lld ms\n", Versions, setup.elapsed());

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
