// Built only against the installed package: opens a repository and reads its metadata row.
#include <rpxRepository/rpxRepository.h>

#include <QCoreApplication>
#include <QSqlQuery>
#include <QVariant>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!RPX::SQL::Database::init(false)) {
        std::fprintf(stderr, "Database::init failed\n");
        return 1;
    }
    RPX::SQL::DatabaseConnection connection(RPX::SQL::DatabasePool::defaultPool());
    QSqlQuery query = connection.query();
    if (!query.exec(QStringLiteral("select repository_version from metadata")) || !query.next()) {
        std::fprintf(stderr, "no metadata row\n");
        return 1;
    }
    std::printf("repository version %s\n", qPrintable(query.value(0).toString()));
    return query.value(0).toString() == RPX::SQL::MetaData::Version ? 0 : 1;
}
