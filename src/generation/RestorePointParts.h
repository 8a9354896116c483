#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/agent/ArchiveTypes.h>

#include <QDateTime>
#include <QMap>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QString>
#include <functional>

namespace RPX::SQL::Generation {

// The parts of one restore point joined with their storage files. Callers subclass it to derive
// the chain number, the key of the result maps, from the row.
class RestorePointParts
{
public:
    using Factory = std::function<RestorePointParts*()>;
    using Map = QMap<qint64, QSharedPointer<RestorePointParts>>;

    virtual ~RestorePointParts() = default;

    // Reads the next row and lets the subclass derive its chain number; false when no row is left
    // or the subclass rejects the row.
    bool init(QSqlQuery& query);

    // Keyed by chain number: a later row with the same chain number replaces an earlier one.
    // Empty on failure, for a closed connection and for restore point id 0.
    static Map select(quint64 restorePointId, const QString& prefix, DatabaseConnection& connection,
                      const Factory& factory);
    static Map selectNotBroken(quint64 restorePointId, const QString& prefix, DatabaseConnection& connection,
                               const Factory& factory);

    quint64 id() const { return m_id; }
    qint64 chainNumber() const { return m_chainNumber; }
    QString path() const { return m_path; }
    QString cloudId() const { return m_cloudId; }
    QString uploadId() const { return m_uploadId; }
    qint64 size() const { return m_size; }
    KTL::Archive::BrokenType brokenType() const { return m_brokenType; }
    QDateTime lastModified() const { return m_lastModified; }

protected:
    // Runs after a row is read; sets the chain number and decides the result of init.
    virtual bool initChainNumber() = 0;
    void setChainNumber(qint64 value) { m_chainNumber = value; }

private:
    static Map select(const QString& statement, quint64 restorePointId, bool notBrokenOnly, const QString& prefix,
                      DatabaseConnection& connection, const Factory& factory);

    quint64 m_id = 0;
    qint64 m_chainNumber = -1;
    QString m_path;
    QString m_cloudId;
    QString m_uploadId;
    qint64 m_size = 0;
    KTL::Archive::BrokenType m_brokenType = KTL::Archive::BrokenType::NotBroken;
    QDateTime m_lastModified;
};

}  // namespace RPX::SQL::Generation
