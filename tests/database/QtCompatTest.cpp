#include "support/RepositoryFixture.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/NativeHandle.h>
#include <rpxRepository/database/QtCompat.h>

#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

using namespace RPX::SQL;

using QtCompatTest = rpxtest::RepositoryTest;

// What differs between Qt 5 and Qt 6 behaves alike on both: a typed null binds as NULL (not as 0 or
// an empty text), the bound values read back by placeholder, and the driver's handle is found.
TEST_P(QtCompatTest, TypedNullsBoundValuesAndDriverHandleAgreeOnBothQtVersions)
{
    DatabaseConnection connection(pool());
    QSqlQuery query = connection.query();
    ASSERT_TRUE(query.prepare(QStringLiteral("select cast(:a as text) is null, cast(:b as text) is null, "
                                             "cast(:c as text) is null, cast(:d as text)")));
    const QVariant nulls[] = {QtCompat::null<qlonglong>(), QtCompat::null<QString>(), QtCompat::null<QDateTime>()};
    EXPECT_EQ(nulls[0].userType(), int(QMetaType::LongLong));
    EXPECT_EQ(nulls[1].userType(), int(QMetaType::QString));
    EXPECT_EQ(nulls[2].userType(), int(QMetaType::QDateTime));
    query.bindValue(QStringLiteral(":a"), nulls[0]);
    query.bindValue(QStringLiteral(":b"), nulls[1]);
    query.bindValue(QStringLiteral(":c"), nulls[2]);
    query.bindValue(QStringLiteral(":d"), 7);
    ASSERT_TRUE(query.exec());
    ASSERT_TRUE(query.next());
    for (int column = 0; column < 3; ++column)
        EXPECT_TRUE(query.value(column).toBool()) << column;
    EXPECT_EQ(query.value(3).toString(), QStringLiteral("7"));

    const QMap<QString, QVariant> bound = QtCompat::boundValueMap(query);
    EXPECT_EQ(bound.keys(), QStringList({":a", ":b", ":c", ":d"}));
    EXPECT_TRUE(bound.value(QStringLiteral(":b")).isNull());
    EXPECT_EQ(bound.value(QStringLiteral(":d")), QVariant(7));

    const QSqlDriver* driver = connection.database().driver();
    EXPECT_EQ(NativeHandle::postgres(driver) != nullptr, postgres());
    EXPECT_EQ(NativeHandle::sqlite(driver) != nullptr, !postgres());
}

RPX_ON_BOTH_ENGINES(QtCompatTest);
