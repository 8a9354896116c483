#include "FileCatalogSupport.h"
#include "support/RepositoryFixture.h"

#include <rpxRepository/catalog/CloudFolder.h>
#include <rpxRepository/database/ExecQuery.h>
#include <rpxRepository/database/Transaction.h>

using namespace RPX::SQL;
using namespace filecatalog;
using rpxtest::TestConnection;

namespace {

int folderRows(DatabaseConnection& connection)
{
    return rows(connection, "cloud_folders");
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

}  // namespace

struct CloudFolderTest : rpxtest::RepositoryTest { static constexpr quint64 Dest = 5; };

TEST_P(CloudFolderTest, SelectOrInsertBuildsTheChainOnce)
{
    TestConnection connection(pool());
    // Without the leading slash, with another case or in another destination it is another chain; a
    // missing tail is created below the part that exists.
    const struct { quint64 destination; const char* path; QStringList chain; int rows; } cases[] = {
        {Dest, "/a/b/", {"", "a", "b"}, 3}, {Dest, "/a/b", {"", "a", "b"}, 3}, {Dest, "a/b", {"a", "b"}, 5},
        {Dest, "A", {"A"}, 6}, {Dest + 1, "/a/b", {"", "a", "b"}, 9}, {Dest, "/a/b//d", {"", "a", "b", "", "d"}, 11}};
    for (const auto& c : cases) {
        const auto folder = CloudFolder::selectOrInsert(c.destination, c.path, connection);
        ASSERT_TRUE(folder) << c.path;
        EXPECT_EQ(chainOf(folder->id(), connection), c.chain) << c.path;
        EXPECT_EQ(folderRows(connection), c.rows) << c.path;
    }
    EXPECT_EQ(CloudFolder::selectPath(CloudFolder::select(Dest, "/a/b", connection)->id(), connection), "/a/b/");
    EXPECT_EQ(CloudFolder::selectPath(CloudFolder::select(Dest, "/a/b//d", connection)->id(), connection), "/a/b/d/");
    // Lookups never create.
    EXPECT_FALSE(CloudFolder::select(Dest, "/a/b/c/d", connection));
    EXPECT_FALSE(CloudFolder::select(Dest, "/A/b", connection));
    EXPECT_EQ(folderRows(connection), 11);
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

TEST_P(CloudFolderTest, ChildrenArePagedInNameOrder)
{
    TestConnection connection(pool());
    for (const char* name : {"c", "a", "b"})
        ASSERT_TRUE(CloudFolder::selectOrInsert(Dest, QStringLiteral("/p/%1").arg(name), connection));
    ASSERT_TRUE(CloudFolder::selectOrInsert(Dest + 1, "top", connection));
    const quint64 p = CloudFolder::select(Dest, "/p", connection)->id();

    EXPECT_EQ(displayNames(CloudFolder::select(p, 0, 0, connection)), QStringList({"a", "b", "c"}));
    EXPECT_EQ(displayNames(CloudFolder::select(Dest, "/p/", 1, 1, connection)), QStringList({"b"}));
    // Top-level rows of every destination.
    EXPECT_EQ(displayNames(CloudFolder::select(0, 0, 0, connection)), QStringList({"", "top"}));
    EXPECT_EQ(CloudFolder::subfolderCount(p, connection), 3);
}

// A file keeping its folder is on the file road and in the file tests.
TEST_P(CloudFolderTest, DeleteRemovesTheAncestorsItLeavesEmpty)
{
    TestConnection connection(pool());
    const auto leaf = CloudFolder::selectOrInsert(Dest, "/keep/x/y/z", connection);
    ASSERT_TRUE(leaf);
    ASSERT_TRUE(CloudFolder::selectOrInsert(Dest, "/keep/other", connection));

    // Only the row itself.
    const auto y = CloudFolder::select(Dest, "/keep/x/y", connection);
    ASSERT_TRUE(leaf->delete_(false, connection));
    EXPECT_EQ(folderRows(connection), 5);
    // Up to the first ancestor with other content.
    ASSERT_TRUE(y->delete_(true, connection));
    EXPECT_EQ(folderRows(connection), 3);
    // The top-level row goes with the last folder under it.
    ASSERT_TRUE(CloudFolder::select(Dest, "/keep/other", connection)->delete_(true, connection));
    EXPECT_EQ(folderRows(connection), 0);
}

// The loser of a race inserts after it found nothing: the insert fails on the unique key and its
// retry finds the winner's row. Many threads at once are the reliability stress test's.
TEST_P(CloudFolderTest, RacingRegistrationsLeaveOneChain)
{
    DatabaseConnection winner(pool()), loser(pool());
    const auto won = CloudFolder::selectOrInsert(Dest, "/r", winner);
    ASSERT_TRUE(won);
    CloudFolder late;
    late.setDestintionId(Dest);
    late.setName("");
    EXPECT_FALSE(late.insert(loser));
    EXPECT_EQ(late.id(), 0u);
    const auto retried = CloudFolder::selectOrInsert(Dest, "/r", loser);
    ASSERT_TRUE(retried);
    EXPECT_EQ(retried->id(), won->id());
    EXPECT_EQ(folderRows(winner), 2);
}

RPX_ON_BOTH_ENGINES(CloudFolderTest);
