#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/database/CopyWriter.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/Transaction.h>

#include <algorithm>

using namespace RPX::SQL;

namespace {

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

}  // namespace

struct CopyWriterTest : rpxtest::RepositoryTest {};

// Drawn ids go to the rows in their order. A copy given up while its start is still on its way, and
// one that breaks a unique index under its savepoint, leave nothing and the transaction usable; a
// draw the server refuses fails the copy, logged once.
TEST_P(CopyWriterTest, DrawnIdsAndCopiesThatDoNotFinish)
{
    DatabaseConnection connection(pool());
    if (!postgres()) {
        EXPECT_FALSE(CopyWriter::isAvailable(connection));
        return;
    }
    ASSERT_TRUE(connection.query().exec("create table copy_probe (id serial primary key, name text unique)"));
    ASSERT_TRUE(connection.query().exec("create table copy_plain (name text)"));
    const QStringList columns{QStringLiteral("name")};
    const QStringList names{QStringLiteral("a"), QStringLiteral("tab\there"), QString::fromUtf8("\xc3\xa9")};
    {
        Transaction transaction(connection);
        CopyWriter copy(connection, QStringLiteral("copy_probe"), columns, CopyWriter::Guard::Savepoint,
                        names.size());
        for (const QString& name : names)
            EXPECT_TRUE(copy.addRow({name}));
        ASSERT_EQ(copy.finish(), Result::Ok);
        const QVector<unsigned long long> ids = copy.ids();
        ASSERT_EQ(ids.size(), names.size());
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        for (int i = 0; i < names.size(); ++i)
            EXPECT_EQ(scalar(connection, QStringLiteral("select name from copy_probe where id = %1").arg(ids.at(i))),
                      names.at(i));

        {
            CopyWriter given(connection, QStringLiteral("copy_probe"), columns, CopyWriter::Guard::Savepoint, 2);
            given.addRow({QStringLiteral("given up")});
        }
        CopyWriter clash(connection, QStringLiteral("copy_probe"), columns, CopyWriter::Guard::Savepoint, 2);
        clash.addRow({QStringLiteral("new")});
        clash.addRow({QStringLiteral("a")});
        EXPECT_EQ(clash.finish(), Result::Constraint);
        EXPECT_TRUE(clash.ids().isEmpty());
        EXPECT_EQ(scalar(connection, "select count(*) from copy_probe").toInt(), names.size());
        EXPECT_TRUE(transaction.commit());
    }

    Transaction transaction(connection);
    rpxtest::LogCapture log;
    CopyWriter refused(connection, QStringLiteral("copy_plain"), columns, CopyWriter::Guard::None, 1);
    refused.addRow({QStringLiteral("x")});
    EXPECT_EQ(refused.finish(), Result::Error);
    EXPECT_EQ(log.count("Error on exec sql query"), 1) << log.texts().join('\n').toStdString();
    EXPECT_FALSE(transaction.commit());
    EXPECT_EQ(scalar(connection, "select count(*) from copy_plain").toInt(), 0);
}

RPX_ON_BOTH_ENGINES(CopyWriterTest);
