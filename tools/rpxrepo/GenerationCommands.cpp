#include "Catalog.h"
#include "Commands.h"

#include <QFileInfo>

using namespace RPX::SQL;
using namespace RPX::SQL::Generation;

namespace rpxrepo {

// generation ls: what a restore of a generation to a moment needs, folder by folder.
int runGeneration(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("generation ls: list a generation database recursively."));
    parser.addPositionalArgument(QStringLiteral("ls"), QStringLiteral("The listing (the only subcommand)."));
    parser.addPositionalArgument(QStringLiteral("GENERATION_DB"), QStringLiteral("The generation's database file."));
    parser.addPositionalArgument(QStringLiteral("PATH"), QStringLiteral("Folders or files to list."), QStringLiteral("PATH..."));
    parser.addOption({QStringLiteral("at"), QStringLiteral("As of this moment (default: the newest)."), QStringLiteral("TIME")});
    parser.addOption({QStringLiteral("only-files"), QStringLiteral("Files only, no folders.")});
    parser.addOption({QStringLiteral("skip-deleted"), QStringLiteral("Leave out what was deleted by then.")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    const QStringList args = parser.positionalArguments();
    if (args.size() < 3 || args[0] != QLatin1String("ls"))
        return context.fail(QStringLiteral("usage: generation ls GENERATION_DB [--at TIME] [--only-files] "
                                           "[--skip-deleted] PATH..."),
                            Usage);
    QDateTime at;
    if (parser.isSet(QStringLiteral("at"))) {
        at = parseTime(parser.value(QStringLiteral("at")));
        if (!at.isValid())
            return context.fail(QStringLiteral("invalid time '%1'").arg(parser.value(QStringLiteral("at"))), Usage);
    } else {
        at = QDateTime::currentDateTimeUtc().addYears(100);
    }
    // Attaching a missing file would create an empty generation.
    if (!QFileInfo(args[1]).isFile())
        return context.fail(QStringLiteral("generation database %1 does not exist").arg(args[1]));

    AttachDatabase generation(args[1], QUuid());
    if (generation.attach() != Result::Ok)
        return context.fail(QStringLiteral("cannot open generation database %1 (run with --verbose for details)").arg(args[1]));

    FileListingRecursive listing(args.mid(2), at, parser.isSet(QStringLiteral("only-files")),
                                 parser.isSet(QStringLiteral("skip-deleted")), generation.attachedDatabasePool());
    QJsonArray array;
    QStringList lines;
    while (true) {
        const TestResult more = listing.hasNext();
        if (more.second != Result::Ok)
            return context.fail(QStringLiteral("listing failed (result %1)").arg(more.second));
        if (!more.first)
            break;
        const FileListingRecursive::Item item = listing.next();
        if (item.first) {
            const Files& file = *item.first;
            array.append(QJsonObject{{QStringLiteral("path"), file.localPath()},
                                     {QStringLiteral("size"), file.originalSize()},
                                     {QStringLiteral("modified"), showTime(file.dateModificationUtc())},
                                     {QStringLiteral("deleted"), file.deleted()}});
            lines << QStringLiteral("%1  %2%3").arg(file.originalSize(), 12).arg(file.localPath(),
                                                                                 file.deleted() ? QStringLiteral("  (deleted)") : QString());
        } else if (item.second) {
            const Folders& folder = *item.second;
            array.append(QJsonObject{{QStringLiteral("path"), folder.localPath()},
                                     {QStringLiteral("folder"), true},
                                     {QStringLiteral("deleted"), folder.deleted()}});
            lines << QStringLiteral("%1  %2/%3").arg(QString(), 12).arg(folder.localPath(),
                                                                        folder.deleted() ? QStringLiteral("  (deleted)") : QString());
        }
    }
    context.result(QJsonObject{{QStringLiteral("items"), array}}, lines.join(QLatin1Char('\n')));
    return Success;
}

int runImages(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Disk images of a destination, oldest first."));
    parser.addPositionalArgument(QStringLiteral("DEST"), QStringLiteral("Destination folder or id."));
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    if (parser.positionalArguments().size() != 1)
        return context.fail(QStringLiteral("images needs exactly one DEST"), Usage);
    if (!openRepository(context))
        return Failure;
    DatabaseConnection connection(DatabasePool::defaultPool());
    const auto destination = findDestination(context, parser.positionalArguments().first(), connection);
    if (!destination)
        return Failure;
    QJsonArray array;
    QStringList lines;
    for (const auto& image : DiskImage::select(destination->id(), 0, 0, false, connection)) {
        array.append(QJsonObject{{QStringLiteral("id"), QString::number(image->id())},
                                 {QStringLiteral("created"), showTime(image->dateCreate())},
                                 {QStringLiteral("host"), image->hostName()},
                                 {QStringLiteral("size"), qint64(image->originalSize())},
                                 {QStringLiteral("stored"), qint64(image->size())},
                                 {QStringLiteral("full"), image->isFull()},
                                 {QStringLiteral("encrypted"), image->isEncrypted()}});
        lines << QStringLiteral("%1  %2  %3  %4 bytes%5").arg(image->id(), 6).arg(showTime(image->dateCreate()), image->hostName())
                     .arg(image->originalSize()).arg(image->isFull() ? QStringLiteral("  full") : QStringLiteral("  incremental"));
    }
    context.result(QJsonObject{{QStringLiteral("images"), array}}, lines.join(QLatin1Char('\n')));
    return Success;
}

}  // namespace rpxrepo
