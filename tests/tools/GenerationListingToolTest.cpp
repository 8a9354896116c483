// rpxrepo generation ls against a generation written through the library.

#include "support/Printers.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/generation/AttachDatabase.h>
#include <rpxRepository/generation/Files.h>
#include <rpxRepository/generation/Folders.h>
#include <rpxRepository/generation/RestorePoints.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;

namespace {

// The listed paths, " deleted" after each deleted one.
QStringList listing(const QStringList& arguments, int* status)
{
    QProcess process;
    process.start(RPX_TOOL, QStringList{"--json", "generation", "ls"} + arguments);
    process.waitForFinished(60000);
    *status = process.exitCode();
    QStringList paths;
    for (const auto& item : QJsonDocument::fromJson(process.readAllStandardOutput()).object().value("items").toArray())
        paths << item.toObject().value("path").toString() + (item.toObject().value("deleted").toBool() ? " deleted" : "");
    return paths;
}

}  // namespace

TEST(GenerationListingToolTest, ListsWhatARestoreToEachMomentNeeds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("g1.db");
    {
        AttachDatabase generation(path, QUuid::createUuid());
        ASSERT_EQ(generation.attach(), Result::Ok);
        DatabaseConnection connection(generation.attachedDatabasePool());
        // Run 1 writes a.txt and b.txt; run 2 changes a.txt and deletes b.txt.
        for (int run = 1; run <= 2; ++run) {
            RestorePoints point;
            point.setSequenceNumber(run);
            point.setStartDate(QDateTime(QDate(2024, 3, run), QTime(22, 0), Qt::UTC));
            ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
            Folders folder;
            folder.setDisplayName("data");
            folder.setLocalPath("/data");
            folder.setRestorePointId(point.id());
            ASSERT_EQ(folder.insert(QString(), connection), Result::Ok);
            for (const QString name : {"a.txt", "b.txt"}) {
                Files file;
                file.setDisplayName(name);
                file.setLocalPath("/data/" + name);
                file.setParentId(folder.id());
                file.setOriginalSize(run);
                file.setDateModificationUtc(QDateTime(QDate(2024, 3, run), QTime(21, 0), Qt::UTC));
                file.setDeleted(run == 2 && name == "b.txt");
                ASSERT_EQ(file.insert(QString(), connection), Result::Ok);
            }
        }
    }

    int status = -1;
    EXPECT_EQ(listing({path, "--at", "2024-03-01T23:00:00", "/data"}, &status),
              (QStringList{"/data", "/data/a.txt", "/data/b.txt"}));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listing({path, "--only-files", "--skip-deleted", "/data"}, &status), QStringList{"/data/a.txt"});

    // A missing generation is an error, never a new empty file.
    listing({dir.filePath("none.db"), "/data"}, &status);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(QFile::exists(dir.filePath("none.db")));
}
