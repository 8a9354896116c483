#include "CheckCloudFiles4Purge.h"

#include "Attributes.h"
#include "CloudFile.h"
#include "CloudFolder.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/KtlDebug.h>

#include <QDir>
#include <QFile>
#include <QTime>
#include <QVector>

#include <limits>

namespace RPX::SQL {

namespace {

using VersionList = QList<QSharedPointer<CloudFileVersion>>;

constexpr int FullDifferentialKind = 3;
constexpr int DifferentialKind = 2;

bool isFullDifferential(const CloudFileVersion& version)
{
    return version.attribute() == FullDifferentialKind && version.blockLevelIsFull();
}

bool isDifferential(const CloudFileVersion& version)
{
    return version.attribute() == DifferentialKind || version.attribute() == FullDifferentialKind;
}

struct CandidateFile
{
    unsigned long long id;
    QString localPath;
};

// The rows are read out before any version is loaded, so no result set stays open on the
// connection while the per-file statements run. Nothing is appended when the statement fails.
bool readCandidates(Statement& statement, QVector<CandidateFile>& files)
{
    if (statement.exec() != Result::Ok)
        return false;
    while (statement.next()) {
        const Row row(statement.query());
        files.append({row.u64(QStringLiteral("id")), row.text(QStringLiteral("local_path"))});
    }
    return true;
}

// Keep grouping by cloud_files.id: it is the key, which is what lets PostgreSQL accept local_path
// in the select list.
const char* const CountStatement =
    "SELECT id, local_path FROM (select local_path, cloud_files.id, COUNT(*) as cnt,  "
    "MAX(cloud_file_versions.date_modified_utc) as last_modified_date from cloud_files inner join "
    "cloud_file_versions on cloud_files.id = cloud_file_versions.file_id where destination_id = :destination_id "
    "group by cloud_files.id) as t1  WHERE cnt > 1";
const char* const ModifiedStatement =
    "SELECT id, local_path FROM (select local_path, cloud_files.id, COUNT(*) as cnt,  "
    "MAX(cloud_file_versions.date_modified_utc) as last_modified_date from cloud_files inner join "
    "cloud_file_versions on cloud_files.id = cloud_file_versions.file_id where destination_id = :destination_id "
    "group by cloud_files.id) as t1  WHERE cnt > 1  or last_modified_date < %1";
const char* const BackupStatement =
    "SELECT id, local_path FROM (select local_path, cloud_files.id, COUNT(*) as cnt,  "
    "MAX(cloud_file_versions.date_backedup_utc) as last_date_backedup_utc from cloud_files inner join "
    "cloud_file_versions on cloud_files.id = cloud_file_versions.file_id where destination_id = :destination_id "
    "group by cloud_files.id) as t1  WHERE cnt > 1  or last_date_backedup_utc < %1";
const char* const DeletedStatement =
    "select id, local_path from cloud_files where date_deleted_utc <= :date_deleted_utc and "
    "destination_id = :destination_id";

}  // namespace

bool checkFilePath(const QString& path, const QStringList& prefixes)
{
    for (const QString& prefix : prefixes) {
        if (path.startsWith(prefix))
            return true;
    }
    return false;
}

QDateTime findNextFull(const QDateTime& after, const QList<QSharedPointer<CloudFileVersion>>& versions)
{
    for (const auto& version : versions) {
        if (isFullDifferential(*version) && version->dateModified() > after)
            return version->dateModified();
    }
    return QDateTime();
}

CheckCloudFiles4Purge::CheckCloudFiles4Purge(unsigned long long destinationId) : m_destinationId(destinationId) {}

void CheckCloudFiles4Purge::deleteVersionOlder(bool enabled, long days, bool keepLastVersion, VersionOlderType type)
{
    m_olderEnabled = enabled;
    m_olderDays = days;
    m_keepLastVersion = keepLastVersion;
    m_olderType = type;
}

void CheckCloudFiles4Purge::keepNumberOfVersion(bool enabled, unsigned long long count)
{
    m_countEnabled = enabled;
    m_versionCount = count;
}

void CheckCloudFiles4Purge::deleteLocalyDeleted(bool enabled, unsigned long long days)
{
    m_deletedEnabled = enabled;
    m_deletedDays = days;
}

QString CheckCloudFiles4Purge::reasonToString(Reason reason)
{
    switch (reason) {
    case RetentionTime:
        return QStringLiteral("RetentionTime");
    case NumberOfVersions:
        return QStringLiteral("NumberOfVersions");
    case DeletedLocally:
        return QStringLiteral("DeletedLocally");
    }
    return QStringLiteral("Unknown");
}

void CheckCloudFiles4Purge::setCurrentTime(const QDateTime& now)
{
    m_currentTime = now;
}

void CheckCloudFiles4Purge::setDeleteMarkPageSize(unsigned long long pageSize)
{
    // A page of 0 would list the whole folder every time and never end the walk.
    m_pageSize = qMax<unsigned long long>(pageSize, 1);
}

QDateTime CheckCloudFiles4Purge::now() const
{
    QDateTime current = m_currentTime.isValid() ? m_currentTime.toUTC() : QDateTime::currentDateTimeUtc();
    // Whole seconds, as stored: the period compares alike in the statement and in checkFileBackup.
    current.setTime(QTime(current.time().hour(), current.time().minute(), current.time().second()));
    return current;
}

QDateTime CheckCloudFiles4Purge::daysAgo(qint64 days) const
{
    // Keeps the threshold within four-digit years, so that its 14-digit code stays a plain number.
    return now().addDays(-qBound(qint64(-2000000), days, qint64(700000)));
}

QString CheckCloudFiles4Purge::candidateStatement() const
{
    if (!m_olderEnabled)
        return QString::fromLatin1(CountStatement);
    switch (m_olderType) {
    case NotMeasured:
        return QString::fromLatin1(CountStatement);
    case ModifiedDate:
        return QString::fromLatin1(ModifiedStatement).arg(DateCode::number(daysAgo(m_olderDays)));
    case BackupDate:
        return QString::fromLatin1(BackupStatement).arg(DateCode::number(daysAgo(m_olderDays)));
    }
    return QString();
}

CheckCloudFiles4Purge::Picks CheckCloudFiles4Purge::files(const QStringList& paths, DatabaseConnection& connection)
{
    Picks result;
    if (!connection.isOpen())
        return result;

    if (m_olderEnabled || m_countEnabled) {
        QVector<CandidateFile> candidates;
        {
            Statement statement(connection, candidateStatement());
            statement.bindU64(QStringLiteral(":destination_id"), m_destinationId);
            if (!readCandidates(statement, candidates))
                return {};
        }
        for (const CandidateFile& candidate : candidates) {
            if (!checkFilePath(candidate.localPath, paths))
                continue;
            const VersionList all = CloudFileVersion::select_(candidate.id, connection);
            VersionList examined;
            for (const auto& version : all) {
                if (Constant::Attributes::isFileBackup.contains(version->attribute()) || isFullDifferential(*version))
                    examined.append(version);
            }
            for (const Pick& pick : checkFileBackup(examined)) {
                if (Constant::Attributes::isFileBackup.contains(pick.first->attribute())) {
                    result.append(pick);
                    continue;
                }
                // A full version goes only with everything older than the next full one, so the
                // newest chain is always kept whole.
                const QDateTime next = findNextFull(pick.first->dateModified(), all);
                if (!next.isValid())
                    continue;
                for (const auto& version : all) {
                    if (!isDifferential(*version))
                        continue;
                    if (version->dateModified() < next ||
                        (version->attribute() == DifferentialKind &&
                         version->dateModified() == pick.first->dateModified()))
                        result.append({version, pick.second});
                }
            }
        }
    }

    if (m_deletedEnabled) {
        QVector<CandidateFile> deleted;
        {
            Statement statement(connection, QString::fromLatin1(DeletedStatement));
            const qint64 days = qint64(qMin<unsigned long long>(m_deletedDays, std::numeric_limits<qint64>::max()));
            statement.bind(QStringLiteral(":date_deleted_utc"), DateCode::number(daysAgo(days)))
                .bindU64(QStringLiteral(":destination_id"), m_destinationId);
            readCandidates(statement, deleted);
        }
        for (const CandidateFile& file : deleted) {
            if (!checkFilePath(file.localPath, paths))
                continue;
            for (const auto& version : CloudFileVersion::select_(file.id, connection))
                result.append({version, DeletedLocally});
        }
    }
    return result;
}

CheckCloudFiles4Purge::Picks CheckCloudFiles4Purge::checkFileBackup(QList<QSharedPointer<CloudFileVersion>>& versions)
{
    Picks picks;
    if (m_countEnabled) {
        while (static_cast<unsigned long long>(versions.size()) > m_versionCount)
            picks.append({versions.takeFirst(), NumberOfVersions});
    }
    if (m_olderEnabled && m_olderType != NotMeasured) {
        const QDateTime threshold = daysAgo(m_olderDays);
        const int kept = m_keepLastVersion ? 1 : 0;
        while (versions.size() > kept) {
            const QSharedPointer<CloudFileVersion> version = versions.takeFirst();
            QDateTime measured;
            if (m_olderType == ModifiedDate)
                measured = version->dateModified();
            else if (m_olderType == BackupDate)
                measured = version->dateBackup();
            else
                continue;
            if (!measured.isValid() || measured >= threshold)
                break;
            picks.append({version, RetentionTime});
        }
    }
    return picks;
}

void CheckCloudFiles4Purge::refreshMark(CloudFile& file, const QString& localPath,
                                        DatabaseConnection& connection) const
{
    const bool exists = QFile::exists(localPath);
    if (!exists && !file.dateDeleted().isValid())
        file.setDateDeleted(now());
    else if (exists && file.dateDeleted().isValid())
        file.setDateDeleted(QDateTime());
    else
        return;
    // A failed write is retried by the next walk.
    file.update(connection);
}

bool CheckCloudFiles4Purge::updateDeleteLocallyPath(const QString& localPath, const QString& folderPath,
                                                    DatabaseConnection& connection)
{
    if (const QSharedPointer<CloudFile> file = CloudFile::select_(m_destinationId, localPath, connection))
        refreshMark(*file, localPath, connection);
    const QSharedPointer<CloudFolder> folder = CloudFolder::select(m_destinationId, folderPath, connection);
    if (folder)
        updateDeleteLocally4Dir(localPath, folder->id(), connection);
    else
        KTL::KtlDebug("SQL").infoH() << "CheckCloudFiles4Purge: folder path:" << folderPath << "not exist";
    return true;
}

void CheckCloudFiles4Purge::updateDeleteLocally4Dir(const QString& dirPath, unsigned long long folderId,
                                                    DatabaseConnection& connection)
{
    const QString prefix = dirPath + QDir::separator();
    for (unsigned long long offset = 0;; offset += m_pageSize) {
        const QList<QSharedPointer<CloudFile>> page = CloudFile::selectFolder(folderId, m_pageSize, offset, connection);
        for (const auto& file : page)
            refreshMark(*file, prefix + file->displayName(), connection);
        if (static_cast<unsigned long long>(page.size()) < m_pageSize)
            break;
    }
    for (const auto& child : CloudFolder::select(folderId, 0, 0, connection))
        updateDeleteLocally4Dir(prefix + child->displayName(), child->id(), connection);
}

}  // namespace RPX::SQL
