#include "CloudFolder.h"

#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/StatementCache.h>
#include <rpxRepository/database/Transaction.h>

#include <QHash>
#include <QSet>

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
