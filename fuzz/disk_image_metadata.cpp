// Disk-image metadata documents read from storage: parsing never crashes, and whatever parses
// is written back as a document that parses to the same values.

#include "FuzzSupport.h"

#include <rpxRepository/database/agent/DiskImageMetaData.h>

using RPX::Info::DiskImageMetaData;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    rpxfuzz::initQt(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString xml = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    const QSharedPointer<DiskImageMetaData> parsed = DiskImageMetaData::createFromXml(xml);
    if (!parsed)
        return 0;
    const QString written = parsed->toXml();
    const QSharedPointer<DiskImageMetaData> reread = DiskImageMetaData::createFromXml(written);
    RPX_FUZZ_CHECK(reread);
    RPX_FUZZ_CHECK(reread->toXml() == written);
    RPX_FUZZ_CHECK(reread->createDate() == parsed->createDate() && reread->hostName() == parsed->hostName() &&
                   reread->originalSize() == parsed->originalSize() &&
                   reread->compressedSize() == parsed->compressedSize() &&
                   reread->blockLevelBackup() == parsed->blockLevelBackup());
    return 0;
}
