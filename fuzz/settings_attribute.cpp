// The agent's settings file, whatever it holds: reading an attribute never crashes or hangs.

#include "FuzzSupport.h"

#include <rpxRepository/database/agent/ConfigPaths.h>

#include <QFile>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    rpxfuzz::initQt(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = rpxfuzz::scratchFolder() + QStringLiteral("/settings.xml");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    using SHARED::functions::files_operations::get_attrib_from_file;
    const QString location = get_attrib_from_file(path, QStringLiteral("DB_location"));
    RPX_FUZZ_CHECK(get_attrib_from_file(path, QStringLiteral("DB_location")) == location);
    RPX_FUZZ_CHECK(get_attrib_from_file(path, QString()).isEmpty());
    return 0;
}
