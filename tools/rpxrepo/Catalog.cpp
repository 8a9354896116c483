#include "Catalog.h"

#include <QDir>
#include <QFileInfo>

namespace rpxrepo {

QJsonObject fileSystemAccount(const QString& folder, const QString& prefix)
{
    return QJsonObject{{QStringLiteral("AccountType"), QStringLiteral("FileSystem")},
                       {QStringLiteral("Path"), folder},
                       {QStringLiteral("BackupPrefix"), prefix}};
}

QSharedPointer<Destination> findDestination(const Context& context, const QString& text, DatabaseConnection& connection)
{
    bool isId = false;
    const unsigned long long id = text.toULongLong(&isId);
    if (isId && id != 0) {
        auto destination = Destination::select(id, connection);
        if (destination.isNull())
            context.fail(QStringLiteral("no destination with id %1").arg(id));
        return destination;
    }

    const QString folder = localPathOf(text) + QStringLiteral("/RPX_");
    QList<QSharedPointer<Destination>> matches;
    for (const auto& destination : Destination::select(connection)) {
        if (destination->cloudType() == QLatin1String("FileSystem") && destination->prefix().startsWith(folder) &&
            !destination->prefix().mid(folder.size()).contains(QLatin1Char('/')))
            matches << destination;
    }
    if (matches.size() == 1)
        return matches.first();
    if (matches.isEmpty()) {
        context.fail(QStringLiteral("no backup destination at %1").arg(text));
    } else {
        QStringList ids;
        for (const auto& destination : matches)
            ids << QStringLiteral("%1 (%2)").arg(destination->id()).arg(destination->prefix());
        context.fail(QStringLiteral("%1 holds several backups, name one by id: %2").arg(text, ids.join(QStringLiteral(", "))));
    }
    return {};
}

QString storedObjectPath(const Destination& destination, const QByteArray& cloudPath)
{
    return destination.prefix() + QLatin1Char('/') + QString::fromUtf8(cloudPath);
}

bool walkFiles(unsigned long long folderId, DatabaseConnection& connection,
               const std::function<bool(const QSharedPointer<CloudFile>&)>& visit)
{
    constexpr unsigned long long Page = 10000;
    for (unsigned long long offset = 0;; offset += Page) {
        const auto files = CloudFile::selectFolder(folderId, Page, offset, connection);
        for (const auto& file : files) {
            if (!visit(file))
                return false;
        }
        if (quint64(files.size()) < Page)
            break;
    }
    for (const auto& child : CloudFolder::select(folderId, 0, 0, connection)) {
        if (!walkFiles(child->id(), connection, visit))
            return false;
    }
    return true;
}

QList<QSharedPointer<CloudFile>> filesUnder(const Destination& destination, const QString& localPath,
                                            DatabaseConnection& connection)
{
    QList<QSharedPointer<CloudFile>> files;
    if (auto file = CloudFile::select_(destination.id(), localPath, connection))
        files << file;
    if (auto folder = CloudFolder::select(destination.id(), localPath, connection)) {
        walkFiles(folder->id(), connection, [&](const QSharedPointer<CloudFile>& file) {
            files << file;
            return true;
        });
    }
    return files;
}

QDateTime parseTime(const QString& text)
{
    if (text.size() == 14 && text.toLongLong() > 0) {
        QDateTime time = QDateTime::fromString(text, QStringLiteral("yyyyMMddhhmmss"));
        time.setTimeSpec(Qt::UTC);
        return time;
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid())
        return time;
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeSpec(Qt::UTC);
    return time.toUTC();
}

QString showTime(const QDateTime& time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QStringLiteral("-");
}

QString localPathOf(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QDateTime catalogTime(const QDateTime& time)
{
    return RPX::SQL::Utitlity::modifiedDateTime(time.toUTC());
}

}  // namespace rpxrepo
