#pragma once

#include "CloudFileVersion.h"

#include <rpxRepository/database/DatabaseConnection.h>

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <functional>

namespace RPX::SQL {

class CloudFile;

// True when path starts with one of the prefixes (case-sensitive); an empty prefix admits every path.
bool checkFilePath(const QString& path, const QStringList& prefixes);
// Modification time of the first full kind-3 version later than after; invalid when there is none.
QDateTime findNextFull(const QDateTime& after, const QList<QSharedPointer<CloudFileVersion>>& versions);

// Chooses, under a retention policy, which stored versions of a destination's files may be purged
// and why. It deletes nothing; the caller removes the versions and their stored objects.
class CheckCloudFiles4Purge
{
public:
    // Fixed underlying types: the agent may hand over any stored int value.
    enum VersionOlderType : int { NotMeasured = 0, ModifiedDate = 1, BackupDate = 2 };
    enum Reason : int { RetentionTime = 0, NumberOfVersions = 1, DeletedLocally = 2 };

    using Pick = QPair<QSharedPointer<CloudFileVersion>, Reason>;
    using Picks = QList<Pick>;
    // Receives one pick as it is decided; false stops the selection.
    using PickSink = std::function<bool(const Pick&)>;

    // Rows a deletion-mark walk reads from a folder at a time.
    static constexpr unsigned long long DeleteMarkPageSize = 100000;
    // Version rows the selection reads at a time.
    static constexpr int SelectionPageRows = 4096;

    explicit CheckCloudFiles4Purge(unsigned long long destinationId);

    void deleteVersionOlder(bool enabled, long days, bool keepLastVersion, VersionOlderType type);
    void keepNumberOfVersion(bool enabled, unsigned long long count);
    void deleteLocalyDeleted(bool enabled, unsigned long long days);

    static QString reasonToString(Reason reason);

    // Versions to purge of the files whose local path starts with one of the prefixes.
    Picks files(const QStringList& paths, DatabaseConnection& connection);
    // The same picks in the same order (a version two rules take comes twice), each handed to the
    // sink as it is decided. Files are read a page of rows at a time and nothing picked is kept,
    // so the sink may delete what it was given, on this connection or another, while the
    // selection goes on. False when a statement failed; stopping through the sink is no failure.
    bool selectEach(const QStringList& paths, DatabaseConnection& connection, const PickSink& sink);
    // Applies the count and period rules to one file's examined versions (oldest first),
    // taking every version it looks at out of the list.
    Picks checkFileBackup(QList<QSharedPointer<CloudFileVersion>>& versions);

    // Brings date_deleted_utc of the file at localPath, and of everything below folderPath, in
    // step with the local file system.
    bool updateDeleteLocallyPath(const QString& localPath, const QString& folderPath, DatabaseConnection& connection);
    void updateDeleteLocally4Dir(const QString& dirPath, unsigned long long folderId, DatabaseConnection& connection);

    // The moment thresholds and deletion marks are taken from; an invalid value (the default)
    // stands for the real UTC time.
    void setCurrentTime(const QDateTime& now);
    // Smaller pages let tests walk several of them.
    void setDeleteMarkPageSize(unsigned long long pageSize);
    // Likewise for the selection: pages that end inside a file, or that one file overfills.
    void setSelectionPageRows(int rows);

private:
    QDateTime now() const;
    QDateTime daysAgo(qint64 days) const;
    bool isCandidate(const QList<QSharedPointer<CloudFileVersion>>& versions) const;
    bool pickByRules(const QList<QSharedPointer<CloudFileVersion>>& versions, const PickSink& sink);
    bool walk(bool deletedPass, const QStringList& paths, DatabaseConnection& connection, const PickSink& sink,
              bool& stopped);
    void refreshMark(CloudFile& file, const QString& localPath, DatabaseConnection& connection) const;

    unsigned long long m_destinationId;
    bool m_olderEnabled = false;
    qint64 m_olderDays = 0;
    bool m_keepLastVersion = false;
    VersionOlderType m_olderType = NotMeasured;
    bool m_countEnabled = false;
    unsigned long long m_versionCount = 0;
    bool m_deletedEnabled = false;
    unsigned long long m_deletedDays = 0;

    QDateTime m_currentTime;
    unsigned long long m_pageSize = DeleteMarkPageSize;
    int m_selectionRows = SelectionPageRows;
};

}  // namespace RPX::SQL
