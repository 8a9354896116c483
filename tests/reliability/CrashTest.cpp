#include "reliability/ReliabilitySupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFile.h>
#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>

#include <iostream>
#include <random>

using namespace RPX::SQL;
using reliability::scalar;

namespace {

constexpr int Kills = 24;

struct Ack
{
    unsigned long long versionId, fileId;
    QString path;
};

}  // namespace

using CrashTest = rpxtest::RepositoryTest;

// A writer killed with SIGKILL at random moments, in autocommit and inside transactions, never
// costs an acknowledged version, its file or its folder chain, and never leaves a damaged file.
TEST_P(CrashTest, KilledWriterLosesNothingAcknowledged)
{
    resetProcessState();
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    QList<Ack> acknowledged;
    for (int run = 0; run < Kills; ++run) {
        reliability::Child writer;
        ASSERT_TRUE(writer.start({QStringLiteral("register"), QLatin1String(run % 2 ? "transaction" : "autocommit"),
                                  QString::number(run)}));
        ASSERT_EQ(writer.readLine(), QStringLiteral("ready")) << "run " << run;

        // The kill lands after a random number of acknowledgements, wherever the writer then is.
        QStringList lines;
        for (int seen = 0, killAfter = int(random() % 40); seen < killAfter; ++seen) {
            lines << writer.readLine();
            ASSERT_FALSE(lines.last().isEmpty()) << "writer stopped in run " << run;
        }
        lines << writer.kill();
        ASSERT_TRUE(writer.killed()) << "run " << run;
        for (const QString& line : lines) {
            // "ack <versionId> <fileId> <run> <sequence> <path>"
            const QStringList parts = line.split(QLatin1Char(' '));
            ASSERT_TRUE(parts.size() == 6 && parts[0] == QLatin1String("ack")) << line.toStdString();
            acknowledged << Ack{parts[1].toULongLong(), parts[2].toULongLong(), parts[5]};
        }

        ASSERT_TRUE(Database::init(false)) << "run " << run;
        {
            DatabaseConnection connection(DatabasePool::defaultPool());
            ASSERT_EQ(scalar(connection, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"))
                << "run " << run;
            EXPECT_EQ(reliability::orphans(connection), QStringList());

            for (const Ack& ack : acknowledged) {
                const auto version = CloudFileVersion::selectById(ack.versionId, connection);
                ASSERT_TRUE(version) << "version " << ack.versionId;
                ASSERT_EQ(version->fileId(), ack.fileId) << "version " << ack.versionId;
                const auto file = CloudFile::select_(1, ack.path, connection);
                ASSERT_TRUE(file) << ack.path.toStdString();
                ASSERT_EQ(file->id(), ack.fileId) << ack.path.toStdString();
                EXPECT_EQ(CloudFolder::selectPath(file->parentId(), connection),
                          ack.path.section(QLatin1Char('/'), 0, -2) + QLatin1Char('/'));
            }
        }
        resetProcessState();
    }
    std::cout << "[ crash    ] " << Kills << " kills survived, " << acknowledged.size()
              << " acknowledged versions all present, seed " << seed << std::endl;
    EXPECT_GT(acknowledged.size(), Kills);
}

INSTANTIATE_TEST_SUITE_P(, CrashTest, ::testing::Values(rpxtest::DatabaseType::SQLite), rpxtest::engineName);
