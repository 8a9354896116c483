#pragma once

#include <QDateTime>
#include <QSharedPointer>
#include <QString>

namespace RPX::Info {

// The agent's description of one stored disk image, kept as an XML document next to the image
// and, unchanged, in the catalog row of the image.
class DiskImageMetaData
{
public:
    // The agent's platform codes; the catalog keeps 1 and 2 and treats every other code as 0.
    enum class PlatformType : int { Unknown = 0 };

    // Longest document createFromXml reads, in characters; a real one is a few hundred.
    static constexpr int MaxXmlLength = 1 << 20;

    // The document parsed; null when it is malformed, too long, carries a DTD (no entity is ever
    // expanded), has another root element or a value that does not parse. Unknown elements are skipped.
    static QSharedPointer<DiskImageMetaData> createFromXml(const QString& xml);
    QString toXml() const;

    const QDateTime& createDate() const { return m_createDate; }
    bool compressed() const { return m_compressed; }
    bool encrypted() const { return m_encrypted; }
    quint64 originalSize() const { return m_originalSize; }
    quint64 compressedSize() const { return m_compressedSize; }
    const QString& hostName() const { return m_hostName; }
    PlatformType platformType() const { return m_platformType; }
    // A block-level image holds the blocks changed since the image before it; a full one stands alone.
    bool blockLevelBackup() const { return m_blockLevelBackup; }

    // Kept as UTC.
    void setCreateDate(const QDateTime& createDate) { m_createDate = createDate.toUTC(); }
    void setCompressed(bool compressed) { m_compressed = compressed; }
    void setEncrypted(bool encrypted) { m_encrypted = encrypted; }
    void setOriginalSize(quint64 originalSize) { m_originalSize = originalSize; }
    void setCompressedSize(quint64 compressedSize) { m_compressedSize = compressedSize; }
    void setHostName(const QString& hostName) { m_hostName = hostName; }
    void setPlatformType(PlatformType platformType) { m_platformType = platformType; }
    void setBlockLevelBackup(bool blockLevelBackup) { m_blockLevelBackup = blockLevelBackup; }

private:
    QDateTime m_createDate;
    bool m_compressed = false;
    bool m_encrypted = false;
    quint64 m_originalSize = 0;
    quint64 m_compressedSize = 0;
    QString m_hostName;
    PlatformType m_platformType = PlatformType::Unknown;
    bool m_blockLevelBackup = false;
};

}  // namespace RPX::Info
