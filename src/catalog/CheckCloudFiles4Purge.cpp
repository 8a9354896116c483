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

// Versions of a destination's files with their file, in file order and oldest first within a file,
// a page of rows at a time. The rule walk follows the key (the unary plus keeps SQLite off the
// (destination_id, local_path) index, through which it would sort every remaining file for each
// page); the deleted-locally walk follows the (destination_id, date_deleted_utc) index, whose
// entries end with the key. Both read in index order and stop at the page's end.
#define RPX_PURGE_COLUMNS                                                                                      \
    "select v.file_id, v.id, v.cloud_path, v.history_path, v.size, v.original_size, v.date_purgeddelay_utc, " \
    "v.attributes, v.date_modified_utc, v.is_compressed, v.is_encrypted, v.is_simple, v.is_broken, "          \
    "v.upload_id, v.date_backedup_utc, v.filenameiv, v.blocklevel_revision, v.blocklevel_revision_isfull, "   \
    "v.delimiter, v.encryptioniv, v.kdfsalt, v.encryptionkey, f.local_path, f.date_deleted_utc "              \
    "from cloud_files f inner join cloud_file_versions v on v.file_id = f.id "
const char* const RuleWalk = RPX_PURGE_COLUMNS
    "where +f.destination_id = :destination_id and f.id > :after_id "
    "order by f.id, v.date_modified_utc limit :rows";
const char* const DeletedWalk = RPX_PURGE_COLUMNS
    "where f.destination_id = :destination_id and f.date_deleted_utc <= :date_deleted_utc and "
    "(f.date_deleted_utc, f.id) > (:after_deleted, :after_id) "
    "order by f.date_deleted_utc, f.id, v.date_modified_utc limit :rows";
#undef RPX_PURGE_COLUMNS

// The walk's columns by position: a lookup by name for each of millions of rows costs more than
// reading them.
enum WalkColumn : int {
    FileIdColumn, IdColumn, CloudPathColumn, HistoryPathColumn, SizeColumn, OriginalSizeColumn, PurgeDelayColumn,
    AttributesColumn, ModifiedColumn, CompressedColumn, EncryptedColumn, SimpleColumn, BrokenColumn, UploadIdColumn,
    BackupColumn, FileNameIvColumn, RevisionColumn, RevisionIsFullColumn, DelimiterColumn, EncryptionIvColumn,
    KdfSaltColumn, EncryptionKeyColumn, LocalPathColumn, DeletedColumn
};

QByteArray utf8Of(const QVariant& stored)
{
    return stored.isNull() ? QByteArray() : stored.toString().toUtf8();
}

// What CloudFileVersion::init reads from the same columns.
QSharedPointer<CloudFileVersion> readVersion(const QSqlQuery& query)
{
    QSharedPointer<CloudFileVersion> version(new CloudFileVersion());
    version->setFileId(toU64(query.value(FileIdColumn)));
    version->setId(toU64(query.value(IdColumn)));
    version->setCloudPath(utf8Of(query.value(CloudPathColumn)));
    version->setPath(query.value(HistoryPathColumn).toString());
    version->setSize(toU64(query.value(SizeColumn)));
    version->setOriginalSize(toU64(query.value(OriginalSizeColumn)));
    version->setDatePurgeDelay(DateCode::parse(query.value(PurgeDelayColumn)));
    version->setAttribute(int(toI64(query.value(AttributesColumn))));
    version->setDateModified(DateCode::parse(query.value(ModifiedColumn)));
    version->setIsCompressed(static_cast<signed char>(toI64(query.value(CompressedColumn))));
    version->setIsEncrypted(static_cast<signed char>(toI64(query.value(EncryptedColumn))));
    version->setIsSimple(static_cast<signed char>(toI64(query.value(SimpleColumn))));
    version->setIsBroken(static_cast<signed char>(toI64(query.value(BrokenColumn))) != 0);
    version->setUploadId(utf8Of(query.value(UploadIdColumn)));
    version->setDateBackup(DateCode::parse(query.value(BackupColumn)));
    version->setFileNameIv(query.value(FileNameIvColumn).toByteArray());
    version->setBlockLevelRevision(static_cast<unsigned int>(toU64(query.value(RevisionColumn))));
    version->setBlockLevelIsFull(toI64(query.value(RevisionIsFullColumn)) == 1);
    version->setVersionDelimiter(query.value(DelimiterColumn).toString());
    version->setEncryptionIv(query.value(EncryptionIvColumn).toByteArray());
    version->setKdfsalt(query.value(KdfSaltColumn).toByteArray());
    version->setEncryptionKey(query.value(EncryptionKeyColumn).toByteArray());
    return version;
}

struct FileRows
{
    qint64 id = 0;
    qint64 deleted = 0;
    QString localPath;
    VersionList versions;
};

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

void CheckCloudFiles4Purge::setSelectionPageRows(int rows)
{
    m_selectionRows = qMax(rows, 1);
}

// Whether the rules look at the file at all: more than one version, or a single one older than
// the period on the time it is measured on.
bool CheckCloudFiles4Purge::isCandidate(const VersionList& versions) const
{
    if (versions.size() > 1)
        return true;
    if (versions.isEmpty() || !m_olderEnabled || m_olderType == NotMeasured)
        return false;
    const QDateTime& measured =
        m_olderType == ModifiedDate ? versions.first()->dateModified() : versions.first()->dateBackup();
    return measured.isValid() && measured < daysAgo(m_olderDays);
}

bool CheckCloudFiles4Purge::pickByRules(const VersionList& all, const PickSink& sink)
{
    VersionList examined;
    for (const auto& version : all) {
        if (Constant::Attributes::isFileBackup.contains(version->attribute()) || isFullDifferential(*version))
            examined.append(version);
    }
    for (const Pick& pick : checkFileBackup(examined)) {
        if (Constant::Attributes::isFileBackup.contains(pick.first->attribute())) {
            if (!sink(pick))
                return false;
            continue;
        }
        // A full version goes only with everything older than the next full one, so the newest
        // chain is always kept whole.
        const QDateTime next = findNextFull(pick.first->dateModified(), all);
        if (!next.isValid())
            continue;
        for (const auto& version : all) {
            if (!isDifferential(*version))
                continue;
            if ((version->dateModified() < next ||
                 (version->attribute() == DifferentialKind && version->dateModified() == pick.first->dateModified())) &&
                !sink({version, pick.second}))
                return false;
        }
    }
    return true;
}

bool CheckCloudFiles4Purge::walk(bool deletedPass, const QStringList& paths, DatabaseConnection& connection,
                                 const PickSink& sink, bool& stopped)
{
    const qint64 deletedDays = qint64(qMin<unsigned long long>(m_deletedDays, std::numeric_limits<qint64>::max()));
    const qint64 deletedThreshold = DateCode::number(daysAgo(deletedDays));
    qint64 afterId = 0;
    qint64 afterDeleted = std::numeric_limits<qint64>::min();
    int rows = m_selectionRows;
    for (;;) {
        QVector<FileRows> page;
        int read = 0;
        {
            Statement statement(connection, QString::fromLatin1(deletedPass ? DeletedWalk : RuleWalk));
            statement.bindU64(QStringLiteral(":destination_id"), m_destinationId)
                .bind(QStringLiteral(":after_id"), afterId)
                .bind(QStringLiteral(":rows"), rows);
            if (deletedPass)
                statement.bind(QStringLiteral(":date_deleted_utc"), deletedThreshold)
                    .bind(QStringLiteral(":after_deleted"), afterDeleted);
            if (statement.exec() != Result::Ok)
                return false;
            QSqlQuery& query = statement.query();
            while (query.next()) {
                QSharedPointer<CloudFileVersion> version = readVersion(query);
                ++read;
                if (page.isEmpty() || page.last().id != qint64(version->fileId()))
                    page.append({qint64(version->fileId()), toI64(query.value(DeletedColumn)),
                                 query.value(LocalPathColumn).toString(), {}});
                page.last().versions.append(version);
            }
        }
        // A full page may end inside a file: that file is read whole with the next page, or, when
        // it alone fills the page, with a larger one.
        const bool full = read >= rows;
        if (full && page.size() == 1) {
            rows *= 2;
            continue;
        }
        if (full)
            page.removeLast();
        rows = m_selectionRows;
        for (const FileRows& file : qAsConst(page)) {
            afterId = file.id;
            afterDeleted = file.deleted;
            if (!checkFilePath(file.localPath, paths))
                continue;
            if (deletedPass) {
                for (const auto& version : file.versions) {
                    if (!sink({version, DeletedLocally})) {
                        stopped = true;
                        return true;
                    }
                }
            } else if (isCandidate(file.versions) && !pickByRules(file.versions, sink)) {
                stopped = true;
                return true;
            }
        }
        if (!full)
            return true;
    }
}

bool CheckCloudFiles4Purge::selectEach(const QStringList& paths, DatabaseConnection& connection,
                                       const PickSink& sink)
{
    if (!connection.isOpen())
        return false;
    if (m_olderEnabled && m_olderType != NotMeasured && m_olderType != ModifiedDate && m_olderType != BackupDate) {
        KTL::KtlDebug("SQL").error() << "CheckCloudFiles4Purge: unknown age measure" << int(m_olderType);
        return false;
    }
    bool stopped = false;
    if ((m_olderEnabled || m_countEnabled) && !walk(false, paths, connection, sink, stopped))
        return false;
    if (!stopped && m_deletedEnabled && !walk(true, paths, connection, sink, stopped))
        return false;
    return true;
}

CheckCloudFiles4Purge::Picks CheckCloudFiles4Purge::files(const QStringList& paths, DatabaseConnection& connection)
{
    Picks result;
    const bool done = selectEach(paths, connection, [&result](const Pick& pick) {
        result.append(pick);
        return true;
    });
    return done ? result : Picks();
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
