#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/agent/ConfigPaths.h>
#include <rpxRepository/database/agent/Identity.h>
#include <rpxRepository/database/agent/KtlDebug.h>
#include <rpxRepository/database/agent/Utility.h>

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

using namespace SHARED::defines::Path::ETC::CONFIG;
using SHARED::functions::files_operations::get_attrib_from_file;
using rpxtest::LogCapture;
using rpxtest::ScopedEnv;

namespace {

QString writeTemp(QTemporaryDir& dir, const QByteArray& content)
{
    const QString path = dir.filePath(QStringLiteral("settings.xml"));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
    return path;
}

}  // namespace

TEST(ConfigPathsTest, ConfigRootFollowsTheEnvironmentAndEndsWithASeparator)
{
    {
        ScopedEnv root("RPX_CONFIG_ROOT", "/tmp/rpx-root");
        EXPECT_EQ(config_root(), QStringLiteral("/tmp/rpx-root/"));
        EXPECT_EQ(default_settings(), QStringLiteral("/tmp/rpx-root/settings.xml"));
        EXPECT_EQ(RPX::Defines::AppPath::to().differentialFileMap(), QStringLiteral("/tmp/rpx-root/maps/differential"));
        EXPECT_EQ(RPX::Defines::AppPath::to().diskImageMap(), QStringLiteral("/tmp/rpx-root/maps/diskimage"));
        EXPECT_EQ(SHARED::defines::Path::diskImageMap(), QStringLiteral("/tmp/rpx-root/maps/diskimage/"));
    }
    {
        ScopedEnv root("RPX_CONFIG_ROOT", "/tmp/other/");
        EXPECT_EQ(config_root(), QStringLiteral("/tmp/other/"));
    }
    qunsetenv("RPX_CONFIG_ROOT");
    EXPECT_TRUE(config_root().endsWith(QStringLiteral("/rpx/")));
}

TEST(ConfigPathsTest, AttributeReaderFindsTheFirstAttributeAnywhere)
{
    QTemporaryDir dir;
    const QString path = writeTemp(dir, R"(<?xml version="1.0"?>
<agent><general name="x"/><storage><database DB_location="PGSQL;host:h;user:&quot;u&quot;"/></storage>
<database DB_location="second"/></agent>)");
    EXPECT_EQ(get_attrib_from_file(path, QStringLiteral("DB_location")), QStringLiteral("PGSQL;host:h;user:\"u\""));
    EXPECT_EQ(get_attrib_from_file(path, QStringLiteral("missing")), QString());
    EXPECT_EQ(get_attrib_from_file(path, QString()), QString());
    EXPECT_EQ(get_attrib_from_file(dir.filePath(QStringLiteral("none.xml")), QStringLiteral("DB_location")), QString());
}

TEST(ConfigPathsTest, MalformedXmlYieldsNothing)
{
    QTemporaryDir dir;
    for (const QByteArray& bad : {QByteArray("<a DB_location=\"x\"><b></a>"), QByteArray("<a DB_location=\"x\""),
                                  QByteArray("not xml at all"), QByteArray("\x00\x01\x02", 3), QByteArray()}) {
        const QString path = writeTemp(dir, bad);
        EXPECT_EQ(get_attrib_from_file(path, QStringLiteral("DB_location")), QString()) << bad.toStdString();
    }
}

TEST(IdentityTest, VroEditionIsSwitchedByTheEnvironment)
{
    {
        ScopedEnv vro("RPX_VRO", "1");
        EXPECT_TRUE(SHARED::defines::common::is_vro());
    }
    {
        ScopedEnv vro("RPX_VRO", "yes");
        EXPECT_FALSE(SHARED::defines::common::is_vro());
    }
    EXPECT_FALSE(SHARED::defines::common::build_version().isEmpty());
    EXPECT_EQ(KTL::Core::Version::number(), SHARED::defines::common::build_version());
    EXPECT_FALSE(KTL::Network::ComputerName::name().isEmpty());
}

TEST(UtilityTest, UuidTextIsLowerCaseWithoutBraces)
{
    const QUuid uuid(QStringLiteral("{0F8FAD5B-D9CB-469F-A165-70867728950E}"));
    EXPECT_EQ(KTL::Utility::Uuid2String::windows(uuid), QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
    EXPECT_EQ(KTL::Utility::Uuid2String::windows(QUuid()).size(), 36);
}

TEST(UtilityTest, StringHelpers)
{
    using KTL::Utility::StringFilters::removeTrailingChar;
    EXPECT_EQ(removeTrailingChar(QStringLiteral("/backup///"), QLatin1Char('/')), QStringLiteral("/backup"));
    EXPECT_EQ(removeTrailingChar(QStringLiteral("///"), QLatin1Char('/')), QString());
    EXPECT_EQ(removeTrailingChar(QStringLiteral("a/b"), QLatin1Char('/')), QStringLiteral("a/b"));

    const QString random = KTL::Utility::RandomString::generateSimple(32);
    EXPECT_EQ(random.size(), 32);
    EXPECT_NE(random, KTL::Utility::RandomString::generateSimple(32));
    EXPECT_TRUE(KTL::Utility::RandomString::generateSimple(0).isEmpty());
}

TEST(KtlDebugTest, LinesCarryTheSqlCategoryLevelsAndFilters)
{
    LogCapture log;
    KTL::KtlDebug("SQL").warning() << "first:" << 3 << QStringLiteral("text");
    KTL::KtlDebug("SQL").infoH() << "stands out";
    KTL::KtlDebug("SQL").error() << "bad";
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0].text, QStringLiteral("first: 3 text"));
    EXPECT_EQ(lines[0].type, QtWarningMsg);
    EXPECT_EQ(lines[1].text, QStringLiteral("[!] stands out"));
    EXPECT_EQ(lines[1].type, QtInfoMsg);
    EXPECT_EQ(lines[2].type, QtCriticalMsg);

    QLoggingCategory::setFilterRules(QStringLiteral("SQL.debug=false"));
    log.clear();
    KTL::KtlDebug("SQL").debug() << "hidden";
    KTL::KtlDebug("SQL").info() << "shown";
    QLoggingCategory::setFilterRules(QString());
    EXPECT_EQ(log.texts(), QStringList{QStringLiteral("shown")});
}
