#include "support/RepositoryFixture.h"

#include <rpxRepository/database/agent/ConfigPaths.h>

#include <QFile>
#include <QTemporaryDir>

using SHARED::functions::files_operations::get_attrib_from_file;

// The settings file is read for its first matching attribute wherever it sits; anything unreadable
// (missing file, broken or binary XML) yields nothing rather than a partial value.
TEST(ConfigPathsTest, AttributeReaderFindsTheFirstAttributeOrNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    const auto read = [&](const QByteArray& content, const QString& name) {
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        file.close();
        return get_attrib_from_file(path, name);
    };
    const QByteArray good = R"(<?xml version="1.0"?>
<agent><general name="x"/><storage><database DB_location="PGSQL;host:h;user:&quot;u&quot;"/></storage>
<database DB_location="second"/></agent>)";
    EXPECT_EQ(read(good, QStringLiteral("DB_location")), QStringLiteral("PGSQL;host:h;user:\"u\""));
    EXPECT_EQ(read(good, QStringLiteral("missing")), QString());
    EXPECT_EQ(read(good, QString()), QString());
    EXPECT_EQ(get_attrib_from_file(dir.filePath(QStringLiteral("none.xml")), QStringLiteral("DB_location")), QString());
    for (const QByteArray& bad : {QByteArray("<a DB_location=\"x\"><b></a>"), QByteArray("<a DB_location=\"x\""),
                                  QByteArray("\x00\x01\x02", 3), QByteArray()})
        EXPECT_EQ(read(bad, QStringLiteral("DB_location")), QString()) << bad.toStdString();
}
