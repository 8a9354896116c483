#include <rpxRepository/database/agent/DiskImageMetaData.h>

#include "support/Printers.h"

#include <gtest/gtest.h>

using RPX::Info::DiskImageMetaData;

static const QString Header = QStringLiteral("<?xml version=\"1.0\"?>");

static QString document(const QString& body)
{
    return Header + "<DiskImageMetaData>" + body + "</DiskImageMetaData>";
}

TEST(DiskImageMetaData, WrittenDocumentReadsBack)
{
    DiskImageMetaData written;
    written.setCreateDate(QDateTime(QDate(2024, 2, 29), QTime(23, 59, 58, 7), Qt::OffsetFromUTC, 3600));
    written.setCompressed(true);
    written.setOriginalSize(Q_UINT64_C(18446744073709551615));
    // Markup characters are escaped; characters XML cannot carry are dropped, not left to break the document.
    const QString host = QString::fromUtf8("<pc & \"1\"> \xF0\x9F\x92\xBE");
    written.setHostName(host + QChar(0x01) + QChar(0xD800) + "x");
    written.setPlatformType(DiskImageMetaData::PlatformType(2));
    written.setBlockLevelBackup(true);

    const auto read = DiskImageMetaData::createFromXml(written.toXml());
    ASSERT_FALSE(read.isNull()) << written.toXml().toStdString();
    // The date comes back as the same moment in UTC ("Z"), to the millisecond.
    EXPECT_EQ(std::make_tuple(read->createDate().toString(Qt::ISODateWithMs), read->originalSize(), read->hostName()),
              std::make_tuple(QString("2024-02-29T22:59:58.007Z"), Q_UINT64_C(18446744073709551615), host + "x"));
    EXPECT_TRUE(read->compressed() && !read->encrypted() && read->blockLevelBackup() &&
                read->platformType() == DiskImageMetaData::PlatformType(2));

    // Elements another agent version adds are skipped, missing ones keep their defaults.
    const auto sparse = DiskImageMetaData::createFromXml(
        document("<!-- c --><Future a=\"1\"><Deep><BlockLevelBackup>x</BlockLevelBackup></Deep></Future>"
                 "<BlockLevelBackup> 1 </BlockLevelBackup>"));
    ASSERT_FALSE(sparse.isNull());
    EXPECT_TRUE(sparse->blockLevelBackup() && !sparse->createDate().isValid() &&
                sparse->platformType() == DiskImageMetaData::PlatformType::Unknown);
}

TEST(DiskImageMetaData, MalformedAndHostileDocumentsGiveNoObject)
{
    const std::pair<const char*, QString> cases[] = {
        {"empty", ""},
        {"other root", Header + "<Image><HostName>pc</HostName></Image>"},
        {"truncated", document("<HostName>pc</HostName>").chopped(3)},
        {"second root", document("") + "<DiskImageMetaData/>"},
        {"negative size", document("<OriginalSize>-1</OriginalSize>")},
        {"word for a flag", document("<Compressed>yes</Compressed>")},
        {"bad date", document("<CreateDate>2024-13-01T00:00:00Z</CreateDate>")},
        {"element inside a value", document("<HostName>p<b>c</b></HostName>")},
        {"field twice", document("<HostName>a</HostName><HostName>b</HostName>")},
        {"billion laughs",
         Header + "<!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                  "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
                  "<DiskImageMetaData><HostName>&d;&d;&d;&d;&d;&d;&d;&d;</HostName></DiskImageMetaData>"},
        // Even a harmless DTD is refused: no entity of the document is ever expanded.
        {"internal entity", Header + "<!DOCTYPE d [<!ENTITY n \"pc\">]><DiskImageMetaData><HostName>&n;</HostName>"
                                     "</DiskImageMetaData>"},
        {"external entity", Header + "<!DOCTYPE d [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>" +
                                "<DiskImageMetaData><HostName>&x;</HostName></DiskImageMetaData>"},
        {"undeclared entity", document("<HostName>&x;</HostName>")},
        {"control character reference", document("<HostName>p&#1;c</HostName>")},
        {"too long", document(QString(DiskImageMetaData::MaxXmlLength, QChar(' ')))},
    };
    for (const auto& [what, xml] : cases)
        EXPECT_TRUE(DiskImageMetaData::createFromXml(xml).isNull()) << what;
}
