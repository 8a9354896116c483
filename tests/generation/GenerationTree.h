#pragma once

#include "GenerationFixture.h"

#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/generation/Files.h>
#include <rpxRepository/generation/Folders.h>
#include <rpxRepository/generation/RestorePoints.h>

#include <QHash>

namespace gentest {

// A row as "<path> @<run>", marked " deleted"; folders start with "D ", files with "F ".
inline QString describe(const char* kind, const QString& path, qint64 run, bool deleted)
{
    return QStringLiteral("%1 %2 @%3%4").arg(QLatin1String(kind), path).arg(run).arg(deleted ? " deleted" : "");
}
inline QString describe(const RPX::SQL::Generation::Folders& f)
{
    return describe("D", f.localPath(), f.restorePointId(), f.deleted());
}
inline QString describe(const RPX::SQL::Generation::Files& f)
{
    return describe("F", f.localPath(), f.originalSize(), f.deleted());
}
template <class T>
QStringList describe(const QList<QSharedPointer<T>>& rows)
{
    QStringList list;
    for (const QSharedPointer<T>& item : rows)
        list << describe(*item);
    return list;
}

// Three restore points a day apart, written the way backup runs write them: a run adds rows only
// for what changed, plus a row for each folder on the way, whose parent may be a row of an earlier
// run. A file's original size is the number of the run that wrote it.
//
//   1: /data: readme.md; /data/docs: a.txt, b.txt; /data/docs/old: x.txt; /data/docs-archive;
//      /data/pics: p1.jpg; /data/tmp: t.log
//   2: a.txt changed; /data/docs/old deleted with x.txt; t.log deleted; p2.jpg added;
//      /data/music with s.mp3 added
//   3: readme.md changed; b.txt deleted; /data/docs/old back with x.txt and y.txt; /data/tmp deleted
class GenerationTreeTest : public GenerationTest
{
protected:
    void SetUp() override
    {
        GenerationTest::SetUp();
        DatabaseConnection connection(pool());
        // Folder rows name their restore point by its id; the tree relies on ids 1 to 3.
        for (int n = 1; n <= 3; ++n)
            ASSERT_EQ(insertPoint(connection, n, startOf(n)).id(), quint64(n));
        // A folder row, its parent row and its files; "-" marks a deleted row.
        const QList<QStringList> rows = {
            {"/data@1", "", "readme.md"},          {"/data/docs@1", "/data@1", "a.txt", "b.txt"},
            {"/data/docs-archive@1", "/data@1"},   {"/data/docs/old@1", "/data/docs@1", "x.txt"},
            {"/data/pics@1", "/data@1", "p1.jpg"}, {"/data/tmp@1", "/data@1", "t.log"},
            {"/data/docs@2", "/data@1", "a.txt"},  {"-/data/docs/old@2", "/data/docs@2", "-x.txt"},
            {"/data/pics@2", "/data@1", "p2.jpg"}, {"/data/tmp@2", "/data@1", "-t.log"},
            {"/data/music@2", "/data@1", "s.mp3"}, {"/data@3", "", "readme.md"},
            {"/data/docs@3", "/data@3", "-b.txt"}, {"/data/docs/old@3", "/data/docs@3", "x.txt", "y.txt"},
            {"-/data/tmp@3", "/data@3"},
        };
        const auto deleted = [](const QString& name) { return name.startsWith('-'); };
        for (const QStringList& spec : rows) {
            const QString key = spec.at(0).mid(deleted(spec.at(0)));
            folder(connection, key, spec.at(1), deleted(spec.at(0)));
            for (const QString& name : spec.mid(2))
                file(connection, key, name.mid(deleted(name)), deleted(name));
        }
    }

    static QDateTime startOf(int point) { return QDateTime(QDate(2024, 3, point), QTime(22, 0), Qt::UTC); }

    // The row id of a folder written by a run, keyed "<path>@<run>".
    quint64 row(const QString& key) const { return m_rows.value(key); }

    void folder(DatabaseConnection& connection, const QString& key, const QString& parentKey, bool deleted = false,
                const QString& prefix = QString())
    {
        const QString path = key.section(QLatin1Char('@'), 0, 0);
        RPX::SQL::Generation::Folders folder;
        folder.setDisplayName(path.section(QLatin1Char('/'), -1));
        folder.setLocalPath(path);
        folder.setParentId(row(parentKey));
        folder.setRestorePointId(key.section(QLatin1Char('@'), 1).toULongLong());
        folder.setDeleted(deleted);
        EXPECT_EQ(folder.insert(prefix, connection), RPX::SQL::Result::Ok) << key.toStdString();
        m_rows.insert(key, folder.id());
    }

    void file(DatabaseConnection& connection, const QString& folderKey, const QString& name, bool deleted,
              const QString& prefix = QString())
    {
        RPX::SQL::Generation::Files file;
        file.setDisplayName(name);
        file.setLocalPath(folderKey.section(QLatin1Char('@'), 0, 0) + QLatin1Char('/') + name);
        file.setParentId(row(folderKey));
        file.setOriginalSize(folderKey.section(QLatin1Char('@'), 1).toLongLong());
        file.setDateModificationUtc(startOf(1));
        file.setDeleted(deleted);
        EXPECT_EQ(file.insert(prefix, connection), RPX::SQL::Result::Ok) << name.toStdString();
    }

    QHash<QString, quint64> m_rows;
};

}  // namespace gentest
