// Folder and file metadata of a generation database, which may come from a damaged or foreign
// file: whatever the metadata column holds, reading the rows never crashes, and metadata that is
// a JSON object survives a write and a read unchanged.

#include "FuzzSupport.h"

#include <rpxRepository/generation/AttachDatabase.h>
#include <rpxRepository/generation/Files.h>
#include <rpxRepository/generation/Folders.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

using namespace RPX::SQL::Generation;

namespace {
// Kept until the process ends, never destroyed: Qt's own globals are gone by then.
QSharedPointer<AttachDatabase>* attached = nullptr;
RPX::SQL::DatabaseConnection* connection = nullptr;
constexpr quint64 RestorePoint = 1;

bool run(const QString& sql, const QByteArray& metadata = QByteArray())
{
    QSqlQuery query = connection->query();
    if (!query.prepare(sql))
        return false;
    if (sql.contains(QLatin1String(":metadata")))
        query.bindValue(QStringLiteral(":metadata"), metadata);
    return query.exec();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    rpxfuzz::initQt(argc, argv);
    attached = new QSharedPointer<AttachDatabase>(
        AttachDatabase::attach(rpxfuzz::scratchFolder() + QStringLiteral("/generation.db"), QUuid::createUuid()));
    if (!*attached)
        return 1;
    connection = new RPX::SQL::DatabaseConnection((*attached)->attachedDatabasePool());
    run(QStringLiteral("PRAGMA synchronous=OFF"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    run(QStringLiteral("delete from files"));
    run(QStringLiteral("delete from folders"));

    // Stored as it came: the table classes must cope with any text in the column.
    RPX_FUZZ_CHECK(run(QStringLiteral("insert into folders (id, display_name, parent_id, restore_point_id, deleted, "
                                      "metadata, local_path) values (1, 'raw', 0, 1, 0, :metadata, '/raw')"),
                       input));
    RPX_FUZZ_CHECK(run(QStringLiteral("insert into files (display_name, local_path, original_size, "
                                      "date_modified_utc, attributes, is_compressed, parent_id, total_size, "
                                      "deleted, metadata, extents_size) values ('f', '/raw/f', 0, 0, 0, 0, 1, 0, 0, "
                                      ":metadata, 0)"),
                       input));
    Folders::select(QStringLiteral("/raw"), RestorePoint, QString(), *connection);
    Files::select(QStringLiteral("/raw/f"), {RestorePoint}, QString(), *connection);
    Files::selectInFolder(QStringLiteral("/raw"), {RestorePoint}, 0, 0, QString(), *connection);

    const QJsonDocument document = QJsonDocument::fromJson(input);
    if (!document.isObject())
        return 0;
    const QJsonObject metadata = document.object();
    // What a JSON text round trip gives in Qt itself (keys holding NUL characters may reorder):
    // the most the catalog can keep.
    // SQLite also hands U+FFFE, U+FFFF and unpaired surrogates back as U+FFFD.
    QString text = QString::fromUtf8(QJsonDocument(metadata).toJson());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate() || c.unicode() == 0xFFFE || c.unicode() == 0xFFFF)
            text[i] = QChar(0xFFFD);
    }
    const QJsonObject kept = QJsonDocument::fromJson(text.toUtf8()).object();
    Folders folder;
    folder.setRestorePointId(RestorePoint);
    folder.setParentId(0);
    folder.setDisplayName(QStringLiteral("json"));
    folder.setLocalPath(QStringLiteral("/json"));
    folder.setMetadata(metadata);
    RPX_FUZZ_CHECK(folder.insert(QString(), *connection) == 0);
    const auto folderRead = Folders::select(QStringLiteral("/json"), RestorePoint, QString(), *connection);
    RPX_FUZZ_CHECK(folderRead.second == 0 && folderRead.first);
    RPX_FUZZ_CHECK(folderRead.first->metadata() == kept);

    Files file;
    file.setParentId(folder.id());
    file.setDisplayName(QStringLiteral("g"));
    file.setLocalPath(QStringLiteral("/json/g"));
    file.setDateModificationUtc(QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC));
    file.setMetadata(metadata);
    RPX_FUZZ_CHECK(file.insert(QString(), *connection) == 0);
    const auto fileRead = Files::select(QStringLiteral("/json/g"), {RestorePoint}, QString(), *connection);
    RPX_FUZZ_CHECK(fileRead.second == 0 && fileRead.first);
    RPX_FUZZ_CHECK(fileRead.first->metadata() == kept);
    return 0;
}
