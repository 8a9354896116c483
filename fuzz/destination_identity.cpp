// Storage-account settings from an untrusted settings store: deriving the destination identity
// never crashes, leaves the outputs alone when it yields none, and a registered destination is
// found again by the same settings.

#include "FuzzSupport.h"

#include <rpxRepository/catalog/Destination.h>

#include <QJsonDocument>
#include <QJsonObject>

using RPX::SQL::Destination;

namespace {
rpxfuzz::ScratchCatalog* catalog = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    rpxfuzz::initQt(argc, argv);
    catalog = new rpxfuzz::ScratchCatalog({Destination::createTable(RPX::SQL::DatabaseType::SQLite)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    if (!document.isObject())
        return 0;
    const QJsonObject settings = document.object();

    const QString untouched = QStringLiteral("untouched");
    QString accountId = untouched, prefix = untouched, container = untouched, cloudType = untouched;
    const bool derived = Destination::SearchParams(settings, accountId, prefix, container, cloudType);
    if (!derived) {
        RPX_FUZZ_CHECK(accountId == untouched && prefix == untouched && container == untouched &&
                       cloudType == untouched);
        RPX_FUZZ_CHECK(!Destination::selectOrInsert(settings, catalog->connection()));
        return 0;
    }
    RPX_FUZZ_CHECK(!cloudType.isEmpty());

    const QSharedPointer<Destination> registered = Destination::selectOrInsert(settings, catalog->connection());
    if (settings.isEmpty()) {
        RPX_FUZZ_CHECK(!registered);
        return 0;
    }
    RPX_FUZZ_CHECK(registered && registered->id() != 0);
    const QSharedPointer<Destination> found = Destination::select(settings, catalog->connection());
    RPX_FUZZ_CHECK(found && found->id() == registered->id());
    RPX_FUZZ_CHECK(found->accountId() == accountId && found->prefix() == prefix && found->container() == container &&
                   found->cloudType() == cloudType);
    const QSharedPointer<Destination> again = Destination::selectOrInsert(settings, catalog->connection());
    RPX_FUZZ_CHECK(again && again->id() == registered->id());
    return 0;
}
