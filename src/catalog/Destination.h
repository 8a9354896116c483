#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>

namespace RPX::SQL {

// One storage location the agent backs up to, identified by cloud type, account, container and prefix.
class Destination
{
public:
    static QString createTable(DatabaseType type);

    bool insert(DatabaseConnection& connection);
    bool init(QSqlQuery& query);

    static QSharedPointer<Destination> select(unsigned long long id, DatabaseConnection& connection);
    static QSharedPointer<Destination> select(const QString& accountId, const QString& prefix,
                                              const QString& container, const QString& cloudType,
                                              DatabaseConnection& connection);
    static QSharedPointer<Destination> select(const QJsonObject& accountSettings, DatabaseConnection& connection);
    static QSharedPointer<Destination> selectOrInsert(const QJsonObject& accountSettings,
                                                      DatabaseConnection& connection);
    static QList<QSharedPointer<Destination>> select(DatabaseConnection& connection);

    // Derives the identity of a destination from storage-account settings; false (outputs
    // untouched) for an account type that yields none.
    static bool SearchParams(const QJsonObject& accountSettings, QString& accountId, QString& prefix,
                             QString& container, QString& cloudType);

    // Number of stored file versions (not files) of this destination.
    qint64 filesCount(DatabaseConnection& connection) const;
    qint64 foldersCount(DatabaseConnection& connection) const;
    // Bytes of file versions and uploaded generations; 0 when either sum cannot be read.
    qint64 spaceUsed(DatabaseConnection& connection) const;
    // Recomputes the statistics and stores them in the row and in this object.
    bool updateStatistic(DatabaseConnection& connection);

    unsigned long long id() const { return m_id; }
    const QString& cloudType() const { return m_cloudType; }
    const QString& accountId() const { return m_accountId; }
    const QString& container() const { return m_container; }
    const QString& prefix() const { return m_prefix; }
    const QDateTime& lastSyncTime() const { return m_lastSyncTime; }
    unsigned long long usedSpace() const { return m_usedSpace; }
    qint64 fileCount() const { return m_fileCount; }
    qint64 folderCount() const { return m_folderCount; }
    bool needSync() const { return !m_lastSyncTime.isValid(); }

    void setCloudType(const QString& cloudType) { m_cloudType = cloudType; }
    void setAccountId(const QString& accountId) { m_accountId = accountId; }
    void setContainer(const QString& container) { m_container = container; }
    void setPrefix(const QString& prefix) { m_prefix = prefix; }

private:
    unsigned long long m_id = 0;
    QString m_cloudType;
    QString m_accountId;
    QString m_container;
    QString m_prefix;
    QDateTime m_lastSyncTime;
    unsigned long long m_usedSpace = 0;
    qint64 m_fileCount = 0;
    qint64 m_folderCount = 0;
};

}  // namespace RPX::SQL
