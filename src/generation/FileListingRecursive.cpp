#include "FileListingRecursive.h"

#include "RestorePoints.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/agent/KtlDebug.h>

#include <algorithm>

namespace RPX::SQL::Generation {

namespace {

// The listing reads the generation's own file, whose tables are named bare.
const QString Bare;

}  // namespace

const QString FileListingRecursive::ClassName = QStringLiteral("FileListingRecursive");

FileListingRecursive::FileListingRecursive(const QStringList& paths, const QDateTime& upTo, bool onlyFiles,
                                           bool skipDeleted, QPointer<DatabasePool>& pool)
    : m_onlyFiles(onlyFiles), m_skipDeleted(skipDeleted), m_pool(pool)
{
    DatabaseConnection connection(m_pool);
    const ListResult<RestorePoints> points = upTo.isValid() ? RestorePoints::select(upTo, Bare, 0, 0, connection)
                                                            : RestorePoints::select(Bare, 0, 0, connection);
    if (points.second != Result::Ok) {
        m_code = points.second;
        return;
    }
    for (const QSharedPointer<RestorePoints>& point : points.first) {
        if (!point.isNull())
            m_restorePointIds.append(point->id());
    }
    if (m_restorePointIds.isEmpty())
        return;

    KTL::KtlDebug("SQL").debug() << ClassName << "init listing restore point:" << upTo.toString(Qt::TextDate);
    for (const QString& path : paths) {
        // With skipDeleted a folder deleted in the view is no folder, and as a file path it yields nothing.
        const TestResult folder = Folders::isFolder(path, m_restorePointIds, m_skipDeleted, Bare, connection);
        if (folder.second != Result::Ok) {
            m_code = folder.second;
            return;
        }
        if (folder.first) {
            KTL::KtlDebug("SQL").debug() << ClassName << "include folder:" << path;
            m_folderPaths.append(path);
        } else {
            KTL::KtlDebug("SQL").debug() << ClassName << "include file:" << path;
            m_filePaths.append(path);
        }
    }
}

FileListingRecursive::~FileListingRecursive() = default;

TestResult FileListingRecursive::hasNext() const
{
    if (m_code != Result::Ok)
        return {false, m_code};
    const bool pending =
        !m_filePaths.isEmpty() || !m_folderPaths.isEmpty() || !m_fileQueue.isEmpty() || !m_folderQueue.isEmpty();
    return {pending, Result::Ok};
}

bool FileListingRecursive::isFinished() const
{
    return !hasNext().first;
}

FileListingRecursive::Item FileListingRecursive::next()
{
    if (!hasNext().first)
        return {};
    DatabaseConnection connection(m_pool);
    while (hasNext().first) {
        if (!m_folderQueue.isEmpty()) {
            QSharedPointer<Folders> folder = m_folderQueue.takeFirst();
            if (!m_onlyFiles)
                return {{}, folder};
            continue;
        }
        if (!m_fileQueue.isEmpty()) {
            QSharedPointer<Files> file = m_fileQueue.takeFirst();
            if (m_skipDeleted && file->deleted())
                continue;
            return {file, {}};
        }
        if (!m_filePaths.isEmpty()) {
            const RowResult<Files> found = Files::select(m_filePaths.takeFirst(), m_restorePointIds, Bare, connection);
            if (found.second != Result::Ok)
                m_code = found.second;
            else if (!found.first.isNull())
                m_fileQueue.append(found.first);
            continue;
        }
        // Only folder paths are left.
        next(m_folderPaths.takeFirst());
    }
    return {};
}

void FileListingRecursive::next(const QString& folderPath)
{
    // An empty id list would mean every restore point to the lookups, not an empty view.
    if (m_code != Result::Ok || m_restorePointIds.isEmpty())
        return;
    DatabaseConnection connection(m_pool);
    const RowResult<Folders> folder = Folders::select(folderPath, m_restorePointIds, Bare, connection);
    if (folder.second != Result::Ok) {
        m_code = folder.second;
        return;
    }
    // A folder missing from the view, or deleted in it when deleted items are skipped, takes its subtree along.
    if (folder.first.isNull() || (m_skipDeleted && folder.first->deleted()))
        return;
    m_folderQueue.append(folder.first);

    const ListResult<Files> files = Files::selectInFolder(folderPath, m_restorePointIds, -1, -1, Bare, connection);
    if (files.second != Result::Ok) {
        m_code = files.second;
        return;
    }
    m_fileQueue.append(files.first);

    // Deleted subfolders are queued too; their own expansion decides about them.
    const ListResult<Folders> subfolders =
        Folders::selectInFolder(folderPath, m_restorePointIds, false, -1, -1, Bare, connection);
    if (subfolders.second != Result::Ok) {
        m_code = subfolders.second;
        return;
    }
    for (const QSharedPointer<Folders>& subfolder : subfolders.first)
        m_folderPaths.append(subfolder->localPath());
}

void FileListingRecursive::skipFolderListing(QSharedPointer<Folders> folder)
{
    if (folder.isNull())
        return;
    const quint64 folderId = folder->id();
    m_fileQueue.erase(
        std::remove_if(m_fileQueue.begin(), m_fileQueue.end(),
                       [folderId](const QSharedPointer<Files>& file) { return file->parentId() == folderId; }),
        m_fileQueue.end());
    // The trailing separator keeps the folder itself and its namesakes ("/a/b2" beside "/a/b") out.
    QString below = folder->localPath();
    if (!below.endsWith(QLatin1Char('/')))
        below.append(QLatin1Char('/'));
    m_folderPaths.erase(
        std::remove_if(m_folderPaths.begin(), m_folderPaths.end(),
                       [&below](const QString& path) { return path.startsWith(below, Qt::CaseSensitive); }),
        m_folderPaths.end());
}

void FileListingRecursive::skipFolderListing(const QString& folderPath)
{
    if (m_code != Result::Ok || m_restorePointIds.isEmpty())
        return;
    DatabaseConnection connection(m_pool);
    const RowResult<Folders> folder = Folders::select(folderPath, m_restorePointIds, Bare, connection);
    if (folder.second != Result::Ok) {
        m_code = folder.second;
        return;
    }
    skipFolderListing(folder.first);
}

}  // namespace RPX::SQL::Generation
