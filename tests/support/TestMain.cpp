#include "RepositoryFixture.h"

#include <rpxRepository/database/ExecQuery.h>

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        rpxtest::inCallerTransaction() = rpxtest::inCallerTransaction() || qstrcmp(argv[i], "--in-transaction") == 0;
    // No test waits for real: retry pauses pass at once unless a test watches them.
    RPX::SQL::ExecQuery::setSleepFunction([](int) {});
    return RUN_ALL_TESTS();
}
