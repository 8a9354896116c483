#pragma once

#include "Files.h"
#include "Folders.h"

#include <rpxRepository/database/DatabasePool.h>

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

namespace RPX::SQL::Generation {

// Walks a generation's tree as it stood at a moment and hands out its files and folders one at a
// time: first the given file paths, then the given folders breadth-first, each folder before its
// files. No statement stays open between calls; the walk holds one expanded folder's rows and the
// folder paths still to expand. Paths use "/" as separator and are compared exactly as stored.
class FileListingRecursive
{
public:
    static const QString ClassName;

    // A file in the first member or a folder in the second; both null when nothing is left.
    using Item = QPair<QSharedPointer<Files>, QSharedPointer<Folders>>;

    // The view is every restore point started at or before upTo (all of them for an invalid upTo).
    // The pool must outlive the object.
    FileListingRecursive(const QStringList& paths, const QDateTime& upTo, bool onlyFiles, bool skipDeleted,
                         QPointer<DatabasePool>& pool);
    virtual ~FileListingRecursive();

    FileListingRecursive(const FileListingRecursive&) = delete;
    FileListingRecursive& operator=(const FileListingRecursive&) = delete;

    // (false, code) once a lookup failed. True may still end in nothing: the walk ends when next()
    // returns two null pointers.
    TestResult hasNext() const;
    bool isFinished() const;
    Item next();
    // Queues the folder's row, its files and its subfolder paths.
    void next(const QString& folderPath);
    // Drops the queued files of that folder row and every pending folder path below it.
    void skipFolderListing(QSharedPointer<Folders> folder);
    void skipFolderListing(const QString& folderPath);

private:
    int m_code = 0;
    QStringList m_filePaths;
    QStringList m_folderPaths;
    QList<quint64> m_restorePointIds;
    bool m_onlyFiles = false;
    bool m_skipDeleted = false;
    QPointer<DatabasePool>& m_pool;
    QList<QSharedPointer<Files>> m_fileQueue;
    QList<QSharedPointer<Folders>> m_folderQueue;
};

}  // namespace RPX::SQL::Generation
