#include "MetaData.h"

#include "SqlSupport.h"
#include "agent/Identity.h"

namespace RPX::SQL {

const QString MetaData::Version = QStringLiteral("0.11");

QString MetaData::createTable(DatabaseType type)
{
    return bothDialects(
        type, QStringLiteral("CREATE TABLE metadata (product_version TEXT, repository_version TEXT, date_created_utc NUMERIC)"));
}

bool MetaData::init(DatabaseConnection& connection) const
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection,
                        QStringLiteral("INSERT INTO metadata( product_version , repository_version , date_created_utc ) "
                                       "VALUES (:product_version, :repository_version, :date_created_utc)"));
    statement.bind(QStringLiteral(":product_version"), SHARED::defines::common::build_version())
        .bind(QStringLiteral(":repository_version"), Version)
        .bind(QStringLiteral(":date_created_utc"), DateCode::text(QDateTime::currentDateTimeUtc()));
    return statement.exec() == Result::Ok;
}

}  // namespace RPX::SQL
