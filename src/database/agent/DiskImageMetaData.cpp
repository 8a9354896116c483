#include "DiskImageMetaData.h"

#include <QSet>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace RPX::Info {

namespace {

const QString Root = QStringLiteral("DiskImageMetaData");
const QString CreateDate = QStringLiteral("CreateDate");
const QString HostName = QStringLiteral("HostName");
const QString Platform = QStringLiteral("PlatformType");
const QString Compressed = QStringLiteral("Compressed");
const QString Encrypted = QStringLiteral("Encrypted");
const QString OriginalSize = QStringLiteral("OriginalSize");
const QString CompressedSize = QStringLiteral("CompressedSize");
const QString BlockLevelBackup = QStringLiteral("BlockLevelBackup");

bool parseFlag(const QString& text, bool& value)
{
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        value = true;
    else if (text == QLatin1String("false") || text == QLatin1String("0"))
        value = false;
    else
        return false;
    return true;
}

bool parseSize(const QString& text, quint64& value)
{
    bool ok = false;
    value = text.toULongLong(&ok);
    return ok;
}

// One child element of the root; false for a value that does not parse.
bool readField(QXmlStreamReader& reader, DiskImageMetaData& metaData)
{
    const QString name = reader.name().toString();
    if (name != CreateDate && name != HostName && name != Platform && name != Compressed && name != Encrypted &&
        name != OriginalSize && name != CompressedSize && name != BlockLevelBackup) {
        // A newer agent may describe more; what this one does not know it leaves alone.
        reader.skipCurrentElement();
        return !reader.hasError();
    }
    const QString text = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
    if (reader.hasError())
        return false;
    const QString value = text.trimmed();
    if (name == HostName) {
        metaData.setHostName(text);
        return true;
    }
    if (name == CreateDate) {
        const QDateTime date = QDateTime::fromString(value, Qt::ISODateWithMs);
        metaData.setCreateDate(date);
        return date.isValid();
    }
    if (name == Platform) {
        bool ok = false;
        metaData.setPlatformType(DiskImageMetaData::PlatformType(value.toInt(&ok)));
        return ok;
    }
    if (name == Compressed || name == Encrypted || name == BlockLevelBackup) {
        bool flag = false;
        if (!parseFlag(value, flag))
            return false;
        if (name == Compressed)
            metaData.setCompressed(flag);
        else if (name == Encrypted)
            metaData.setEncrypted(flag);
        else
            metaData.setBlockLevelBackup(flag);
        return true;
    }
    quint64 size = 0;
    if (!parseSize(value, size))
        return false;
    if (name == OriginalSize)
        metaData.setOriginalSize(size);
    else
        metaData.setCompressedSize(size);
    return true;
}

bool readRoot(QXmlStreamReader& reader, DiskImageMetaData& metaData)
{
    QSet<QString> seen;
    while (reader.readNextStartElement()) {
        // Two values of one field leave no telling which is meant.
        const QString name = reader.name().toString();
        if (seen.contains(name))
            return false;
        seen.insert(name);
        if (!readField(reader, metaData))
            return false;
    }
    return !reader.hasError();
}

bool isXmlChar(uint code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// The writer would pass characters XML forbids straight through and make the document unreadable.
QString xmlText(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            result.append(c).append(text.at(++i));
        } else if (!c.isSurrogate() && isXmlChar(c.unicode())) {
            result.append(c);
        }
    }
    return result;
}

QString flagText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

}  // namespace

QSharedPointer<DiskImageMetaData> DiskImageMetaData::createFromXml(const QString& xml)
{
    if (xml.size() > MaxXmlLength)
        return {};
    QSharedPointer<DiskImageMetaData> metaData(new DiskImageMetaData());
    QXmlStreamReader reader(xml);
    bool rootRead = false;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            // Entities are declared only in a DTD; refusing it keeps every expansion out.
            return {};
        case QXmlStreamReader::EntityReference:
            return {};
        case QXmlStreamReader::StartElement:
            if (rootRead || reader.name() != Root || !readRoot(reader, *metaData))
                return {};
            rootRead = true;
            break;
        default:
            break;
        }
    }
    if (reader.hasError() || !rootRead)
        return {};
    return metaData;
}

QString DiskImageMetaData::toXml() const
{
    QString xml;
    QXmlStreamWriter writer(&xml);
    writer.writeStartDocument();
    writer.writeStartElement(Root);
    writer.writeAttribute(QStringLiteral("version"), QStringLiteral("1"));
    if (m_createDate.isValid())
        writer.writeTextElement(CreateDate, m_createDate.toUTC().toString(Qt::ISODateWithMs));
    writer.writeTextElement(HostName, xmlText(m_hostName));
    writer.writeTextElement(Platform, QString::number(int(m_platformType)));
    writer.writeTextElement(Compressed, flagText(m_compressed));
    writer.writeTextElement(Encrypted, flagText(m_encrypted));
    writer.writeTextElement(OriginalSize, QString::number(m_originalSize));
    writer.writeTextElement(CompressedSize, QString::number(m_compressedSize));
    writer.writeTextElement(BlockLevelBackup, flagText(m_blockLevelBackup));
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

}  // namespace RPX::Info
