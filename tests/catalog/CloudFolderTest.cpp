#include "support/LogCapture.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/Transaction.h>

#include <QSqlQuery>
#include <QVariant>
#include <atomic>
#include <thread>
#include <vector>

using namespace RPX::SQL;
using rpxtest::TestConnection;
using rpxtest::LogCapture;

namespace {

QVariant scalar(DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

int folderRows(DatabaseConnection& connection)
{
    return scalar(connection, "select count(*) from cloud_folders").toInt();
}

// Display names from the top-level row down to the folder.
QStringList chainOf(quint64 id, DatabaseConnection& connection)
{
    QStringList names;
    for (auto folder = CloudFolder::selectByFolderId(id, connection); folder;
         folder = CloudFolder::selectByFolderId(folder->parentId(), connection))
        names.prepend(folder->displayName());
    return names;
}

QStringList namesOf(const QList<QSharedPointer<CloudFolder>>& folders)
{
    QStringList names;
    for (const auto& folder : folders)
        names << folder->displayName();
    return names;
}

}  // namespace

TEST(CloudFolderSplit, KeepsEmptyPartsAndDropsOneTrailingSlash)
{
    const struct
    {
        QString path;
        QStringList parts;
    } cases[] = {
        {"", {""}},
        {"/", {""}},
        {"//", {"", ""}},
        {"/a", {"", "a"}},
        {"a//b", {"a", "", "b"}},
        {"a/b//", {"a", "b", ""}},
        {" A /./..\\x", {" A ", ".", "..\\x"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CloudFolder::splitPath(c.path), c.parts) << c.path.toStdString();
}

class CloudFolderTest : public rpxtest::RepositoryTest
{
protected:
    static constexpr quint64 Dest = 5;
};

TEST_P(CloudFolderTest, SelectOrInsertBuildsTheChainOnce)
{
    TestConnection connection(pool());
    const auto b = CloudFolder::selectOrInsert(Dest, "/a/b/", connection);
    ASSERT_TRUE(b);
    EXPECT_EQ(folderRows(connection), 3);
    EXPECT_EQ(chainOf(b->id(), connection), QStringList({"", "a", "b"}));
    EXPECT_EQ(CloudFolder::selectPath(b->id(), connection), "/a/b/");
    EXPECT_EQ(b->selectPath(connection), "/a/b/");
    EXPECT_EQ(CloudFolder::selectPath(b->id() + 100, connection), "/");

    EXPECT_EQ(CloudFolder::selectOrInsert(Dest, "/a/b", connection)->id(), b->id());
    EXPECT_EQ(CloudFolder::select(Dest, "/a/b", connection)->id(), b->id());
    EXPECT_EQ(folderRows(connection), 3);

    // Without the leading slash, with another case or in another destination it is another chain.
    const auto relative = CloudFolder::selectOrInsert(Dest, "a/b", connection);
    ASSERT_TRUE(relative);
    EXPECT_EQ(chainOf(relative->id(), connection), QStringList({"a", "b"}));
    const auto upper = CloudFolder::selectOrInsert(Dest, "A", connection);
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->name(), "a");
    EXPECT_EQ(scalar(connection, "select count(*) from cloud_folders where name = 'a' and parent_id = 0").toInt(), 2);
    ASSERT_TRUE(CloudFolder::selectOrInsert(Dest + 1, "/a/b", connection));
    EXPECT_EQ(folderRows(connection), 9);

    // A missing tail is created below the part that exists; lookups never create.
    EXPECT_FALSE(CloudFolder::select(Dest, "/a/b/c/d", connection));
    EXPECT_FALSE(CloudFolder::select(Dest, "/A/b", connection));
    EXPECT_EQ(folderRows(connection), 9);
    const auto d = CloudFolder::selectOrInsert(Dest, "/a/b//d", connection);
    ASSERT_TRUE(d);
    EXPECT_EQ(folderRows(connection), 11);
    EXPECT_EQ(chainOf(d->id(), connection), QStringList({"", "a", "b", "", "d"}));
    EXPECT_EQ(CloudFolder::selectPath(d->id(), connection), "/a/b/d/");
}

// Inside a transaction each folder is looked up once; what the transaction deleted or rolled back
// is looked up again.
TEST_P(CloudFolderTest, TransactionLooksEachFolderUpOnce)
{
    DatabaseConnection connection(pool());
    int statements = 0;
    ExecQuery::setStatementObserver([&statements](const QString&) { ++statements; });
    {
        Transaction transaction(connection);
        const auto b = CloudFolder::selectOrInsert(Dest, "/a/b", connection);
        ASSERT_TRUE(b);
        statements = 0;
        EXPECT_EQ(CloudFolder::selectOrInsert(Dest, "/a/b", connection)->id(), b->id());
        EXPECT_EQ(CloudFolder::select(Dest, "/a", connection)->id(), b->parentId());
        EXPECT_EQ(statements, 0);
        EXPECT_NE(CloudFolder::selectOrInsert(Dest + 1, "/a/b", connection)->id(), b->id());
        EXPECT_FALSE(CloudFolder::select(Dest, "/A", connection));

        ASSERT_TRUE(b->delete_(false, connection));
        EXPECT_FALSE(CloudFolder::select(Dest, "/a/b", connection));
        ASSERT_TRUE(CloudFolder::selectOrInsert(Dest, "/a/b", connection));
    }
    EXPECT_EQ(folderRows(connection), 0);
    Transaction transaction(connection);
    EXPECT_FALSE(CloudFolder::select(Dest, "/a", connection));
    const auto fresh = CloudFolder::selectOrInsert(Dest, "/a", connection);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(chainOf(fresh->id(), connection), QStringList({"", "a"}));
    EXPECT_TRUE(transaction.commit());
    ExecQuery::setStatementObserver({});
}

TEST_P(CloudFolderTest, AwkwardPathsComeBackExactly)
{
    TestConnection connection(pool());
    QString longPath;
    for (int i = 0; longPath.size() < 4096; ++i)
        longPath += QStringLiteral("/segment-%1-%2").arg(i).arg(QString(80, QChar('x' + i % 3)));
    const QStringList paths = {"/it's \"q\"/100%/a_b/[x]", "C:\\Users\\me\\", "/Übung/日本語/ø", "//net/share",
                               "/trailing /. /..", longPath};
    for (const QString& path : paths) {
        const auto folder = CloudFolder::selectOrInsert(Dest, path, connection);
        ASSERT_TRUE(folder) << path.toStdString();
        EXPECT_EQ(chainOf(folder->id(), connection), CloudFolder::splitPath(path)) << path.toStdString();
        const auto found = CloudFolder::select(Dest, path, connection);
        ASSERT_TRUE(found) << path.toStdString();
        EXPECT_EQ(found->id(), folder->id());
    }
    EXPECT_EQ(CloudFolder::selectPath(CloudFolder::select(Dest, paths[0], connection)->id(), connection),
              paths[0] + "/");
    // "_" and "%" are no wildcards in a lookup.
    EXPECT_FALSE(CloudFolder::select(Dest, "/it's \"q\"/100x/a_b", connection));
    EXPECT_FALSE(CloudFolder::select(Dest, "/it's \"q\"/100%/aXb", connection));
}

TEST_P(CloudFolderTest, ChildrenArePagedInNameOrder)
{
    TestConnection connection(pool());
    for (const char* name : {"c", "a", "e", "b", "d"})
        ASSERT_TRUE(CloudFolder::selectOrInsert(Dest, QStringLiteral("/p/%1").arg(name), connection));
    ASSERT_TRUE(CloudFolder::selectOrInsert(Dest + 1, "top", connection));
    const quint64 p = CloudFolder::select(Dest, "/p", connection)->id();

    EXPECT_EQ(namesOf(CloudFolder::select(p, 0, 0, connection)), QStringList({"a", "b", "c", "d", "e"}));
    EXPECT_EQ(namesOf(CloudFolder::select(p, 2, 2, connection)), QStringList({"c", "d"}));
    EXPECT_EQ(namesOf(CloudFolder::select(Dest, "/p/", 2, 4, connection)), QStringList({"e"}));
    EXPECT_TRUE(CloudFolder::select(Dest, "/q", 0, 0, connection).isEmpty());
    EXPECT_TRUE(CloudFolder::select(0, "/p", 0, 0, connection).isEmpty());
    // Top-level rows of every destination.
    EXPECT_EQ(namesOf(CloudFolder::select(0, 0, 0, connection)), QStringList({"", "top"}));
    EXPECT_EQ(CloudFolder::subfolderCount(p, connection), 5);
    EXPECT_EQ(CloudFolder::subfolderCount(p + 100, connection), 0);

    // The reload goes by the lower-case name.
    CloudFolder reload;
    reload.setDestintionId(Dest);
    reload.setParentId(p);
    reload.setName("b");
    EXPECT_TRUE(reload.select(connection));
    EXPECT_NE(reload.id(), 0u);
}

TEST_P(CloudFolderTest, DeleteRemovesTheAncestorsItLeavesEmpty)
{
    TestConnection connection(pool());
    const auto leaf = CloudFolder::selectOrInsert(Dest, "/keep/x/y/z", connection);
    ASSERT_TRUE(leaf);
    const quint64 keep = CloudFolder::select(Dest, "/keep", connection)->id();
    ASSERT_TRUE(CloudFolder::selectOrInsert(Dest, "/keep/other", connection));
    EXPECT_FALSE(CloudFolder::isEmpty(keep, connection));
    EXPECT_TRUE(CloudFolder::isEmpty(leaf->id(), connection));
    EXPECT_FALSE(CloudFolder::isEmpty(0, connection));

    // Only the row itself.
    const auto y = CloudFolder::select(Dest, "/keep/x/y", connection);
    ASSERT_TRUE(leaf->delete_(false, connection));
    EXPECT_TRUE(CloudFolder::isEmpty(y->id(), connection));
    EXPECT_EQ(folderRows(connection), 5);

    // Up to the first ancestor with other content.
    ASSERT_TRUE(y->delete_(true, connection));
    EXPECT_EQ(folderRows(connection), 3);
    EXPECT_TRUE(CloudFolder::select(Dest, "/keep/other", connection));

    // A file keeps its folder; the top-level row goes with the last folder under it.
    const auto other = CloudFolder::select(Dest, "/keep/other", connection);
    QSqlQuery file = connection.query();
    ASSERT_TRUE(file.exec(QStringLiteral("insert into cloud_files (id, parent_id) values (1, %1)").arg(keep)));
    ASSERT_TRUE(other->delete_(true, connection));
    EXPECT_EQ(folderRows(connection), 2);
    ASSERT_TRUE(file.exec("delete from cloud_files"));
    ASSERT_TRUE(CloudFolder::selectByFolderId(keep, connection)->delete_(true, connection));
    EXPECT_EQ(folderRows(connection), 0);
}

TEST_P(CloudFolderTest, RacingRegistrationsLeaveOneChain)
{
    DatabaseConnection winner(pool());
    DatabaseConnection loser(pool());
    ASSERT_TRUE(CloudFolder::selectOrInsert(Dest, "/r", winner));
    // The loser's insert after it found nothing.
    CloudFolder late;
    late.setDestintionId(Dest);
    late.setName("");
    EXPECT_FALSE(late.insert(loser));
    EXPECT_EQ(late.id(), 0u);
    EXPECT_TRUE(CloudFolder::selectOrInsert(Dest, "/r", loser));

    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    std::vector<quint64> ids(4, 0);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            DatabaseConnection own(pool());
            for (++ready; ready < 4;)
                std::this_thread::yield();
            auto folder = CloudFolder::selectOrInsert(Dest, "/race/a/b/c", own);
            for (int retry = 0; !folder && retry < 5; ++retry)
                folder = CloudFolder::selectOrInsert(Dest, "/race/a/b/c", own);
            ids[size_t(i)] = folder ? folder->id() : 0;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_NE(ids[0], 0u);
    for (quint64 id : ids)
        EXPECT_EQ(id, ids[0]);
    EXPECT_EQ(folderRows(winner), 6);
}

TEST_P(CloudFolderTest, RefusesWithoutConnectionOrId)
{
    QPointer<DatabasePool> none;
    DatabaseConnection closed(none);
    TestConnection connection(pool());
    QSqlQuery drop = connection.query();
    ASSERT_TRUE(drop.exec(postgres() ? "drop table cloud_folders cascade" : "drop table cloud_folders"));
    LogCapture log;
    CloudFolder folder;
    folder.setName("x");
    EXPECT_FALSE(folder.insert(closed));
    EXPECT_FALSE(folder.select(1, closed));
    EXPECT_FALSE(folder.select(0, connection));
    EXPECT_FALSE(folder.delete_(true, connection));
    EXPECT_FALSE(CloudFolder::selectByFolderId(0, connection));
    EXPECT_FALSE(CloudFolder::isEmpty(0, connection));
    EXPECT_FALSE(CloudFolder::isEmpty(3, closed));
    EXPECT_FALSE(CloudFolder::selectOrInsert(Dest, "/a", closed));
    EXPECT_FALSE(CloudFolder::selectOrInsert(0, "/a", connection));
    EXPECT_FALSE(CloudFolder::select(Dest, "/a", closed));
    EXPECT_TRUE(CloudFolder::selectPath(1, closed).isNull());
    EXPECT_EQ(CloudFolder::selectPath(0, connection), "/");
    EXPECT_TRUE(CloudFolder::select(0, 0, 0, closed).isEmpty());
    EXPECT_TRUE(CloudFolder::select(Dest, "/a", 0, 0, closed).isEmpty());
    EXPECT_EQ(CloudFolder::subfolderCount(1, closed), 0);
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
}

RPX_ON_BOTH_ENGINES(CloudFolderTest);
