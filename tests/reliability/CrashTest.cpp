#include "reliability/ReliabilitySupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>

#include <QHash>
#include <iostream>
#include <random>

using namespace RPX::SQL;
using reliability::scalar;

namespace {

constexpr int Kills = 24;

struct Ack
{
    unsigned long long versionId;
    unsigned long long fileId;
    QString path;
};

bool parseAck(const QString& line, Ack& ack)
{
    const QStringList parts = line.split(QLatin1Char(' '));
    if (parts.size() != 6 || parts[0] != QLatin1String("ack"))
        return false;
    ack = {parts[1].toULongLong(), parts[2].toULongLong(), parts[5]};
    return true;
}

QStringList ids(DatabaseConnection& connection, const QString& sql)
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

class CrashTest : public rpxtest::RepositoryTest
{
};

// A writer killed with SIGKILL at random moments, in autocommit and inside transactions, never
// costs an acknowledged version, its file or its folder chain, and never leaves a damaged file.
TEST_P(CrashTest, KilledWriterLosesNothingAcknowledged)
{
    resetProcessState();
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    QList<Ack> acknowledged;
    int survived = 0;
    for (int run = 0; run < Kills; ++run) {
        const bool inTransactions = run % 2 == 1;
        reliability::Child writer;
        ASSERT_TRUE(writer.start({QStringLiteral("register"),
                                  inTransactions ? QStringLiteral("transaction") : QStringLiteral("autocommit"),
                                  QString::number(run)}));
        ASSERT_EQ(writer.readLine(), QStringLiteral("ready")) << "run " << run;

        // The kill lands after a random number of acknowledgements, wherever the writer then is.
        const int killAfter = int(random() % 40);
        QStringList lines;
        for (int seen = 0; seen < killAfter; ++seen) {
            const QString line = writer.readLine();
            ASSERT_FALSE(line.isEmpty()) << "writer stopped in run " << run;
            lines << line;
        }
        lines << writer.kill();
        ASSERT_TRUE(writer.killed()) << "run " << run;
        for (const QString& line : lines) {
            Ack ack;
            ASSERT_TRUE(parseAck(line, ack)) << line.toStdString();
            acknowledged << ack;
        }

        ASSERT_TRUE(Database::init(false)) << "run " << run;
        {
            DatabaseConnection connection(DatabasePool::defaultPool());
            ASSERT_EQ(scalar(connection, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"))
                << "run " << run;
            EXPECT_EQ(ids(connection, QStringLiteral("select v.id from cloud_file_versions v left join cloud_files f "
                                                     "on f.id = v.file_id where f.id is null")),
                      QStringList());
            EXPECT_EQ(ids(connection, QStringLiteral("select f.id from cloud_files f left join cloud_folders p on "
                                                     "p.id = f.parent_id where p.id is null")),
                      QStringList());

            QHash<unsigned long long, unsigned long long> versionFile;
            QSqlQuery versions = connection.query();
            ASSERT_TRUE(versions.exec(QStringLiteral("select id, file_id from cloud_file_versions")));
            while (versions.next())
                versionFile.insert(versions.value(0).toULongLong(), versions.value(1).toULongLong());
            QHash<unsigned long long, QPair<QString, unsigned long long>> files;
            QSqlQuery fileRows = connection.query();
            ASSERT_TRUE(fileRows.exec(QStringLiteral("select id, local_path, parent_id from cloud_files")));
            while (fileRows.next())
                files.insert(fileRows.value(0).toULongLong(),
                             {fileRows.value(1).toString(), fileRows.value(2).toULongLong()});

            QHash<unsigned long long, QString> folderPaths;
            for (const Ack& ack : acknowledged) {
                ASSERT_EQ(versionFile.value(ack.versionId), ack.fileId) << "version " << ack.versionId;
                ASSERT_TRUE(files.contains(ack.fileId)) << "file " << ack.fileId;
                const auto& [localPath, folderId] = files.value(ack.fileId);
                ASSERT_EQ(localPath, ack.path);
                if (!folderPaths.contains(folderId))
                    folderPaths.insert(folderId, CloudFolder::selectPath(folderId, connection));
                EXPECT_EQ(folderPaths.value(folderId), ack.path.section(QLatin1Char('/'), 0, -2) + QLatin1Char('/'));
            }
        }
        resetProcessState();
        ++survived;
    }
    std::cout << "[ crash    ] " << survived << " kills survived, " << acknowledged.size()
              << " acknowledged versions all present, seed " << seed << std::endl;
    EXPECT_EQ(survived, Kills);
    EXPECT_GT(acknowledged.size(), Kills);
}

INSTANTIATE_TEST_SUITE_P(, CrashTest, ::testing::Values(rpxtest::DatabaseType::SQLite), rpxtest::engineName);
