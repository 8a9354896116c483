#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>

#include <QString>
#include <QUuid>

namespace RPX::SQL {

// The block map of one differential version: the row names the map file, which lives on the
// local disk in the differential or the disk-image map folder.
class CloudFileVersionBitmap
{
public:
    CloudFileVersionBitmap();
    explicit CloudFileVersionBitmap(unsigned long long versionId);

    static QString createTable(DatabaseType type);

    bool insert(DatabaseConnection& connection) const;
    // Fills this object when the version has a bitmap; leaves it unchanged otherwise.
    bool select(unsigned long long versionId, DatabaseConnection& connection);
    bool select(DatabaseConnection& connection);
    bool update(unsigned long long versionId, DatabaseConnection& connection) const;
    bool update(DatabaseConnection& connection) const;
    static bool updateVersionId(unsigned long long oldVersionId, unsigned long long newVersionId,
                                DatabaseConnection& connection);
    // The row only.
    static bool delete_(unsigned long long versionId, DatabaseConnection& connection);
    // The row and then its map file; a map file that cannot be removed is logged, not reported.
    bool delete_(DatabaseConnection& connection) const;
    bool checkOnDisk(bool diskImage) const;

    unsigned long long versionId() const { return m_versionId; }
    QUuid versionUuid() const { return m_versionUuid; }
    void setVersionId(unsigned long long versionId) { m_versionId = versionId; }
    void setVersionUuid(const QUuid& versionUuid) { m_versionUuid = versionUuid; }

private:
    unsigned long long m_versionId = 0;
    QUuid m_versionUuid;
};

}  // namespace RPX::SQL
