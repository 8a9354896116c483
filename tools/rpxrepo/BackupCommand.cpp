#include "Catalog.h"
#include "Commands.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QUuid>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

using namespace RPX::SQL;
using RPX::Info::History::OperationType;
using RPX::Info::Plan::PlanResult;

namespace rpxrepo {

namespace {

// Versions are recorded in batches: registered together, then one commit (and one flush of the stored
// objects) per batch.
constexpr int BatchSize = 1000;

struct Totals
{
    quint64 scanned = 0;
    quint64 scannedBytes = 0;
    quint64 written = 0;
    quint64 writtenBytes = 0;
    quint64 deleted = 0;
    quint64 failed = 0;
    QStringList errors;
};

class Backup
{
public:
    Backup(const Context& context, DatabaseConnection& connection, const Destination& destination,
           const QUuid& plan, unsigned long long sessionId)
        : m_context(context), m_connection(connection), m_destination(destination), m_plan(plan),
          m_sessionId(sessionId)
    {
    }

    bool run(const QString& source);
    const Totals& totals() const { return m_totals; }

private:
    void backUpFile(const QFileInfo& info);
    bool storeObject(const QString& from, QByteArray& cloudPath, QString& error);
    void markVanished(const QString& source);
    void record(const QString& localPath, const QDateTime& modified, quint64 size, const QString& error);
    // Registers the versions of the batch's stored objects together.
    bool recordPending();
    bool beginBatch();
    bool commitBatch();
    void showProgress(bool force = false);

    const Context& m_context;
    DatabaseConnection& m_connection;
    const Destination& m_destination;
    const QUuid m_plan;
    const unsigned long long m_sessionId;
    QSet<QString> m_seen;
    Totals m_totals;
    int m_inBatch = 0;
    QElapsedTimer m_clock;
    qint64 m_lastProgress = -1000;
    std::optional<Transaction> m_batch;
    QVector<CloudFileVersion> m_pending;
    QVector<QSharedPointer<CloudFile>> m_pendingFiles;  // the known file of each, null when new
};

bool Backup::run(const QString& source)
{
    m_clock.start();
    if (!beginBatch())
        return false;
    QDirIterator it(source, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        // The stored objects may lie inside the source; they are never backed up again.
        if (info.absoluteFilePath().startsWith(m_destination.prefix() + QLatin1Char('/')))
            continue;
        backUpFile(info);
        if (++m_inBatch >= BatchSize && !(commitBatch() && beginBatch()))
            return false;
        showProgress();
    }
    markVanished(source);
    const bool committed = commitBatch();
    showProgress(true);
    m_context.endProgress();
    return committed;
}

void Backup::backUpFile(const QFileInfo& info)
{
    const QString localPath = localPathOf(info.absoluteFilePath());
    const QDateTime modified = catalogTime(info.lastModified());
    const quint64 size = quint64(info.size());
    ++m_totals.scanned;
    m_totals.scannedBytes += size;
    m_seen.insert(localPath);

    QSharedPointer<CloudFile> file = CloudFile::select_(m_destination.id(), localPath, m_connection);
    if (file) {
        if (file->dateDeleted().isValid()) {
            file->setDateDeleted(QDateTime());
            file->update(m_connection);
        }
        const auto latest = CloudFileVersion::selectLastVersion(file->id(), m_connection);
        if (latest && latest->dateModified() == modified && latest->originalSize() == size)
            return;
    }

    QByteArray cloudPath;
    QString error;
    if (!storeObject(info.absoluteFilePath(), cloudPath, error)) {
        record(localPath, modified, size, error);
        return;
    }

    CloudFileVersion version;
    version.setFileId(file ? file->id() : 0);
    version.setPath(localPath);
    version.setDateModified(modified);
    version.setDateBackup(catalogTime(QDateTime::currentDateTimeUtc()));
    version.setSize(size);
    version.setOriginalSize(size);
    version.setAttribute(0);
    version.setCloudPath(cloudPath);
    version.setUploadId(cloudPath.mid(cloudPath.lastIndexOf('/') + 1));
    m_pending << version;
    m_pendingFiles << file;
}

bool Backup::recordPending()
{
    if (CloudFileVersion::insertBatch(m_destination.id(), m_pending, m_connection) != Result::Ok) {
        for (const CloudFileVersion& version : qAsConst(m_pending))
            QFile::remove(storedObjectPath(m_destination, version.cloudPath()));
        m_pending.clear();
        m_pendingFiles.clear();
        m_context.fail(QStringLiteral("cannot record the backup's versions (run with --verbose for details)"));
        return false;
    }
    for (int i = 0; i < m_pending.size(); ++i) {
        const CloudFileVersion& version = m_pending.at(i);
        // A known file's row is brought up to the latest stored state; a new one was made from it.
        if (const QSharedPointer<CloudFile>& file = m_pendingFiles.at(i)) {
            file->setCloudPath(version.cloudPath());
            file->setDateModified(version.dateModified());
            file->setSize(version.size());
            file->setOriginalSize(version.originalSize());
            file->update(m_connection);
        }
        ++m_totals.written;
        m_totals.writtenBytes += version.size();
        record(version.path(), version.dateModified(), version.size(), QString());
    }
    m_pending.clear();
    m_pendingFiles.clear();
    return true;
}

bool Backup::storeObject(const QString& from, QByteArray& cloudPath, QString& error)
{
    const QString key = QUuid::createUuid().toString(QUuid::Id128);
    cloudPath = QStringLiteral("objects/%1/%2").arg(key.left(2), key).toUtf8();
    const QString target = storedObjectPath(m_destination, cloudPath);
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        error = QStringLiteral("cannot create the folder of %1").arg(target);
        return false;
    }
    QFile input(from);
    if (!input.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read: %1").arg(input.errorString());
        return false;
    }
    // Written under a temporary name and renamed: a stored object is whole or absent.
    QSaveFile output(target);
    if (!output.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(target, output.errorString());
        return false;
    }
    char buffer[1 << 16];
    qint64 read = 0;
    while ((read = input.read(buffer, sizeof buffer)) > 0) {
        if (output.write(buffer, read) != read)
            break;
    }
    if (read < 0) {
        output.cancelWriting();
        error = QStringLiteral("read failed: %1").arg(input.errorString());
        return false;
    }
    if (!output.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(target, output.errorString());
        return false;
    }
    return true;
}

void Backup::markVanished(const QString& source)
{
    const auto folder = CloudFolder::select(m_destination.id(), source, m_connection);
    if (!folder)
        return;
    const QDateTime now = catalogTime(QDateTime::currentDateTimeUtc());
    walkFiles(folder->id(), m_connection, [&](const QSharedPointer<CloudFile>& file) {
        if (m_seen.contains(file->localPath()) || file->dateDeleted().isValid() || QFileInfo::exists(file->localPath()))
            return true;
        file->setDateDeleted(now);
        if (file->update(m_connection)) {
            ++m_totals.deleted;
            History row;
            row.setDestinationId(m_destination.id());
            row.setSessionId(m_sessionId);
            row.setPalnId(m_plan);
            row.setOperationType(OperationType::Delete);
            row.setLocalPath(file->localPath());
            row.setDateFinished(now);
            row.setMessage(QStringLiteral("Deleted locally"));
            row.insert(m_connection);
        }
        return true;
    });
}

void Backup::record(const QString& localPath, const QDateTime& modified, quint64 size, const QString& error)
{
    if (!error.isEmpty()) {
        ++m_totals.failed;
        if (m_totals.errors.size() < 20)
            m_totals.errors << QStringLiteral("%1: %2").arg(localPath, error);
    }
    History row;
    row.setDestinationId(m_destination.id());
    row.setSessionId(m_sessionId);
    row.setPalnId(m_plan);
    row.setOperationType(OperationType::Backup);
    row.setLocalPath(localPath);
    row.setSize(size);
    row.setAttempts(1);
    row.setDateModified(modified);
    row.setDateFinished(catalogTime(QDateTime::currentDateTimeUtc()));
    row.setMessage(error.isEmpty() ? QStringLiteral("Success") : error);
    row.insert(m_connection);
}

bool Backup::beginBatch()
{
    m_inBatch = 0;
    m_batch.emplace(m_connection);
    if (m_batch->isActive())
        return true;
    m_context.fail(QStringLiteral("cannot start a transaction (run with --verbose for details)"));
    return false;
}

bool Backup::commitBatch()
{
    if (!recordPending()) {
        m_batch.reset();
        return false;
    }
    // The stored objects reach the disk before the catalog says they exist.
    const int fd = ::open(QFile::encodeName(m_destination.prefix()).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
    const bool committed = m_batch->commit();
    m_batch.reset();
    if (!committed)
        m_context.fail(QStringLiteral("cannot commit the backup's records (run with --verbose for details)"));
    return committed;
}

void Backup::showProgress(bool force)
{
    const qint64 now = m_clock.elapsed();
    if (!force && now - m_lastProgress < 250)
        return;
    m_lastProgress = now;
    const double seconds = qMax<double>(now, 1) / 1000.0;
    m_context.progress(QStringLiteral("scanned %1 files, wrote %2 versions, %3 MB, %4 files/s")
                           .arg(m_totals.scanned)
                           .arg(m_totals.written)
                           .arg(double(m_totals.writtenBytes) / 1e6, 0, 'f', 1)
                           .arg(double(m_totals.scanned) / seconds, 0, 'f', 0));
}

}  // namespace

int runBackup(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Back up a folder tree into a destination folder."));
    parser.addPositionalArgument(QStringLiteral("SOURCE_DIR"), QStringLiteral("Folder to back up."));
    parser.addOption({QStringLiteral("to"), QStringLiteral("Destination folder."), QStringLiteral("DEST_DIR")});
    parser.addOption({QStringLiteral("prefix"), QStringLiteral("Backup prefix (default: the computer name)."),
                      QStringLiteral("NAME")});
    parser.addOption({QStringLiteral("plan"), QStringLiteral("Plan id (default: one per source folder)."),
                      QStringLiteral("UUID")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    if (parser.positionalArguments().size() != 1)
        return context.fail(QStringLiteral("backup needs exactly one SOURCE_DIR"), Usage);
    if (!parser.isSet(QStringLiteral("to")))
        return context.fail(QStringLiteral("backup needs --to DEST_DIR"), Usage);

    const QString source = localPathOf(parser.positionalArguments().first());
    if (!QFileInfo(source).isDir())
        return context.fail(QStringLiteral("source folder %1 does not exist").arg(source));
    const QString destinationFolder = localPathOf(parser.value(QStringLiteral("to")));
    if (!openRepository(context))
        return Failure;
    if (!QDir().mkpath(destinationFolder))
        return context.fail(QStringLiteral("cannot create destination folder %1").arg(destinationFolder));
    const QString prefix = parser.isSet(QStringLiteral("prefix")) ? parser.value(QStringLiteral("prefix"))
                                                                   : KTL::Network::ComputerName::name();
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('/')))
        return context.fail(QStringLiteral("the prefix must be a non-empty name without '/'"), Usage);
    QUuid plan = QUuid::createUuidV5(QUuid(QStringLiteral("{6f1d1c1e-43a0-4a55-9c55-1d5d8e0b7a10}")), source);
    if (parser.isSet(QStringLiteral("plan"))) {
        plan = QUuid::fromString(parser.value(QStringLiteral("plan")));
        if (plan.isNull())
            return context.fail(QStringLiteral("--plan needs a UUID"), Usage);
    }

    DatabaseConnection connection(DatabasePool::defaultPool());
    const auto destination = Destination::selectOrInsert(fileSystemAccount(destinationFolder, prefix), connection);
    if (!destination)
        return context.fail(QStringLiteral("cannot register the destination (run with --verbose for details)"));
    if (!QDir().mkpath(destination->prefix()))
        return context.fail(QStringLiteral("cannot create %1").arg(destination->prefix()));
    PlanName::update(plan, QStringLiteral("backup of %1").arg(source), RPX::Info::Plan::SubType::FileLevel, connection);

    SessionHistory session;
    session.setDestinationId(destination->id());
    session.setPalnId(plan);
    session.setDateStart(catalogTime(QDateTime::currentDateTimeUtc()));
    session.setResult(PlanResult::Running);
    if (!session.insert(connection))
        return context.fail(QStringLiteral("cannot record the backup run (run with --verbose for details)"));

    QElapsedTimer timer;
    timer.start();
    Backup backup(context, connection, *destination, plan, session.id());
    const bool completed = backup.run(source);
    const Totals& totals = backup.totals();

    session.setDuration(quint64(timer.elapsed() / 1000));
    session.setScannedCount(totals.scanned);
    session.setScannedSize(totals.scannedBytes);
    session.setUploadedCount(totals.written);
    session.setUploadedSize(totals.writtenBytes);
    session.setFailedCount(totals.failed);
    session.setTotalCount(totals.scanned);
    session.setTotalSize(totals.scannedBytes);
    session.setErrorMessage(totals.errors.join(QLatin1Char('\n')));
    session.setResult(!completed ? PlanResult::Failed : totals.failed ? PlanResult::Warning : PlanResult::Success);
    session.update(connection);
    destination->updateStatistic(connection);

    const double seconds = qMax<qint64>(timer.elapsed(), 1) / 1000.0;
    for (const QString& error : totals.errors)
        context.fail(error);
    const QJsonObject object{{QStringLiteral("destination"), QString::number(destination->id())},
                             {QStringLiteral("session"), QString::number(session.id())},
                             {QStringLiteral("scanned"), qint64(totals.scanned)},
                             {QStringLiteral("written"), qint64(totals.written)},
                             {QStringLiteral("bytesWritten"), qint64(totals.writtenBytes)},
                             {QStringLiteral("deletedLocally"), qint64(totals.deleted)},
                             {QStringLiteral("failed"), qint64(totals.failed)},
                             {QStringLiteral("seconds"), seconds}};
    context.result(object, QStringLiteral("backup of %1 to destination %2: scanned %3 files, wrote %4 versions "
                                          "(%5 bytes), %6 deleted locally, %7 failed, %8 s (%9 files/s)")
                               .arg(source)
                               .arg(destination->id())
                               .arg(totals.scanned)
                               .arg(totals.written)
                               .arg(totals.writtenBytes)
                               .arg(totals.deleted)
                               .arg(totals.failed)
                               .arg(seconds, 0, 'f', 2)
                               .arg(double(totals.scanned) / seconds, 0, 'f', 0));
    if (!completed)
        return Failure;
    return totals.failed ? Failure : Success;
}

}  // namespace rpxrepo
