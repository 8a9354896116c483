#include "Catalog.h"
#include "Commands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using namespace RPX::SQL;

namespace rpxrepo {

namespace {

// Copies a stored object to `target` and checks its size; a partial copy never stays behind.
QString copyBack(const QString& object, const QString& target, quint64 expected, const QDateTime& modified)
{
    QFile input(object);
    if (!input.open(QIODevice::ReadOnly))
        return QStringLiteral("stored object %1 cannot be read: %2").arg(object, input.errorString());
    if (quint64(input.size()) != expected)
        return QStringLiteral("stored object %1 has %2 bytes, the catalog says %3").arg(object).arg(input.size()).arg(expected);
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return QStringLiteral("cannot create the folder of %1").arg(target);
    QSaveFile output(target);
    if (!output.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(target, output.errorString());
    char buffer[1 << 16];
    qint64 read = 0;
    while ((read = input.read(buffer, sizeof buffer)) > 0) {
        if (output.write(buffer, read) != read)
            break;
    }
    if (read < 0 || !output.commit())
        return QStringLiteral("cannot write %1: %2").arg(target, output.errorString());
    QFile restored(target);
    if (restored.open(QIODevice::ReadWrite))
        restored.setFileTime(modified, QFileDevice::FileModificationTime);
    return QString();
}

}  // namespace

int runRestore(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Copy back the versions valid at a moment."));
    parser.addPositionalArgument(QStringLiteral("DEST"), QStringLiteral("Destination folder or id."));
    parser.addPositionalArgument(QStringLiteral("LOCAL_PATH_OR_FOLDER"), QStringLiteral("What to restore."));
    parser.addOption({QStringLiteral("at"), QStringLiteral("The moment to restore (ISO 8601, UTC)."), QStringLiteral("TIME")});
    parser.addOption({QStringLiteral("into"), QStringLiteral("Folder to restore into."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("force"), QStringLiteral("Overwrite existing files.")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() != 2)
        return context.fail(QStringLiteral("restore needs DEST and LOCAL_PATH_OR_FOLDER"), Usage);
    if (!parser.isSet(QStringLiteral("at")) || !parser.isSet(QStringLiteral("into")))
        return context.fail(QStringLiteral("restore needs --at TIME and --into DIR"), Usage);
    const QDateTime at = parseTime(parser.value(QStringLiteral("at")));
    if (!at.isValid())
        return context.fail(QStringLiteral("invalid time '%1'").arg(parser.value(QStringLiteral("at"))), Usage);
    const QString into = localPathOf(parser.value(QStringLiteral("into")));
    const bool force = parser.isSet(QStringLiteral("force"));

    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());
    const auto destination = findDestination(context, args[0], connection);
    if (!destination)
        return Failure;
    const QString localPath = localPathOf(args[1]);
    const auto files = filesUnder(*destination, localPath, connection);
    if (files.isEmpty())
        return context.fail(QStringLiteral("nothing was backed up under %1").arg(localPath));

    // Files land below DIR with their paths relative to the restored folder (or beside the restored file).
    const bool singleFile = files.size() == 1 && files.first()->localPath() == localPath;
    QString base = singleFile ? localPath.left(localPath.lastIndexOf(QLatin1Char('/'))) : localPath;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');

    quint64 restored = 0, bytes = 0, skipped = 0, failed = 0;
    for (const auto& file : files) {
        const auto version = CloudFileVersion::selectPointInTime(file->id(), at, connection);
        if (!version) {
            ++skipped;  // the file did not exist yet at that moment
            continue;
        }
        const QString target = into + QLatin1Char('/') + file->localPath().mid(base.size());
        if (QFileInfo::exists(target) && !force) {
            context.fail(QStringLiteral("%1 exists (use --force to overwrite)").arg(target));
            ++failed;
            continue;
        }
        const QString error = copyBack(storedObjectPath(*destination, version->cloudPath()), target,
                                       version->originalSize(), version->dateModified());
        if (!error.isEmpty()) {
            context.fail(error);
            ++failed;
            continue;
        }
        ++restored;
        bytes += version->originalSize();
    }
    context.result(QJsonObject{{QStringLiteral("restored"), qint64(restored)},
                               {QStringLiteral("bytes"), qint64(bytes)},
                               {QStringLiteral("notYetBackedUp"), qint64(skipped)},
                               {QStringLiteral("failed"), qint64(failed)},
                               {QStringLiteral("into"), into}},
                   QStringLiteral("restored %1 files (%2 bytes) as of %3 into %4; %5 had no version then, %6 failed")
                       .arg(restored)
                       .arg(bytes)
                       .arg(showTime(at), into)
                       .arg(skipped)
                       .arg(failed));
    return failed ? Failure : Success;
}

}  // namespace rpxrepo
