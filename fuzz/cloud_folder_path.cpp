// Folder paths as the file system hands them over: splitting keeps every component, and a
// registered chain is found again, registered only once and maps back to its path.

#include "FuzzSupport.h"

#include <rpxRepository/catalog/CloudFolder.h>

using RPX::SQL::CloudFolder;

namespace {
rpxfuzz::ScratchCatalog* catalog = nullptr;
constexpr unsigned long long Destination = 7;
constexpr int MaxRegisteredParts = 32;

// SQLite hands the noncharacters U+FFFE and U+FFFF back as U+FFFD (its UTF-8 reader replaces
// them); lookups still match, since both sides are converted alike. That is the one change a
// name may undergo on the way through the catalog.
QString asStored(QString text)
{
    for (QChar& c : text)
        if (c.unicode() >= 0xFFFE)
            c = QChar(0xFFFD);
    return text;
}
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    rpxfuzz::initQt(argc, argv);
    catalog = new rpxfuzz::ScratchCatalog({CloudFolder::createTable(RPX::SQL::DatabaseType::SQLite)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    const QStringList parts = CloudFolder::splitPath(path);
    const QChar separator = QLatin1Char('/');
    RPX_FUZZ_CHECK(!parts.isEmpty());
    RPX_FUZZ_CHECK(parts.join(separator) == (path.endsWith(separator) ? path.chopped(1) : path));
    if (parts.size() > MaxRegisteredParts)
        return 0;

    // Keep the table small so that every run costs about the same.
    static int runs = 0;
    if (++runs % 2000 == 0)
        catalog->run(QStringLiteral("delete from cloud_folders"));

    RPX::SQL::DatabaseConnection& connection = catalog->connection();
    const QSharedPointer<CloudFolder> registered = CloudFolder::selectOrInsert(Destination, path, connection);
    RPX_FUZZ_CHECK(registered && registered->id() != 0);
    RPX_FUZZ_CHECK(asStored(registered->displayName()) == asStored(parts.last()));
    const QSharedPointer<CloudFolder> found = CloudFolder::select(Destination, path, connection);
    RPX_FUZZ_CHECK(found && found->id() == registered->id());
    const QSharedPointer<CloudFolder> again = CloudFolder::selectOrInsert(Destination, path, connection);
    RPX_FUZZ_CHECK(again && again->id() == registered->id());

    QStringList named;
    for (const QString& part : parts)
        if (!part.isEmpty())
            named << part;
    const QString expected = named.isEmpty() ? QStringLiteral("/")
                                             : asStored(separator + named.join(separator) + separator);
    RPX_FUZZ_CHECK(CloudFolder::selectPath(registered->id(), connection) == expected);
    return 0;
}
