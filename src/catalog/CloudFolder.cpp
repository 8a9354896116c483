#include "CloudFolder.h"

#include <rpxRepository/database/BulkRows.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/StatementCache.h>
#include <rpxRepository/database/Transaction.h>

#include <QHash>
#include <QSet>
#include <algorithm>

namespace RPX::SQL {

namespace {

const QString SelectColumns = QStringLiteral("select id, parent_id, destination_id, display_name from cloud_folders");
const QChar Separator = QLatin1Char('/');

// Names are compared with "=", and NULL never equals anything: an empty component is stored as
// empty text so that it is found again.
QString nonNull(const QString& text)
{
    return text.isNull() ? QString::fromLatin1("") : text;
}

// Folders found or inserted inside a caller's transaction, by destination, parent and name, so that
// a batch of files looks each folder of their paths up once. Nothing else removes those rows while
// the transaction is open: on SQLite it holds the write lock, and delete_ forgets them all. (On
// PostgreSQL another connection could delete a folder meanwhile, as it could between any lookup
// and the insert that follows it; folders are deleted only when empty.)
class TransactionFolders
{
public:
    // The folders of the transaction open on that connection; null outside a transaction, and
    // when reuse is switched off with the statement cache.
    static TransactionFolders* of(const DatabaseConnection& connection)
    {
        if (!StatementCache::enabled())
            return nullptr;
        const QSqlDriver* driver = connection.database().driver();
        const quint64 number = Transaction::numberOn(driver);
        if (number == 0)
            return nullptr;
        thread_local TransactionFolders folders;
        if (folders.m_driver != driver || folders.m_number != number) {
            folders.m_rows.clear();
            folders.m_driver = driver;
            folders.m_number = number;
        }
        return &folders;
    }

    const CloudFolder* find(unsigned long long destinationId, unsigned long long parentId, const QString& name) const
    {
        const auto found = m_rows.constFind(Key{destinationId, parentId, name});
        return found == m_rows.cend() ? nullptr : &found.value();
    }

    void remember(const CloudFolder& folder)
    {
        // A bound on memory for one huge transaction; the lookups then simply run again.
        if (m_rows.size() >= Capacity)
            m_rows.clear();
        m_rows.insert(Key{folder.destintionId(), folder.parentId(), folder.displayName()}, folder);
    }

    void forget() { m_rows.clear(); }

private:
    static constexpr int Capacity = 65536;

    struct Key {
        unsigned long long destinationId;
        unsigned long long parentId;
        QString name;
        bool operator==(const Key& other) const
        {
            return destinationId == other.destinationId && parentId == other.parentId && name == other.name;
        }
    };
    friend uint qHash(const Key& key, uint seed)
    {
        return qHash(key.name, seed) ^ qHash(key.parentId * 31 + key.destinationId, seed);
    }

    const QSqlDriver* m_driver = nullptr;
    quint64 m_number = 0;
    QHash<Key, CloudFolder> m_rows;
};

// A folder of a set being resolved: its parent within the set (-1 for a root) and its name.
struct PendingFolder {
    int parent = -1;
    QString name;
    unsigned long long id = 0;
    bool inserted = false;  // new in this run, so nothing below it exists yet
};

using FolderKey = QPair<unsigned long long, QString>;  // parent id, display name
using FolderIds = QHash<FolderKey, unsigned long long>;

// Ids of the (parent, name) pairs that exist, one statement per chunk.
int lookUpFolders(unsigned long long destinationId, const QVector<FolderKey>& keys, FolderIds& found,
                  DatabaseConnection& connection)
{
    return BulkRows::forEachChunk(
        keys.size(), BulkRows::rowsPerStatement(connection.dbType(), 2, 1), [&](int first, int count) {
            Statement statement(connection,
                                QStringLiteral("select f.id, f.parent_id, f.display_name from (values ") +
                                    BulkRows::rows(count, QStringLiteral("(cast(? as bigint), ?)")) +
                                    QStringLiteral(") as v join cloud_folders f on f.parent_id = v.column1 and "
                                                   "f.display_name = v.column2 where f.destination_id = ?"),
                                Statement::Positional);
            int position = 0;
            for (int i = first; i < first + count; ++i)
                position = BulkRows::bind(statement, position, {u64Value(keys.at(i).first), keys.at(i).second});
            statement.bindAt(position, u64Value(destinationId));
            const int code = statement.exec();
            while (code == Result::Ok && statement.next()) {
                const QSqlQuery& row = statement.query();
                found.insert({toU64(row.value(1)), row.value(2).toString()}, toU64(row.value(0)));
            }
            return code;
        });
}

// Inserts the pairs, one statement per chunk; a pair another session has just inserted is skipped
// (no error, which would spoil a PostgreSQL transaction) and left out of `inserted`.
int insertFolders(unsigned long long destinationId, const QVector<FolderKey>& keys, FolderIds& inserted,
                  DatabaseConnection& connection)
{
    return BulkRows::forEachChunk(
        keys.size(), BulkRows::rowsPerStatement(connection.dbType(), 4), [&](int first, int count) {
            Statement statement(connection,
                                QStringLiteral("insert into cloud_folders (display_name, name, parent_id, "
                                               "destination_id) values ") +
                                    BulkRows::rows(count, BulkRows::row(4)) +
                                    QStringLiteral(" on conflict do nothing returning id, parent_id, display_name"),
                                Statement::Positional);
            int position = 0;
            for (int i = first; i < first + count; ++i) {
                const FolderKey& key = keys.at(i);
                position = BulkRows::bind(statement, position,
                                          {key.second, nonNull(key.second.toLower()), u64Value(key.first),
                                           u64Value(destinationId)});
            }
            const int code = statement.exec();
            while (code == Result::Ok && statement.next()) {
                const QSqlQuery& row = statement.query();
                inserted.insert({toU64(row.value(1)), row.value(2).toString()}, toU64(row.value(0)));
            }
            return code;
        });
}

}  // namespace

QString CloudFolder::createTable(DatabaseType type)
{
    return dialect(type,
                   QStringLiteral("CREATE TABLE cloud_folders (id INTEGER PRIMARY KEY ASC, name TEXT, display_name "
                                  "TEXT,parent_id INTEGER DEFAULT 0,destination_id INTEGER,"
                                  "UNIQUE(display_name,parent_id,destination_id));"),
                   QStringLiteral("CREATE TABLE cloud_folders ( id SERIAL PRIMARY KEY ,name TEXT ,display_name TEXT "
                                  ",parent_id INTEGER DEFAULT 0 ,destination_id INTEGER "
                                  ",UNIQUE(display_name,parent_id,destination_id)  )"));
}

QStringList CloudFolder::splitPath(const QString& path)
{
    QString trimmed = path;
    if (trimmed.endsWith(Separator))
        trimmed.chop(1);
    return trimmed.split(Separator, Qt::KeepEmptyParts);
}

void CloudFolder::setName(const QString& name)
{
    m_displayName = name;
    m_name = name.toLower();
}

bool CloudFolder::insert(DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    Statement statement(connection, QStringLiteral("insert into cloud_folders (display_name, name, parent_id, "
                                                   "destination_id) values (:display_name, :name, :parent_id, "
                                                   ":destination_id)"), Statement::ReturnsId | Statement::MayConflict);
    statement.bindText(QStringLiteral(":display_name"), nonNull(m_displayName))
        .bindText(QStringLiteral(":name"), nonNull(m_name))
        .bindU64(QStringLiteral(":parent_id"), m_parentId)
        .bindU64(QStringLiteral(":destination_id"), m_destintionId);
    if (statement.execInsert(m_id) != Result::Ok)
        return false;
    if (TransactionFolders* folders = TransactionFolders::of(connection))
        folders->remember(*this);
    return true;
}

bool CloudFolder::init(QSqlQuery& query)
{
    if (!query.next())
        return false;
    const Row row(query);
    m_destintionId = row.u64(QStringLiteral("destination_id"));
    m_parentId = row.u64(QStringLiteral("parent_id"));
    setName(row.text(QStringLiteral("display_name")));
    m_id = row.u64(QStringLiteral("id"));
    return true;
}

bool CloudFolder::select(unsigned long long id, DatabaseConnection& connection)
{
    if (!connection.isOpen() || id == 0)
        return false;
    Statement statement(connection, SelectColumns + QStringLiteral(" where id = :id limit 1"));
    statement.bindU64(QStringLiteral(":id"), id);
    return statement.exec() == Result::Ok && init(statement.query());
}

bool CloudFolder::select(unsigned long long destinationId, unsigned long long parentId, const QString& displayName,
                         DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return false;
    TransactionFolders* folders = TransactionFolders::of(connection);
    if (folders != nullptr) {
        if (const CloudFolder* known = folders->find(destinationId, parentId, nonNull(displayName))) {
            *this = *known;
            return true;
        }
    }
    Statement statement(connection, SelectColumns + QStringLiteral(" where parent_id = :parent_id and destination_id "
                                                                   "= :destination_id  and display_name = "
                                                                   ":display_name limit 1"));
    statement.bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":destination_id"), destinationId)
        .bindText(QStringLiteral(":display_name"), nonNull(displayName));
    if (statement.exec() != Result::Ok || !init(statement.query()))
        return false;
    if (folders != nullptr)
        folders->remember(*this);
    return true;
}

bool CloudFolder::select(DatabaseConnection& connection)
{
    return select(m_destintionId, m_parentId, m_name, connection);
}

QSharedPointer<CloudFolder> CloudFolder::selectByFolderId(unsigned long long id, DatabaseConnection& connection)
{
    QSharedPointer<CloudFolder> folder(new CloudFolder());
    if (!folder->select(id, connection))
        return {};
    return folder;
}

QSharedPointer<CloudFolder> CloudFolder::select(unsigned long long destinationId, const QString& path,
                                                DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    QSharedPointer<CloudFolder> folder;
    unsigned long long parent = 0;
    for (const QString& part : splitPath(path)) {
        folder.reset(new CloudFolder());
        if (!folder->select(destinationId, parent, part, connection))
            return {};
        parent = folder->id();
    }
    return folder;
}

QSharedPointer<CloudFolder> CloudFolder::selectOrInsert(unsigned long long destinationId, const QString& path,
                                                        DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    const QStringList parts = splitPath(path);
    QSharedPointer<CloudFolder> folder;
    unsigned long long parent = 0;
    int next = 0;
    for (; next < parts.size(); ++next) {
        QSharedPointer<CloudFolder> found(new CloudFolder());
        if (!found->select(destinationId, parent, parts.at(next), connection))
            break;
        folder = found;
        parent = found->id();
    }
    // Below the first missing component nothing can exist yet, so the rest is inserted without lookups.
    for (; next < parts.size(); ++next) {
        folder.reset(new CloudFolder());
        folder->setDestintionId(destinationId);
        folder->setName(parts.at(next));
        folder->setParentId(parent);
        if (!folder->insert(connection))
            return {};
        parent = folder->id();
    }
    return folder;
}

int CloudFolder::selectOrInsert(unsigned long long destinationId, const QStringList& paths,
                                QHash<QString, unsigned long long>& ids, DatabaseConnection& connection,
                                QSet<QString>* created)
{
    if (!connection.isOpen() || destinationId == 0)
        return Result::Error;
    // The tree of the paths, each folder once, by level.
    QVector<PendingFolder> folders;
    QVector<QVector<int>> levels;
    QHash<QPair<int, QString>, int> known;
    QHash<QString, int> leaves;
    for (const QString& path : paths) {
        if (leaves.contains(path))
            continue;
        int parent = -1;
        const QStringList parts = splitPath(path);
        for (int level = 0; level < parts.size(); ++level) {
            const QPair<int, QString> key{parent, nonNull(parts.at(level))};
            auto found = known.constFind(key);
            if (found == known.cend()) {
                folders.append(PendingFolder{parent, key.second});
                found = known.insert(key, folders.size() - 1);
                levels.resize(qMax(levels.size(), level + 1));
                levels[level].append(found.value());
            }
            parent = found.value();
        }
        leaves.insert(path, parent);
    }

    TransactionFolders* memory = TransactionFolders::of(connection);
    for (const QVector<int>& level : qAsConst(levels)) {
        QVector<FolderKey> unknown;
        QVector<FolderKey> missing;
        FolderIds found;
        for (const int index : level) {
            const PendingFolder& folder = folders.at(index);
            const FolderKey key{folder.parent < 0 ? 0 : folders.at(folder.parent).id, folder.name};
            const CloudFolder* remembered = memory ? memory->find(destinationId, key.first, key.second) : nullptr;
            if (remembered != nullptr)
                found.insert(key, remembered->id());
            else if (folder.parent >= 0 && folders.at(folder.parent).inserted)
                missing.append(key);
            else
                unknown.append(key);
        }
        int code = lookUpFolders(destinationId, unknown, found, connection);
        for (const FolderKey& key : qAsConst(unknown)) {
            if (!found.contains(key))
                missing.append(key);
        }
        // The same order in every session, so that two inserting overlapping sets wait for each
        // other instead of deadlocking.
        std::sort(missing.begin(), missing.end());
        FolderIds inserted;
        if (code == Result::Ok)
            code = insertFolders(destinationId, missing, inserted, connection);
        // What another session inserted meanwhile is there to be found now.
        QVector<FolderKey> lost;
        for (const FolderKey& key : qAsConst(missing)) {
            if (!inserted.contains(key))
                lost.append(key);
        }
        if (code == Result::Ok)
            code = lookUpFolders(destinationId, lost, found, connection);
        if (code != Result::Ok)
            return code;

        for (const int index : level) {
            PendingFolder& folder = folders[index];
            const FolderKey key{folder.parent < 0 ? 0 : folders.at(folder.parent).id, folder.name};
            folder.inserted = inserted.contains(key);
            folder.id = folder.inserted ? inserted.value(key) : found.value(key);
            if (folder.id == 0)
                return Result::Error;
            if (memory != nullptr) {
                CloudFolder row;
                row.setDestintionId(destinationId);
                row.setParentId(key.first);
                row.setName(key.second);
                row.setId(folder.id);
                memory->remember(row);
            }
        }
    }
    for (auto leaf = leaves.cbegin(); leaf != leaves.cend(); ++leaf) {
        ids.insert(leaf.key(), folders.at(leaf.value()).id);
        if (created != nullptr && folders.at(leaf.value()).inserted)
            created->insert(leaf.key());
    }
    return Result::Ok;
}

QString CloudFolder::selectPath(unsigned long long folderId, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return QString();
    QStringList parts;
    QSet<unsigned long long> visited;
    QSharedPointer<CloudFolder> folder = selectByFolderId(folderId, connection);
    // The visited set only guards against a damaged tree whose parent links loop.
    while (folder && !visited.contains(folder->id())) {
        visited.insert(folder->id());
        if (!folder->displayName().isEmpty())
            parts.prepend(folder->displayName());
        folder = selectByFolderId(folder->parentId(), connection);
    }
    QString path = parts.join(Separator);
    if (!path.startsWith(Separator))
        path.prepend(Separator);
    if (!path.endsWith(Separator))
        path.append(Separator);
    return path;
}

QString CloudFolder::selectPath(DatabaseConnection& connection)
{
    return selectPath(m_id, connection);
}

QList<QSharedPointer<CloudFolder>> CloudFolder::select(unsigned long long parentId, unsigned long long limit,
                                                       unsigned long long offset, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return {};
    const QString children = SelectColumns + QStringLiteral(" where parent_id = :parent_id order by display_name");
    if (limit == 0) {
        Statement statement(connection, children);
        statement.bindU64(QStringLiteral(":parent_id"), parentId);
        return selectAll<CloudFolder>(statement).first;
    }
    Statement statement(connection, children + QStringLiteral("  limit :limit offset :offset "));
    statement.bindU64(QStringLiteral(":parent_id"), parentId)
        .bindU64(QStringLiteral(":limit"), limit)
        .bindU64(QStringLiteral(":offset"), offset);
    return selectAll<CloudFolder>(statement).first;
}

QList<QSharedPointer<CloudFolder>> CloudFolder::select(unsigned long long destinationId, const QString& path,
                                                       unsigned long long limit, unsigned long long offset,
                                                       DatabaseConnection& connection)
{
    if (!connection.isOpen() || destinationId == 0)
        return {};
    const QSharedPointer<CloudFolder> folder = select(destinationId, path, connection);
    if (!folder)
        return {};
    return select(folder->id(), limit, offset, connection);
}

int CloudFolder::subfolderCount(unsigned long long parentId, DatabaseConnection& connection)
{
    if (!connection.isOpen())
        return 0;
    Statement statement(connection,
                        QStringLiteral("select count(*) from cloud_folders where parent_id = :parent_id"));
    statement.bindU64(QStringLiteral(":parent_id"), parentId);
    if (statement.exec() != Result::Ok || !statement.next())
        return 0;
    return statement.query().value(0).toInt();
}

bool CloudFolder::isEmpty(unsigned long long folderId, DatabaseConnection& connection)
{
    if (!connection.isOpen() || folderId == 0)
        return false;
    Statement statement(connection, QStringLiteral("SELECT (SELECT count(*) FROM cloud_files WHERE parent_id = :id "
                                                   "LIMIT 1) + (SELECT count(*) FROM cloud_folders WHERE parent_id "
                                                   "= :id LIMIT 1) as c"));
    statement.bindU64(QStringLiteral(":id"), folderId);
    if (statement.exec() != Result::Ok || !statement.next())
        return false;
    return Row(statement.query()).i64(QStringLiteral("c")) == 0;
}

bool CloudFolder::delete_(bool removeEmptyParents, DatabaseConnection& connection)
{
    if (!connection.isOpen() || m_id == 0)
        return false;
    if (TransactionFolders* folders = TransactionFolders::of(connection))
        folders->forget();
    Statement statement(connection, QStringLiteral("delete from cloud_folders where id = :id"));
    statement.bindU64(QStringLiteral(":id"), m_id);
    if (statement.exec() != Result::Ok)
        return false;
    if (!removeEmptyParents || !isEmpty(m_parentId, connection))
        return true;
    CloudFolder parent;
    if (!parent.select(m_parentId, connection))
        return false;
    return parent.delete_(true, connection);
}

}  // namespace RPX::SQL
