#include <rpxRepository/database/ExecQuery.h>

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // No test waits for real: retry pauses pass at once unless a test watches them.
    RPX::SQL::ExecQuery::setSleepFunction([](int) {});
    return RUN_ALL_TESTS();
}
