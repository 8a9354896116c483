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

QStringList listing(const QStringList& arguments, int* status)
{
    QProcess process;
    process.start(QStringLiteral(RPX_TOOL), QStringList{QStringLiteral("--json"), QStringLiteral("generation"),
                                                         QStringLiteral("ls")} + arguments);
    process.waitForFinished(60000);
    *status = process.exitCode();
    QStringList paths;
    const QJsonArray items = QJsonDocument::fromJson(process.readAllStandardOutput()).object().value(QStringLiteral("items")).toArray();
    for (const auto& item : items)
        paths << item.toObject().value(QStringLiteral("path")).toString() +
                     (item.toObject().value(QStringLiteral("deleted")).toBool() ? QStringLiteral(" deleted") : QString());
    return paths;
}

}  // namespace

TEST(GenerationListingToolTest, ListsWhatARestoreToEachMomentNeeds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("g1.db"));
    {
        AttachDatabase generation(path, QUuid::createUuid());
        ASSERT_EQ(generation.attach(), Result::Ok);
        DatabaseConnection connection(generation.attachedDatabasePool());
        quint64 folderOf[3] = {0, 0, 0};
        for (int run = 1; run <= 2; ++run) {
            RestorePoints point;
            point.setSequenceNumber(run);
            point.setStartDate(QDateTime(QDate(2024, 3, run), QTime(22, 0), Qt::UTC));
            ASSERT_EQ(point.insert(QString(), connection), Result::Ok);
            Folders folder;
            folder.setDisplayName(QStringLiteral("data"));
            folder.setLocalPath(QStringLiteral("/data"));
            folder.setRestorePointId(point.id());
            ASSERT_EQ(folder.insert(QString(), connection), Result::Ok);
            folderOf[run] = folder.id();
            // Run 1 writes a.txt and b.txt; run 2 changes a.txt and deletes b.txt.
            for (const char* name : {"a.txt", "b.txt"}) {
                Files file;
                file.setDisplayName(QString::fromLatin1(name));
                file.setLocalPath(QStringLiteral("/data/") + QString::fromLatin1(name));
                file.setParentId(folderOf[run]);
                file.setOriginalSize(run);
                file.setDateModificationUtc(QDateTime(QDate(2024, 3, run), QTime(21, 0), Qt::UTC));
                file.setDeleted(run == 2 && QLatin1String(name) == QLatin1String("b.txt"));
                ASSERT_EQ(file.insert(QString(), connection), Result::Ok);
            }
        }
    }

    int status = -1;
    EXPECT_EQ(listing({path, QStringLiteral("--at"), QStringLiteral("2024-03-01T23:00:00"), QStringLiteral("/data")},
                      &status),
              (QStringList{QStringLiteral("/data"), QStringLiteral("/data/a.txt"), QStringLiteral("/data/b.txt")}));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listing({path, QStringLiteral("--only-files"), QStringLiteral("--skip-deleted"), QStringLiteral("/data")},
                      &status),
              (QStringList{QStringLiteral("/data/a.txt")}));

    // A missing generation is an error, never a new empty file.
    listing({dir.filePath(QStringLiteral("none.db")), QStringLiteral("/data")}, &status);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("none.db"))));
}
