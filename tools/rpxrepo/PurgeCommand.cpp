#include "Catalog.h"
#include "Commands.h"

#include <QFile>
#include <QSet>

using namespace RPX::SQL;

namespace rpxrepo {

namespace {

bool readCount(const QCommandLineParser& parser, const QString& name, qint64& value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toLongLong(&ok);
    return ok && value >= 0;
}

}  // namespace

int runPurge(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Select, and with --apply delete, what a retention policy lets go."));
    parser.addPositionalArgument(QStringLiteral("DEST"), QStringLiteral("Destination folder or id."));
    parser.addOption({QStringLiteral("keep"), QStringLiteral("Keep the newest N versions of each file."), QStringLiteral("N")});
    parser.addOption({QStringLiteral("older-than"), QStringLiteral("Let versions older than DAYS go."), QStringLiteral("DAYS")});
    parser.addOption({QStringLiteral("on"), QStringLiteral("Age measured on: modified (default) or backup."),
                      QStringLiteral("modified|backup")});
    parser.addOption({QStringLiteral("keep-last"), QStringLiteral("The age rule never takes a file's last version.")});
    parser.addOption({QStringLiteral("deleted-days"), QStringLiteral("Let files deleted locally DAYS ago go."),
                      QStringLiteral("DAYS")});
    parser.addOption({QStringLiteral("path"), QStringLiteral("Only local paths starting with PREFIX (repeatable)."),
                      QStringLiteral("PREFIX")});
    parser.addOption({QStringLiteral("apply"), QStringLiteral("Delete the selected versions and their stored objects.")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1)
        return context.fail(QStringLiteral("purge needs exactly one DEST"), Usage);

    qint64 keep = -1, olderThan = -1, deletedDays = -1;
    if (!readCount(parser, QStringLiteral("keep"), keep) || !readCount(parser, QStringLiteral("older-than"), olderThan) ||
        !readCount(parser, QStringLiteral("deleted-days"), deletedDays))
        return context.fail(QStringLiteral("--keep, --older-than and --deleted-days take a whole number"), Usage);
    const QString on = parser.value(QStringLiteral("on"));
    if (!on.isEmpty() && on != QLatin1String("modified") && on != QLatin1String("backup"))
        return context.fail(QStringLiteral("--on takes modified or backup"), Usage);
    if (keep < 0 && olderThan < 0 && deletedDays < 0)
        return context.fail(QStringLiteral("purge needs a rule: --keep, --older-than or --deleted-days"), Usage);
    QStringList paths;
    for (const QString& path : parser.values(QStringLiteral("path")))
        paths << localPathOf(path);
    if (paths.isEmpty())
        paths << QString();  // every file

    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());
    const auto destination = findDestination(context, args[0], connection);
    if (!destination)
        return Failure;

    CheckCloudFiles4Purge purge(destination->id());
    if (keep >= 0)
        purge.keepNumberOfVersion(true, quint64(keep));
    if (olderThan >= 0)
        purge.deleteVersionOlder(true, long(olderThan), parser.isSet(QStringLiteral("keep-last")),
                                 on == QLatin1String("backup") ? CheckCloudFiles4Purge::BackupDate
                                                               : CheckCloudFiles4Purge::ModifiedDate);
    if (deletedDays >= 0)
        purge.deleteLocalyDeleted(true, quint64(deletedDays));
    // A version may be picked by more than one rule: it is listed and deleted once.
    QSet<unsigned long long> seen;
    QJsonArray array;
    QStringList lines;
    quint64 bytes = 0, deleted = 0, failed = 0;
    const bool apply = parser.isSet(QStringLiteral("apply"));
    // Deleted a batch at a time while the selection goes on, so that no more than a batch is held.
    constexpr int DeleteBatch = 1000;
    QList<QSharedPointer<CloudFileVersion>> batch;
    auto deleteBatch = [&] {
        Transaction transaction(connection);
        for (const auto& version : qAsConst(batch)) {
            // The catalog row goes first: a stored object without a row is only wasted space, a
            // row without its object would be a version that cannot be restored.
            if (!version->delete_(true, connection)) {
                ++failed;
                context.fail(QStringLiteral("cannot delete version %1 of %2").arg(version->id()).arg(version->path()));
                continue;
            }
            const QString object = storedObjectPath(*destination, version->cloudPath());
            if (QFile::exists(object) && !QFile::remove(object))
                context.fail(QStringLiteral("version %1 deleted, but its stored object %2 could not be removed")
                                 .arg(version->id())
                                 .arg(object));
            ++deleted;
        }
        if (!transaction.commit() && !batch.isEmpty())
            context.fail(QStringLiteral("the deletions of a batch could not be committed"));
        batch.clear();
    };
    const bool selected = purge.selectEach(paths, connection, [&](const CheckCloudFiles4Purge::Pick& pick) {
        const auto& version = pick.first;
        if (!version || seen.contains(version->id()))
            return true;
        seen.insert(version->id());
        const QString reason = CheckCloudFiles4Purge::reasonToString(pick.second);
        array.append(QJsonObject{{QStringLiteral("version"), QString::number(version->id())},
                                 {QStringLiteral("path"), version->path()},
                                 {QStringLiteral("modified"), showTime(version->dateModified())},
                                 {QStringLiteral("size"), qint64(version->originalSize())},
                                 {QStringLiteral("reason"), reason}});
        lines << QStringLiteral("%1  %2  %3  %4").arg(reason, -16).arg(version->id(), 8).arg(showTime(version->dateModified()),
                                                                                           version->path());
        bytes += version->originalSize();
        if (apply) {
            batch << version;
            if (batch.size() >= DeleteBatch)
                deleteBatch();
        }
        return true;
    });
    if (apply)
        deleteBatch();
    if (!selected) {
        ++failed;
        context.fail(QStringLiteral("the purge selection failed"));
    }
    if (apply)
        destination->updateStatistic(connection);

    const QString summary = apply ? QStringLiteral("deleted %1 versions (%2 bytes), %3 failed").arg(deleted).arg(bytes).arg(failed)
                                  : QStringLiteral("%1 versions (%2 bytes) would be purged; run with --apply to delete them")
                                        .arg(seen.size())
                                        .arg(bytes);
    lines << summary;
    context.result(QJsonObject{{QStringLiteral("selected"), array},
                               {QStringLiteral("applied"), apply},
                               {QStringLiteral("deleted"), qint64(deleted)},
                               {QStringLiteral("bytes"), qint64(bytes)},
                               {QStringLiteral("failed"), qint64(failed)}},
                   lines.join(QLatin1Char('\n')));
    return failed ? Failure : Success;
}

}  // namespace rpxrepo
