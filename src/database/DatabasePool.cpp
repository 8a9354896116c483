#include "DatabasePool.h"

#include "ConnectionSettings.h"
#include "agent/KtlDebug.h"

#include <QAbstractEventDispatcher>
#include <QTimerEvent>
#include <QUuid>

namespace RPX::SQL {

QPointer<DatabasePool>& DatabasePool::defaultPool()
{
    static QPointer<DatabasePool> pool;
    static QMutex mutex;
    QMutexLocker lock(&mutex);
    if (pool.isNull())
        pool = new DatabasePool(nullptr);
    return pool;
}

DatabasePool::DatabasePool(QObject* parent)
    : QObject(parent), m_masterName(QUuid::createUuid().toString())
{
    // A thread without an event loop can run no timer; its idle connections then stay open.
    if (QAbstractEventDispatcher::instance(thread()) != nullptr)
        startTimer(Timeout, Qt::CoarseTimer);
}

DatabasePool::~DatabasePool()
{
    QMutexLocker lock(&m_lock);
    removeConnection(m_masterName);
    for (const Idle& idle : qAsConst(m_idle))
        removeConnection(idle.name);
    m_idle.clear();
}

bool DatabasePool::isInit() const
{
    return m_initialised.load();
}

bool DatabasePool::initDatabase(const QSqlDatabase& database)
{
    if (!database.isValid() || !database.isOpen()) {
        KTL::KtlDebug("SQL").error() << "DatabasePool: error on init database. database is not valid";
        return false;
    }
    if (QSqlDatabase::contains(m_masterName)) {
        KTL::KtlDebug("SQL").error() << "DatabasePool: error on init database. default pool database already init";
        return false;
    }
    QSqlDatabase master = QSqlDatabase::cloneDatabase(database, m_masterName);
    // Numbers beyond double precision (14-digit dates, byte counts) must come back exactly.
    master.setNumericalPrecisionPolicy(QSql::HighPrecision);
    m_initialised = true;
    return true;
}

void DatabasePool::releaseDatabase()
{
    QMutexLocker lock(&m_lock);
    for (const Idle& idle : qAsConst(m_idle))
        removeConnection(idle.name);
    m_idle.clear();
    removeConnection(m_masterName);
    m_initialised = false;
}

QString DatabasePool::dequeue()
{
    QMutexLocker lock(&m_lock);
    removeEndedThreadsLocked();

    QThread* const current = QThread::currentThread();
    for (int i = 0; i < m_idle.size(); ++i) {
        if (m_idle.at(i).thread != current)
            continue;
        const QString name = m_idle.takeAt(i).name;
        if (QSqlDatabase::contains(name))
            return name;
        break;
    }

    // This overload reads the registry directly, so any thread may clone the master.
    const QString name = QUuid::createUuid().toString();
    QSqlDatabase::cloneDatabase(m_masterName, name);
    lock.unlock();  // opening may wait on the server
    openConfigured(name);
    return name;
}

void DatabasePool::enqueue(const QString& connectionName)
{
    if (connectionName.isEmpty() || !QSqlDatabase::contains(connectionName))
        return;
    QMutexLocker lock(&m_lock);
    m_idle.append({now(), connectionName, QPointer<QThread>(QThread::currentThread())});
}

void DatabasePool::closeIdle()
{
    QMutexLocker lock(&m_lock);
    removeEndedThreadsLocked();
    if (m_idle.size() <= MinCapacity)
        return;

    const QList<Idle> taken = std::exchange(m_idle, {});
    const QDateTime limit = now().addMSecs(-LeaveInterval);
    for (const Idle& idle : taken) {
        if (m_idle.size() < MinCapacity) {
            m_idle.append(idle);
        } else if (idle.returned < limit) {
            removeConnection(idle.name);
        } else if (QSqlDatabase::contains(idle.name)) {
            m_idle.append(idle);
        }
    }
}

void DatabasePool::setClock(Clock clock)
{
    QMutexLocker lock(&m_lock);
    m_clock = std::move(clock);
}

QStringList DatabasePool::idleConnections() const
{
    QMutexLocker lock(&m_lock);
    QStringList names;
    for (const Idle& idle : m_idle)
        names << idle.name;
    return names;
}

QString DatabasePool::masterName() const
{
    return m_masterName;
}

void DatabasePool::timerEvent(QTimerEvent*)
{
    closeIdle();
}

QDateTime DatabasePool::now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTimeUtc();
}

bool DatabasePool::threadEnded(const Idle& idle)
{
    return idle.thread.isNull() || idle.thread->isFinished();
}

void DatabasePool::removeEndedThreadsLocked()
{
    for (int i = m_idle.size() - 1; i >= 0; --i) {
        if (threadEnded(m_idle.at(i)))
            removeConnection(m_idle.takeAt(i).name);
    }
}

std::shared_ptr<StatementCache> DatabasePool::statementCache(const QString& connectionName)
{
    QMutexLocker lock(&m_lock);
    std::shared_ptr<StatementCache>& cache = m_caches[connectionName];
    if (!cache)
        cache = std::make_shared<StatementCache>();
    return cache;
}

void DatabasePool::removeConnection(const QString& name)
{
    // Prepared queries hold the connection: they go first.
    m_caches.remove(name);
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
}

}  // namespace RPX::SQL
