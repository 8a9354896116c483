#pragma once

#include "DiskImage.h"

#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/database/DatabaseConnection.h>

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QSharedPointer>

namespace RPX::SQL {

// Chooses which disk images of a destination may be purged, and why. Reads the catalog only;
// the caller deletes the stored objects and the rows. Images that need decrypting are never chosen.
class CheckCloudFiles4IbbPurge
{
public:
    enum Type { All = 0, Current = 1, Policy = 2 };
    enum Reason {
        Retention = 0,     // older than the age limit
        VersionCount = 1,  // beyond the number of images to keep
        Explicit = 2,      // chosen by the All or Current rule
    };
    using Selection = QList<QPair<QSharedPointer<DiskImage>, Reason>>;

    CheckCloudFiles4IbbPurge(Type type, quint64 destinationId);
    virtual ~CheckCloudFiles4IbbPurge();

    // The chosen images, oldest first.
    virtual Selection versions(DatabaseConnection& connection) = 0;

    // The stored versions that make the images up: per image its metadata file version, then each
    // of its versions followed by the block-level base (kind 6) it builds on. Stops at a missing
    // metadata file or metadata version and returns what it has gathered.
    static QList<QSharedPointer<CloudFileVersion>> fileVersions(QList<QSharedPointer<DiskImage>> images,
                                                                qint64 destinationId, DatabaseConnection& connection);

    Type type() const { return m_type; }
    quint64 destinationId() const { return m_destinationId; }

protected:
    // The destination's images that are readable as they are, oldest first.
    QList<QSharedPointer<DiskImage>> candidates(DatabaseConnection& connection) const;

private:
    Type m_type;
    quint64 m_destinationId;
};

// Every image of the destination.
class CheckCloudFiles4IbbPurgeAll : public CheckCloudFiles4IbbPurge
{
public:
    explicit CheckCloudFiles4IbbPurgeAll(quint64 destinationId);

    Selection versions(DatabaseConnection& connection) override;
};

// The first image taken at or after a moment, with the block-level images that follow it.
class CheckCloudFiles4IbbPurgeCurrent : public CheckCloudFiles4IbbPurge
{
public:
    // The moment's clock value is taken as UTC.
    CheckCloudFiles4IbbPurgeCurrent(quint64 destinationId, const QDateTime& pointInTime);

    Selection versions(DatabaseConnection& connection) override;

    const QDateTime& pointInTime() const { return m_pointInTime; }

private:
    QDateTime m_pointInTime;
};

// The images outside a retention policy, without breaking the chain of those that stay: the oldest
// image kept is always a full one.
class CheckCloudFiles4IbbPurgePolicy : public CheckCloudFiles4IbbPurge
{
public:
    explicit CheckCloudFiles4IbbPurgePolicy(quint64 destinationId);

    Selection versions(DatabaseConnection& connection) override;

    // Images created more than `days` days before now go. ageRuleOption changes nothing: when every
    // image is past the limit, the newest full image and its block-level followers stay anyway.
    void deleteVersionOlder(bool enabled, long days, bool ageRuleOption);
    // Only the newest `count` images (of what the age rule leaves) stay.
    void keepNumberOfVersion(bool enabled, qint64 count);
    // The moment the age limit is measured from; invalid (the default) means the current UTC time.
    void setReferenceTime(const QDateTime& now) { m_referenceTime = now; }

    bool deleteOlderEnabled() const { return m_deleteOlderEnabled; }
    long olderThanDays() const { return m_olderThanDays; }
    bool ageRuleOption() const { return m_ageRuleOption; }
    bool keepNumberEnabled() const { return m_keepNumberEnabled; }
    qint64 keepNumber() const { return m_keepNumber; }

private:
    bool m_deleteOlderEnabled = false;
    long m_olderThanDays = 0;
    bool m_ageRuleOption = false;
    bool m_keepNumberEnabled = false;
    qint64 m_keepNumber = 0;
    QDateTime m_referenceTime;
};

}  // namespace RPX::SQL
