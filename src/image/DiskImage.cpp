#include "DiskImage.h"

#include <rpxRepository/database/SqlSupport.h>

namespace RPX::SQL {

namespace {

using ImagePointer = QSharedPointer<DiskImage>;

QString selectImages(const QString& tail)
{
    return QStringLiteral("select id, size, original_size, date_created_utc, is_compressed, is_encrypted, "
                          "backup_folder_name, destination_id, xml, host_name, platform_type, need_decrypt, "
                          "is_block_level from diskimage where destination_id = :destination_id") +
           tail;
}

// Only the codes 1 and 2 are stored; anything else stands for an unknown platform.
int platformCode(int value)
{
    return value == 1 || value == 2 ? value : 0;
}

QVariant dateText(const QDateTime& value)
{
    return value.isValid() ? QVariant(DateCode::text(value)) : QtCompat::null<QString>();
}

bool anyRow(quint64 destinationId, const QString& sql, DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return false;
    Statement statement(connection, sql);
    statement.bindU64(QStringLiteral(":destination_id"), destinationId);
    return statement.exec() == Result::Ok && statement.next();
}

}  // namespace

QString DiskImage::createTable(DatabaseType type)
{
    // PostgreSQL gets is_block_level too, so that insert and the selects run there unchanged.
    return dialect(type,
                   QStringLiteral("CREATE TABLE diskimage ( id INTEGER PRIMARY KEY ASC, size NUMERIC, original_size "
                                  "NUMERIC, date_created_utc NUMERIC, is_compressed INTEGER, is_encrypted INTEGER, "
                                  "backup_folder_name TEXT, destination_id INTEGER NOT NULL, host_name TEXT, xml TEXT, "
                                  "platform_type INTEGER default 1, is_block_level INTEGET default 0, need_decrypt "
                                  "INTEGER default 0, FOREIGN KEY(destination_id) REFERENCES destination(id))"),
                   QStringLiteral("CREATE TABLE diskimage ( id SERIAL PRIMARY KEY, size NUMERIC, original_size "
                                  "NUMERIC, date_created_utc NUMERIC, is_compressed INTEGER, is_encrypted INTEGER, "
                                  "backup_folder_name TEXT, destination_id INTEGER NOT NULL, host_name TEXT, xml TEXT, "
                                  "platform_type INTEGER default 1, is_block_level INTEGER DEFAULT 0, need_decrypt "
                                  "INTEGER default 0, FOREIGN KEY(destination_id) REFERENCES destination(id))"));
}

QSharedPointer<DiskImage> DiskImage::create(const RPX::Info::DiskImageMetaData& metaData)
{
    ImagePointer image(new DiskImage());
    image->m_dateCreate = metaData.createDate();
    image->m_isCompressed = metaData.compressed();
    image->m_isEncrypted = metaData.encrypted();
    image->m_originalSize = metaData.originalSize();
    image->m_size = metaData.compressedSize();
    image->m_xml = metaData.toXml();
    image->m_hostName = metaData.hostName();
    image->m_platformType = metaData.platformType();
    return image;
}

bool DiskImage::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_destinationId == 0)
        return false;
    Statement statement(
        connection,
        QStringLiteral("insert into diskimage(size, original_size, date_created_utc, is_compressed, is_encrypted, "
                       "backup_folder_name, destination_id, xml, host_name, platform_type, need_decrypt, "
                       "is_block_level) values(:size, :original_size, :date_created_utc, :is_compressed, "
                       ":is_encrypted, :backup_folder_name, :destination_id, :xml, :host_name, :platform_type, "
                       ":need_decrypt, :is_block_level)"), Statement::ReturnsId);
    statement.bindU64(QStringLiteral(":size"), m_size)
        .bindU64(QStringLiteral(":original_size"), m_originalSize)
        .bind(QStringLiteral(":date_created_utc"), dateText(m_dateCreate))
        .bind(QStringLiteral(":is_compressed"), int(m_isCompressed))
        .bind(QStringLiteral(":is_encrypted"), int(m_isEncrypted))
        .bindText(QStringLiteral(":backup_folder_name"), m_backupFolderName)
        .bindU64(QStringLiteral(":destination_id"), m_destinationId)
        .bindText(QStringLiteral(":xml"), m_xml)
        .bindText(QStringLiteral(":host_name"), m_hostName)
        .bind(QStringLiteral(":platform_type"), platformCode(int(m_platformType)))
        .bind(QStringLiteral(":need_decrypt"), int(m_needDecrypt))
        .bind(QStringLiteral(":is_block_level"), int(m_isBlockLevel));
    if (statement.exec() != Result::Ok)
        return false;
    m_id = statement.lastInsertId();
    return true;
}

bool DiskImage::delete_(DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_id == 0)
        return false;
    Statement image(connection, QStringLiteral("delete from diskimage where id = :id"));
    image.bindU64(QStringLiteral(":id"), m_id);
    if (image.exec() != Result::Ok)
        return false;
    Statement versions(connection, QStringLiteral("delete from diskimage_versions where diskimage_id = :id"));
    versions.bindU64(QStringLiteral(":id"), m_id);
    return versions.exec() == Result::Ok;
}

bool DiskImage::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_id = row.u64(QStringLiteral("id"));
    m_size = row.u64(QStringLiteral("size"));
    m_originalSize = row.u64(QStringLiteral("original_size"));
    m_dateCreate = row.date14(QStringLiteral("date_created_utc"));
    m_isCompressed = row.flag(QStringLiteral("is_compressed"));
    m_isEncrypted = row.flag(QStringLiteral("is_encrypted"));
    m_backupFolderName = row.text(QStringLiteral("backup_folder_name"));
    m_destinationId = row.u64(QStringLiteral("destination_id"));
    m_xml = row.text(QStringLiteral("xml"));
    m_hostName = row.text(QStringLiteral("host_name"));
    m_platformType = PlatformType(platformCode(row.i32(QStringLiteral("platform_type"))));
    m_needDecrypt = row.flag(QStringLiteral("need_decrypt"));
    m_isBlockLevel = row.flag(QStringLiteral("is_block_level"));
    return true;
}

bool DiskImage::hasData(quint64 destinationId, DatabaseConnection& connection)
{
    return anyRow(destinationId,
                  QStringLiteral("select * from diskimage where destination_id = :destination_id and need_decrypt = 0 "
                                 "limit 1"),
                  connection);
}

bool DiskImage::hasEncryptedData(quint64 destinationId, DatabaseConnection& connection)
{
    return anyRow(destinationId,
                  QStringLiteral("select * from diskimage where destination_id = :destination_id and need_decrypt = 1 "
                                 "limit 1"),
                  connection);
}

QSharedPointer<DiskImage> DiskImage::select(quint64 destinationId, const QDateTime& upTo,
                                            DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    // The 14-digit codes order like the moments they stand for.
    const bool bounded = upTo.isValid();
    Statement statement(connection,
                        selectImages(bounded ? QStringLiteral(" and date_created_utc <= :date_created_utc order by "
                                                              "date_created_utc desc limit 1")
                                             : QStringLiteral(" order by date_created_utc desc limit 1")));
    if (bounded)
        statement.bind(QStringLiteral(":date_created_utc"), DateCode::text(upTo));
    statement.bindU64(QStringLiteral(":destination_id"), destinationId);
    return selectOne<DiskImage>(statement).first;
}

QSharedPointer<DiskImage> DiskImage::selectLatestVersion(quint64 destinationId, DatabaseConnection& connection)
{
    return select(destinationId, QDateTime(), connection);
}

QList<QSharedPointer<DiskImage>> DiskImage::select(quint64 destinationId, quint64 limit, quint64 offset,
                                                   bool withoutNeedDecrypt, DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    const bool paged = limit != 0 || offset != 0;
    QString tail = withoutNeedDecrypt ? QStringLiteral(" and need_decrypt = 0 order by date_created_utc asc")
                                      : QStringLiteral(" order by date_created_utc asc");
    if (paged)
        tail += QStringLiteral(" limit :limit offset :offset");
    Statement statement(connection, selectImages(tail));
    if (paged)
        statement.bindU64(QStringLiteral(":limit"), limit).bindU64(QStringLiteral(":offset"), offset);
    statement.bindU64(QStringLiteral(":destination_id"), destinationId);
    return selectAll<DiskImage>(statement).first;
}

}  // namespace RPX::SQL
