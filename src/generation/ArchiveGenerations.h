#pragma once

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabaseType.h>
#include <rpxRepository/database/SqlSupport.h>
#include <rpxRepository/database/agent/ArchiveTypes.h>

#include <QSqlQuery>
#include <QString>
#include <QUuid>
#include <QVersionNumber>

namespace RPX::SQL {

// One generation of a bunch, identified by its marker and ordered by its number.
class ArchiveGenerations
{
public:
    static QString createTable(DatabaseType type);
    static QString createIndex(DatabaseType type);

    // Needs a bunch; the new row's id is stored in the object.
    int insert(DatabaseConnection& connection);
    // Needs the object's id; an id without a row is no failure.
    int update(DatabaseConnection& connection) const;
    // A closed connection is no failure here: nothing is removed and 0 is returned.
    int remove(DatabaseConnection& connection) const;
    bool init(QSqlQuery& query);

    // The generation with the highest number.
    static RowResult<ArchiveGenerations> current(quint64 bunchId, DatabaseConnection& connection);
    static RowResult<ArchiveGenerations> select(quint64 bunchId, const QUuid& marker, DatabaseConnection& connection);
    // Every generation of the bunch with limit 0 or below, else at most `limit` after skipping `offset`.
    static ListResult<ArchiveGenerations> select(quint64 bunchId, qint64 limit, qint64 offset,
                                                 DatabaseConnection& connection);

    quint64 id() const { return m_id; }
    quint64 bunchId() const { return m_bunchId; }
    void setBunchId(quint64 value) { m_bunchId = value; }
    QUuid marker() const { return m_marker; }
    void setMarker(const QUuid& value) { m_marker = value; }
    QVersionNumber format() const { return m_format; }
    void setFormat(const QVersionNumber& value) { m_format = value; }
    qint32 number() const { return m_number; }
    void setNumber(qint32 value) { m_number = value; }
    KTL::Archive::GenerationType type() const { return m_type; }
    void setType(KTL::Archive::GenerationType value) { m_type = value; }
    KTL::Archive::FullReason fullBackupReason() const { return m_fullBackupReason; }
    void setFullBackupReason(KTL::Archive::FullReason value) { m_fullBackupReason = value; }
    KTL::Archive::BrokenType brokenType() const { return m_brokenType; }
    void setBrokenType(KTL::Archive::BrokenType value) { m_brokenType = value; }
    QString hint() const { return m_hint; }
    void setHint(const QString& value) { m_hint = value; }
    QString errorList() const { return m_errorList; }
    void setErrorList(const QString& value) { m_errorList = value; }
    qint32 customPurge() const { return m_customPurge; }
    void setCustomPurge(qint32 value) { m_customPurge = value; }
    qint64 uploadedFilesSize() const { return m_uploadedFilesSize; }
    void setUploadedFilesSize(qint64 value) { m_uploadedFilesSize = value; }

private:
    void bindFields(Statement& statement) const;

    quint64 m_id = 0;
    quint64 m_bunchId = 0;
    QUuid m_marker;
    QVersionNumber m_format;
    qint32 m_number = 0;
    KTL::Archive::GenerationType m_type = KTL::Archive::GenerationType(1000);
    KTL::Archive::FullReason m_fullBackupReason = KTL::Archive::FullReason::Unknown;
    KTL::Archive::BrokenType m_brokenType = KTL::Archive::BrokenType::NotBroken;
    QString m_hint;
    QString m_errorList;
    qint32 m_customPurge = -1;
    qint64 m_uploadedFilesSize = -1;
};

}  // namespace RPX::SQL
