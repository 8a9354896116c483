#include <rpxRepository/database/SqlSupport.h>

#include <gtest/gtest.h>

using namespace RPX::SQL;

// A stored date comes back as a number from SQLite and as text from PostgreSQL (or from an old
// text column); both forms decode alike, and everything that is not a real date is no date.
TEST(DateCodeTest, NumbersAndTextsDecodeAlike)
{
    const QDateTime leapDay(QDate(2024, 2, 29), QTime(23, 59, 59), Qt::UTC);
    EXPECT_EQ(DateCode::number(leapDay), 20240229235959);
    EXPECT_EQ(DateCode::text(leapDay), "20240229235959");
    const QDateTime earlyYear(QDate(999, 12, 31), QTime(23, 59, 59), Qt::UTC);
    EXPECT_EQ(DateCode::text(earlyYear), "09991231235959");
    EXPECT_EQ(DateCode::number(earlyYear), 9991231235959);
    EXPECT_EQ(DateCode::number(leapDay.toOffsetFromUtc(3600)), 20240229235959);  // coded in UTC

    struct Case
    {
        qint64 code;
        QDateTime expected;
    };
    const QDateTime invalid;
    const Case cases[] = {
        {20240229235959, leapDay},
        {10000101000000, QDateTime(QDate(1000, 1, 1), QTime(0, 0), Qt::UTC)},
        {99991231235959, QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {99999999999999, invalid},  // the "not set" marker
        {0, invalid},
        {2024022923595, invalid},    // 13 digits
        {202402292359590, invalid},  // 15 digits
        {20230229000000, invalid},   // no 29 February that year
        {20241301000000, invalid},
        {20240101246000, invalid},
        {-20240229235959, invalid},
    };
    for (const Case& c : cases) {
        const QString text = QString::number(c.code);
        EXPECT_EQ(DateCode::parse(QVariant(c.code)), c.expected) << c.code;
        EXPECT_EQ(DateCode::parse(QVariant(text)), c.expected) << c.code;
        EXPECT_EQ(DateCode::parse(QVariant(text + ".0")), c.expected) << c.code;  // a numeric's text
    }
    EXPECT_FALSE(DateCode::parse(QVariant()).isValid());
    EXPECT_FALSE(DateCode::parse(QVariant("2024022923595x")).isValid());
}
