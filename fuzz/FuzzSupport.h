#pragma once

// What the fuzz targets share: Qt set up once, quiet logging, a scratch SQLite catalog and checks
// that abort (so that libFuzzer keeps the input) when an invariant breaks.

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#define RPX_FUZZ_CHECK(condition)                                                                  \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace rpxfuzz {

// A process-wide application (Qt's SQL drivers need one); log lines are dropped, since failing
// inputs log on every run and the output would cost more than the work.
inline void initQt(int* argc, char*** argv)
{
    static QCoreApplication* application = new QCoreApplication(*argc, *argv);
    (void)application;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

// A folder for the run's files, in memory where the system offers it, removed when the process
// ends (without Qt: at exit Qt's own globals may already be gone).
inline QString scratchFolder()
{
    static std::string folder;
    if (folder.empty()) {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/rpx-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        folder = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        });
    }
    return QString::fromStdString(folder);
}

// A throwaway SQLite catalog in a pool of its own, with one connection held for the whole run.
// Made with new and never destroyed: at exit Qt's own globals are gone before any static would go.
class ScratchCatalog
{
public:
    explicit ScratchCatalog(const QStringList& schema)
    {
        QSqlDatabase master = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz-master"));
        master.setDatabaseName(scratchFolder() + QStringLiteral("/catalog.db"));
        if (!master.open())
            std::abort();
        m_pool = new RPX::SQL::DatabasePool();
        if (!m_pool->initDatabase(master))
            std::abort();
        m_connection = std::make_unique<RPX::SQL::DatabaseConnection>(m_pool);
        // Durability is of no use here; speed is.
        for (const QString& statement : QStringList{QStringLiteral("PRAGMA journal_mode=MEMORY"),
                                                    QStringLiteral("PRAGMA synchronous=OFF")} +
                                            schema)
            if (!run(statement))
                std::abort();
    }

    RPX::SQL::DatabaseConnection& connection() { return *m_connection; }

    bool run(const QString& statement)
    {
        QSqlQuery query = m_connection->query();
        return query.exec(statement);
    }

private:
    QPointer<RPX::SQL::DatabasePool> m_pool;
    std::unique_ptr<RPX::SQL::DatabaseConnection> m_connection;
};

}  // namespace rpxfuzz
