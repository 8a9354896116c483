#pragma once

#include <rpxRepository/database/DatabasePool.h>

#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QUuid>

namespace RPX::SQL::Generation {

// Opens, and when missing creates, the SQLite file of one generation and serves it through a
// connection pool of its own. The file stays attached until this object is destroyed.
class AttachDatabase
{
public:
    AttachDatabase(const QString& path, const QUuid& marker);
    ~AttachDatabase();

    AttachDatabase(const AttachDatabase&) = delete;
    AttachDatabase& operator=(const AttachDatabase&) = delete;

    // An attached object, or null when attaching failed.
    static QSharedPointer<AttachDatabase> attach(const QString& path, const QUuid& marker);

    // 0 once the pool serves the file; 2 for failures of its own (also when already attached),
    // otherwise the code of the statement that failed.
    int attach();
    bool isAttached() const;
    // Nothing to do: the file is released when this object and its pool are destroyed.
    void detach();

    QPointer<DatabasePool>& attachedDatabasePool();
    const QString& path() const;

private:
    int prepare(QSqlDatabase& database, bool& isNew);

    QString m_path;
    QUuid m_marker;
    QPointer<DatabasePool> m_attachedDatabasePool;
};

}  // namespace RPX::SQL::Generation
