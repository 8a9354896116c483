#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

namespace RPX::SQL {

// Copies the main database of one repository location (a "PGSQL;…" string or an SQLite file path)
// into another, either engine to either engine, keeping every id.
//
// The source is read inside one read transaction and never written. The target is written inside
// one transaction (PostgreSQL) or into a temporary file renamed into place once complete (SQLite),
// so a copy that fails or is killed leaves it as it was. Every table's row count and content
// checksum are compared, source against target, before the copy is kept.
class RepositoryMigration
{
public:
    enum class Outcome {
        Ok,
        SameLocation,       // the target is the source
        TargetNotEmpty,     // the target already holds rows
        TargetUnreachable,  // cannot connect, wrong password, no such folder
        SourceUnreadable,   // cannot be opened or holds no repository
        SourceDamaged,      // fails its integrity check
        CopyFailed,
        Mismatch,  // the target read back differs from the source
    };

    struct TableCopy
    {
        QString table;
        qint64 rows = 0;
        quint64 checksum = 0;  // of the rows' canonical form, independent of their order
    };

    struct Report
    {
        Outcome outcome = Outcome::CopyFailed;
        QString message;  // one line saying why, empty on success
        QVector<TableCopy> tables;
        bool ok() const { return outcome == Outcome::Ok; }
    };

    // Rows of a table copied so far, of `total`; called every few thousand rows and at each table's end.
    using Progress = std::function<void(const QString& table, qint64 copied, qint64 total)>;

    RepositoryMigration(const QString& source, const QString& target);

    void setProgress(Progress progress) { m_progress = std::move(progress); }
    // Rows between two progress calls within a table.
    void setProgressInterval(qint64 rows) { m_progressInterval = rows > 0 ? rows : 1; }

    Report run();

    // The main database's tables, in an order in which every reference points backwards.
    static const QStringList& tables();
    static bool isPostgreSQL(const QString& location);

private:
    QString m_source;
    QString m_target;
    Progress m_progress;
    qint64 m_progressInterval = 10000;
};

}  // namespace RPX::SQL
