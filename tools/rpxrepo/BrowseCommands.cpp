#include "Catalog.h"
#include "Commands.h"

using namespace RPX::SQL;

namespace rpxrepo {

namespace {

QJsonObject versionJson(const CloudFileVersion& version)
{
    return QJsonObject{{QStringLiteral("id"), QString::number(version.id())},
                       {QStringLiteral("modified"), showTime(version.dateModified())},
                       {QStringLiteral("backedUp"), showTime(version.dateBackup())},
                       {QStringLiteral("size"), qint64(version.originalSize())},
                       {QStringLiteral("kind"), version.attribute()},
                       {QStringLiteral("object"), QString::fromUtf8(version.cloudPath())}};
}

}  // namespace

int runLs(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("List the folders and files of a destination."));
    parser.addPositionalArgument(QStringLiteral("DEST"), QStringLiteral("Destination folder or id."));
    parser.addPositionalArgument(QStringLiteral("PATH"), QStringLiteral("Backed-up folder (default: the top)."));
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.isEmpty() || args.size() > 2)
        return context.fail(QStringLiteral("ls needs DEST and at most one PATH"), Usage);
    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());
    const auto destination = findDestination(context, args[0], connection);
    if (!destination)
        return Failure;

    QList<QSharedPointer<CloudFolder>> folders;
    QList<QSharedPointer<CloudFile>> files;
    QString shown = QStringLiteral("/");
    if (args.size() == 2) {
        shown = localPathOf(args[1]);
        const auto folder = CloudFolder::select(destination->id(), shown, connection);
        if (!folder)
            return context.fail(QStringLiteral("%1 is not a backed-up folder").arg(shown));
        folders = CloudFolder::select(folder->id(), 0, 0, connection);
        files = CloudFile::selectFolder(folder->id(), 0, 0, connection);
    } else {
        // Absolute local paths hang below one top-level folder with an empty name: that is "/".
        for (const auto& folder : CloudFolder::select(0, 0, 0, connection)) {
            if (folder->destintionId() != destination->id())
                continue;
            if (folder->displayName().isEmpty())
                folders << CloudFolder::select(folder->id(), 0, 0, connection);
            else
                folders << folder;
        }
    }

    QJsonArray folderArray, fileArray;
    QStringList lines;
    for (const auto& folder : folders) {
        const QString& name = folder->displayName();
        folderArray.append(name);
        lines << QStringLiteral("%1/").arg(name);
    }
    for (const auto& file : files) {
        const auto latest = CloudFileVersion::selectLastVersion(file->id(), connection);
        const QJsonObject entry{{QStringLiteral("name"), file->displayName()},
                                {QStringLiteral("size"), qint64(file->originalSize())},
                                {QStringLiteral("modified"), showTime(file->dateModified())},
                                {QStringLiteral("deletedLocally"), showTime(file->dateDeleted())},
                                {QStringLiteral("latestVersion"), latest ? QString::number(latest->id()) : QString()}};
        fileArray.append(entry);
        lines << QStringLiteral("%1  %2  %3%4")
                     .arg(file->displayName(), -40)
                     .arg(file->originalSize(), 12)
                     .arg(showTime(file->dateModified()))
                     .arg(file->dateDeleted().isValid() ? QStringLiteral("  (deleted locally)") : QString());
    }
    context.result(QJsonObject{{QStringLiteral("path"), shown},
                               {QStringLiteral("folders"), folderArray},
                               {QStringLiteral("files"), fileArray}},
                   lines.join(QLatin1Char('\n')));
    return Success;
}

int runVersions(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("List the stored versions of a file, oldest first."));
    parser.addPositionalArgument(QStringLiteral("DEST"), QStringLiteral("Destination folder or id."));
    parser.addPositionalArgument(QStringLiteral("LOCAL_PATH"), QStringLiteral("The file as it was backed up."));
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() != 2)
        return context.fail(QStringLiteral("versions needs DEST and LOCAL_PATH"), Usage);
    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());
    const auto destination = findDestination(context, args[0], connection);
    if (!destination)
        return Failure;
    const QString localPath = localPathOf(args[1]);
    const auto file = CloudFile::select_(destination->id(), localPath, connection);
    if (!file)
        return context.fail(QStringLiteral("%1 was never backed up to this destination").arg(localPath));

    QJsonArray array;
    QStringList lines;
    for (const auto& version : CloudFileVersion::select_(file->id(), connection)) {
        array.append(versionJson(*version));
        lines << QStringLiteral("%1  modified %2  backed up %3  %4 bytes")
                     .arg(version->id(), 8)
                     .arg(showTime(version->dateModified()), showTime(version->dateBackup()))
                     .arg(version->originalSize());
    }
    context.result(QJsonObject{{QStringLiteral("file"), localPath}, {QStringLiteral("versions"), array}},
                   lines.join(QLatin1Char('\n')));
    return Success;
}

}  // namespace rpxrepo
