#pragma once

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

#include "StatementCache.h"

namespace RPX::SQL {

// Hands out named clones of one master connection and keeps returned ones open for reuse.
//
// Qt lets a connection be used only by the thread that created it, so an idle connection is
// handed back only to its own thread; connections left by threads that have ended are removed.
class DatabasePool : public QObject
{
    Q_OBJECT

public:
    static constexpr int Timeout = 10000;        // ms between idle checks
    static constexpr int LeaveInterval = 60000;  // ms an idle connection may wait before it is closed
    static constexpr int MinCapacity = 2;        // idle connections always kept

    // The process-wide pool, created on first use.
    static QPointer<DatabasePool>& defaultPool();

    explicit DatabasePool(QObject* parent = nullptr);
    ~DatabasePool() override;

    bool isInit() const;
    bool initDatabase(const QSqlDatabase& database);
    // Lets go of the master and every idle connection, so that another database can become the
    // master (used when a database is set aside and reopened).
    void releaseDatabase();

    QString dequeue();
    void enqueue(const QString& connectionName);

    // The timer's work: close idle connections beyond the two longest-idle ones after LeaveInterval.
    void closeIdle();

    // Seam for tests: the clock that stamps returns and ages idle connections (UTC).
    using Clock = std::function<QDateTime()>;
    void setClock(Clock clock);

    // The prepared-statement cache of a connection of this pool; it lives as long as the connection.
    std::shared_ptr<StatementCache> statementCache(const QString& connectionName);

    // Idle connection names, longest-idle first.
    QStringList idleConnections() const;
    QString masterName() const;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Idle
    {
        QDateTime returned;
        QString name;
        QPointer<QThread> thread;
    };

    QDateTime now() const;
    void removeEndedThreadsLocked();
    static bool threadEnded(const Idle& idle);
    void removeConnection(const QString& name);

    const QString m_masterName;
    mutable QMutex m_lock;
    QList<Idle> m_idle;
    QHash<QString, std::shared_ptr<StatementCache>> m_caches;
    std::atomic<bool> m_initialised{false};
    Clock m_clock;
};

}  // namespace RPX::SQL
