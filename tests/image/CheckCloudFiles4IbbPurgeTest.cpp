#include "ImageSupport.h"
#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/image/CheckCloudFiles4IbbPurge.h>

using namespace image;
using filecatalog::run;
using rpxtest::LogCapture;
using Purge = CheckCloudFiles4IbbPurge;

// Images F1 B1 B2 F2 B3 a day apart (F full, B block-level), an image that needs decrypting
// between B1 and B2, and an image of another destination.
class IbbPurgeTest : public rpxtest::RepositoryTest
{
protected:
    void SetUp() override
    {
        rpxtest::RepositoryTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        DatabaseConnection connection(pool());
        dest = addDestination(connection, "a");
        const QStringList sequence = {"F1", "B1", "B2", "F2", "B3"};
        for (int i = 0; i < sequence.size(); ++i) {
            const auto image = addImage(connection, dest, day(i), sequence[i].startsWith('B'));
            ASSERT_FALSE(image.isNull());
            byId.insert(image->id(), sequence[i]);
        }
        ASSERT_FALSE(addImage(connection, dest, day(1).addSecs(3600), false, true).isNull());
        ASSERT_FALSE(addImage(connection, addDestination(connection, "b"), day(0), false).isNull());
    }

    static QDateTime day(int index) { return utc(2024, 5, 1 + index, 8); }

    // "F1" for a full image, "B2" for a block-level one, with the reason's initial: "F1:C".
    QStringList names(const Purge::Selection& selection) const
    {
        QStringList result;
        for (const auto& entry : selection)
            result << byId.value(entry.first->id()) + ":" + "RCE"[entry.second];
        return result;
    }

    QStringList policy(DatabaseConnection& connection, long olderThanDays, qint64 keep,
                       const QDateTime& now = QDateTime())
    {
        CheckCloudFiles4IbbPurgePolicy rule(dest);
        rule.deleteVersionOlder(olderThanDays >= 0, olderThanDays, true);
        rule.keepNumberOfVersion(keep >= 0, keep);
        rule.setReferenceTime(now);
        return names(rule.versions(connection));
    }

    QStringList current(DatabaseConnection& connection, const QDateTime& moment)
    {
        return names(CheckCloudFiles4IbbPurgeCurrent(dest, moment).versions(connection));
    }

    quint64 dest = 0;
    QHash<quint64, QString> byId;
};
RPX_ON_BOTH_ENGINES(IbbPurgeTest);

TEST_P(IbbPurgeTest, PolicyKeepsTheChainOfWhatStays)
{
    DatabaseConnection connection(pool());
    const QStringList upToF2 = {"F1:C", "B1:C", "B2:C"};
    EXPECT_EQ(policy(connection, -1, 2), upToF2);
    // B2 would stay without its base: B1 and F1 are given back.
    EXPECT_TRUE(policy(connection, -1, 3).isEmpty());
    // Nothing may stay: the newest full image and its follower stay anyway.
    EXPECT_EQ(policy(connection, -1, 0), upToF2);
    EXPECT_TRUE(policy(connection, -1, -1, day(9)).isEmpty());  // both rules off

    // The age rule counts from the given moment, else from now: F2 and B3 are given back.
    EXPECT_EQ(policy(connection, 30, -1, day(4).addDays(31)), QStringList({"F1:R", "B1:R", "B2:R"}));
    EXPECT_EQ(policy(connection, 1, -1), QStringList({"F1:R", "B1:R", "B2:R"}));
    // Limit between B1 and B2: B2 stays and needs B1 and F1.
    EXPECT_TRUE(policy(connection, 10, -1, day(1).addDays(10).addSecs(1)).isEmpty());
    // The count applies to what the age rule leaves: F1 by age, B1 B2 F2 by count, F2 back for B3.
    EXPECT_EQ(policy(connection, 10, 1, day(0).addDays(10).addSecs(1)), QStringList({"F1:R", "B1:C", "B2:C"}));
}

TEST_P(IbbPurgeTest, AllAndCurrentSelectExplicitly)
{
    DatabaseConnection connection(pool());
    EXPECT_EQ(names(CheckCloudFiles4IbbPurgeAll(dest).versions(connection)),
              QStringList({"F1:E", "B1:E", "B2:E", "F2:E", "B3:E"}));
    // Current takes the image at the moment and the block-level images that follow it.
    EXPECT_EQ(current(connection, day(1).addSecs(1)), QStringList({"B2:E"}));
    EXPECT_EQ(current(connection, day(0).addSecs(-1)), QStringList({"F1:E", "B1:E", "B2:E"}));
    EXPECT_EQ(current(connection, day(3)), QStringList({"F2:E", "B3:E"}));
    EXPECT_TRUE(current(connection, day(4).addSecs(1)).isEmpty());
    // The moment's clock value is taken as UTC.
    EXPECT_EQ(CheckCloudFiles4IbbPurgeCurrent(dest, QDateTime(day(3).date(), day(3).time(), Qt::OffsetFromUTC, 7200))
                  .pointInTime(),
              day(3));

    // A follower whose document does not parse is passed over; the first image is not parsed at all.
    ASSERT_TRUE(run(connection, QString("update diskimage set xml = '<DiskImageMetaData><BlockLevelBackup>0' "
                                        "where id = %1").arg(byId.key("B2"))));
    EXPECT_EQ(current(connection, day(0)), QStringList({"F1:E", "B1:E"}));
    EXPECT_EQ(current(connection, day(2)), QStringList({"B2:E"}));
}

TEST_P(IbbPurgeTest, FileVersionsOfTheImages)
{
    DatabaseConnection connection(pool());
    const QString metadataPath = "/RPX_DiskImage/DiskImageMetadata.xml";
    const auto images = DiskImage::select(dest, 0, 0, true, connection);  // F1 B1 B2 F2 B3
    ASSERT_EQ(images.size(), 5);
    // Metadata documents of F1, B1 and F2; B2 has none.
    const auto m1 = addVersion(connection, dest, metadataPath, day(0), 7);
    const auto m2 = addVersion(connection, dest, metadataPath, day(1), 7);
    const auto m4 = addVersion(connection, dest, metadataPath, day(3), 7);
    ASSERT_FALSE(addVersion(connection, dest, metadataPath, day(2), 5).isNull());  // not a metadata version
    // disk0: base of F1, revision of B1, base of F2; disk1 has no base.
    const auto base = addVersion(connection, dest, "/RPX_DiskImage/disk0", day(0), 6);
    const auto revision = addVersion(connection, dest, "/RPX_DiskImage/disk0", day(1), 5);
    const auto laterBase = addVersion(connection, dest, "/RPX_DiskImage/disk0", day(3), 6);
    const auto plain = addVersion(connection, dest, "/RPX_DiskImage/disk1", day(0), 5);
    for (const auto& v : {m1, m2, m4, base, revision, laterBase, plain})
        ASSERT_FALSE(v.isNull());
    auto linked = [&](int image, quint64 versionId) { return link(connection, images[image]->id(), versionId); };
    ASSERT_TRUE(linked(0, base->id()) && linked(0, plain->id()) && linked(1, revision->id()) &&
                linked(3, laterBase->id()));

    const auto fileVersions = [&](const QList<QSharedPointer<DiskImage>>& chain) {
        return each(Purge::fileVersions(chain, qint64(dest), connection), &CloudFileVersion::id);
    };

    LogCapture log;
    // A revision brings the newest base not newer than itself; a base finds itself.
    const QList<quint64> f1b1 = {m1->id(), base->id(), base->id(), plain->id(), m2->id(), revision->id(), base->id()};
    EXPECT_EQ(fileVersions({images[0], {}, images[1]}), f1b1);
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();

    // B2 has no metadata version: the walk stops there with what it has.
    EXPECT_EQ(fileVersions({images[0], images[1], images[2], images[3]}), f1b1);
    EXPECT_EQ(log.count("Error on load IBB metadata file version"), 1);
    EXPECT_EQ(log.lines().size(), 1);

    // A version row whose version is gone is reported and passed over.
    if (postgres()) {
        ASSERT_TRUE(run(connection, "ALTER TABLE diskimage_versions DROP CONSTRAINT "
                                    "diskimage_versions_version_id_fkey"));
    }
    ASSERT_TRUE(linked(3, 999999));
    log.clear();
    EXPECT_EQ(fileVersions({images[3]}), QList<quint64>({m4->id(), laterBase->id(), laterBase->id()}));
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_EQ(log.lines()[0].text, "cloud file version not exist, id: 999999");
}
