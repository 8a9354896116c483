#include "RepositoryMigration.h"

#include "CopyWriter.h"
#include "Database.h"
#include "DatabaseConnection.h"
#include "DatabasePool.h"
#include "DatabaseStructure.h"
#include "ExecQuery.h"
#include "Transaction.h"
#include "agent/KtlDebug.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QUuid>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace RPX::SQL {

namespace {

using Outcome = RepositoryMigration::Outcome;
using Report = RepositoryMigration::Report;
using TableCopy = RepositoryMigration::TableCopy;

const QString MetadataTable = QStringLiteral("metadata");
const QString StampFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");

// How a column's values are carried between the engines and compared.
enum class Kind { Number, Text, Blob, Stamp };

struct Column
{
    QString name;
    Kind kind;
};

Kind kindOf(const QString& declaredType)
{
    const QString type = declaredType.toUpper();
    if (type.contains(QLatin1String("INT")) || type.contains(QLatin1String("NUMERIC")))
        return Kind::Number;
    if (type.contains(QLatin1String("BLOB")) || type.contains(QLatin1String("BYTEA")))
        return Kind::Blob;
    if (type.contains(QLatin1String("DATETIME")) || type.contains(QLatin1String("TIMESTAMP")))
        return Kind::Stamp;
    return Kind::Text;
}

QString firstLine(const QString& text)
{
    return text.trimmed().section(QLatin1Char('\n'), 0, 0).trimmed();
}

// A number as a whole number whenever it is one, whatever type the driver handed it back as
// (SQLite integers or reals, PostgreSQL decimal texts); a text that is no number stays text.
QVariant numberOf(const QVariant& value)
{
    bool ok = false;
    double real = 0;
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Bool:
        return value.toLongLong();
    case QMetaType::ULongLong:
        return qlonglong(value.toULongLong());
    case QMetaType::Double:
        real = value.toDouble();
        break;
    default: {
        const QString text = value.toString();
        const qlonglong whole = text.toLongLong(&ok);
        if (ok)
            return whole;
        real = text.toDouble(&ok);
        if (!ok)
            return text;
    }
    }
    if (std::trunc(real) == real && std::fabs(real) < 9.2e18)
        return qlonglong(real);
    return real;
}

// A date-time column's value as a moment: SQLite keeps the driver's ISO text ("…T…Z"), PostgreSQL's
// is read as text ("… …"); both are UTC wall-clock times.
QDateTime stampOf(const QVariant& value)
{
    if (value.userType() == QMetaType::QDateTime) {
        const QDateTime moment = value.toDateTime();
        return QDateTime(moment.date(), moment.time(), Qt::UTC);
    }
    QString text = value.toString();
    if (text.size() > 10 && text.at(10) == QLatin1Char(' '))
        text[10] = QLatin1Char('T');
    const QDateTime moment = QDateTime::fromString(text, Qt::ISODateWithMs);
    return moment.isValid() ? QDateTime(moment.date(), moment.time(), Qt::UTC) : QDateTime();
}

// Order-independent content checksum: the sum of one FNV-1a hash per row over its canonical form
// (numbers as integers, dates as their UTC text, blobs as their bytes, NULL apart from any value).
class RowHash
{
public:
    void add(Kind kind, const QVariant& value)
    {
        if (value.isNull()) {
            tag(0);
            return;
        }
        switch (kind) {
        case Kind::Number: {
            const QVariant number = numberOf(value);
            if (number.userType() == QMetaType::LongLong) {
                tag(1);
                const qint64 whole = number.toLongLong();
                bytes(&whole, sizeof whole);
            } else if (number.userType() == QMetaType::Double) {
                tag(2);
                const double real = number.toDouble();
                bytes(&real, sizeof real);
            } else {
                tag(3);
                text(number.toString());
            }
            break;
        }
        case Kind::Text:
            tag(4);
            text(value.toString());
            break;
        case Kind::Blob: {
            tag(5);
            const QByteArray blob = value.toByteArray();
            bytes(blob.constData(), size_t(blob.size()));
            break;
        }
        case Kind::Stamp: {
            const QDateTime moment = stampOf(value);
            tag(6);
            text(moment.isValid() ? moment.toString(StampFormat) : value.toString());
            break;
        }
        }
    }
    quint64 value() const { return m_hash; }

private:
    void tag(uchar kind) { bytes(&kind, 1); }
    void text(const QString& value)
    {
        const quint32 length = quint32(value.size());
        bytes(&length, sizeof length);
        bytes(value.constData(), size_t(value.size()) * sizeof(QChar));
    }
    void bytes(const void* data, size_t size)
    {
        const auto* p = static_cast<const uchar*>(data);
        for (size_t i = 0; i < size; ++i)
            m_hash = (m_hash ^ p[i]) * 1099511628211ULL;
    }

    quint64 m_hash = 14695981039346656037ULL;
};

// A value as SQLite gets it: what the library itself would have written there.
QVariant sqliteValue(Kind kind, const QVariant& value)
{
    if (value.isNull())
        return QVariant();
    if (kind == Kind::Number)
        return numberOf(value);
    if (kind == Kind::Stamp) {
        const QDateTime moment = stampOf(value);
        return moment.isValid() ? QVariant(moment) : value;
    }
    return value;
}

void appendCopyField(QByteArray& out, Kind kind, const QVariant& value)
{
    if (value.isNull()) {
        out += "\\N";
        return;
    }
    switch (kind) {
    case Kind::Number: {
        const QVariant number = numberOf(value);
        if (number.userType() == QMetaType::LongLong)
            out += QByteArray::number(number.toLongLong());
        else if (number.userType() == QMetaType::Double)
            out += QByteArray::number(number.toDouble(), 'g', 17);
        else
            CopyWriter::appendEscaped(out, number.toString().toUtf8());
        break;
    }
    case Kind::Blob:
        out += "\\\\x";
        out += value.toByteArray().toHex();
        break;
    case Kind::Stamp: {
        const QDateTime moment = stampOf(value);
        CopyWriter::appendEscaped(out, moment.isValid() ? moment.toString(StampFormat).toUtf8()
                                                      : value.toString().toUtf8());
        break;
    }
    case Kind::Text:
        CopyWriter::appendEscaped(out, value.toString().toUtf8());
        break;
    }
}

// Runs a statement that needs no caller's values; the query stays readable after.
bool runStatement(QSqlQuery& query, const QString& sql)
{
    query.setForwardOnly(true);
    return query.prepare(sql) && ExecQuery(query).exec() == Result::Ok;
}

// Statements PostgreSQL cannot prepare (index definitions, transaction control) run as they stand.
bool runUnprepared(QSqlQuery& query, const QString& sql)
{
    if (query.exec(sql))
        return true;
    KTL::KtlDebug("SQL").error() << "Migration:" << sql << "failed:" << query.lastError().text();
    return false;
}

QString failureOf(const QSqlQuery& query)
{
    return firstLine(query.lastError().text());
}

// Where a location leads, for telling whether two name the same database.
QString identity(const QString& location)
{
    if (!RepositoryMigration::isPostgreSQL(location)) {
        const QFileInfo file(location);
        return file.exists() ? file.canonicalFilePath() : file.absoluteFilePath();
    }
    const QString name = QStringLiteral("rpx-migrate-") + QUuid::createUuid().toString(QUuid::Id128);
    QString result;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        Database::setPostgreSQLLocation(database, location);
        QString host = database.hostName().toLower();
        if (host.isEmpty() || host == QLatin1String("127.0.0.1") || host == QLatin1String("::1"))
            host = QStringLiteral("localhost");
        result = QStringLiteral("%1:%2/%3").arg(host).arg(database.port()).arg(database.databaseName());
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

// One end of the copy: a connection of its own, never the process-wide pool's.
class Side
{
public:
    ~Side() { close(); }

    // Connects to a PostgreSQL location or opens an SQLite file; error says why not.
    bool open(const QString& location, bool readOnly, QString& error)
    {
        m_postgres = RepositoryMigration::isPostgreSQL(location);
        const QString name = QStringLiteral("rpx-migrate-") + QUuid::createUuid().toString(QUuid::Id128);
        bool ok = false;
        {
            QSqlDatabase database =
                QSqlDatabase::addDatabase(m_postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), name);
            if (m_postgres) {
                Database::setPostgreSQLLocation(database, location);
                database.setConnectOptions(QStringLiteral("connect_timeout=10"));
            } else {
                database.setDatabaseName(location);
                database.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=30000")
                                                    : QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
            }
            ok = database.open();
            if (!ok) {
                error = firstLine(database.lastError().text());
            } else {
                m_pool = new DatabasePool();
                ok = m_pool->initDatabase(database);
            }
        }
        QSqlDatabase::removeDatabase(name);
        if (!ok)
            return false;
        m_connection = std::make_unique<DatabaseConnection>(m_pool);
        if (!m_connection->isOpen()) {
            error = firstLine(m_connection->database().lastError().text());
            return false;
        }
        return true;
    }

    void close()
    {
        m_connection.reset();
        delete m_pool.data();
    }

    bool postgres() const { return m_postgres; }
    DatabaseConnection& connection() { return *m_connection; }
    QSqlQuery query() const { return m_connection->query(); }

    // A table's columns in their order, with their kinds; empty when the table is missing.
    QVector<Column> columns(const QString& table) const
    {
        QSqlQuery query = this->query();
        QVector<Column> list;
        if (m_postgres) {
            query.prepare(QStringLiteral("SELECT column_name, data_type FROM information_schema.columns WHERE "
                                         "table_schema = current_schema() AND table_name = :table ORDER BY "
                                         "ordinal_position"));
            query.bindValue(QStringLiteral(":table"), table);
            if (ExecQuery(query).exec() != Result::Ok)
                return list;
        } else if (!runStatement(query, QStringLiteral("PRAGMA table_info(%1)").arg(table))) {
            return list;
        }
        while (query.next()) {
            const QString name = query.value(m_postgres ? 0 : 1).toString();
            list.append({name, kindOf(query.value(m_postgres ? 1 : 2).toString())});
        }
        return list;
    }

    // The select that reads a table's columns; PostgreSQL's dates are read as text, free of any time zone.
    QString select(const QString& table, const QVector<Column>& columns) const
    {
        QStringList list;
        for (const Column& column : columns) {
            list << (m_postgres && column.kind == Kind::Stamp
                         ? QStringLiteral("CAST(%1 AS TEXT) AS %1").arg(column.name)
                         : column.name);
        }
        return QStringLiteral("SELECT %1 FROM %2").arg(list.join(QLatin1Char(',')), table);
    }

    // The first table of the main database that holds rows besides the metadata row; empty when none.
    // hasSchema tells whether its tables exist; error is set when they exist only in part.
    QString tableWithRows(bool& hasSchema, QString& error) const
    {
        int present = 0;
        QString withRows;
        for (const QString& table : RepositoryMigration::tables()) {
            if (columns(table).isEmpty())
                continue;
            ++present;
            if (table == MetadataTable || !withRows.isEmpty())
                continue;
            QSqlQuery query = this->query();
            if (!runStatement(query, QStringLiteral("SELECT 1 FROM %1 LIMIT 1").arg(table))) {
                error = failureOf(query);
                return QString();
            }
            if (query.next())
                withRows = table;
        }
        hasSchema = present == RepositoryMigration::tables().size();
        if (present != 0 && !hasSchema && withRows.isEmpty())
            error = QStringLiteral("it holds only part of a repository's tables");
        return withRows;
    }

private:
    bool m_postgres = false;
    QPointer<DatabasePool> m_pool;
    std::unique_ptr<DatabaseConnection> m_connection;
};

// Receives the rows of one table on the target.
class TableWriter
{
public:
    virtual ~TableWriter() = default;
    virtual bool add(const QVector<QVariant>& row) = 0;
    virtual bool finish() = 0;
    QString error;
};

// COPY … FROM STDIN, each field in the form of its column's kind.
class PgCopyWriter : public TableWriter
{
public:
    PgCopyWriter(const DatabaseConnection& connection, const QString& table, const QVector<Column>& columns)
        : m_copy(connection, table, names(columns)), m_columns(columns)
    {
    }

    bool add(const QVector<QVariant>& row) override
    {
        m_fields.clear();
        for (int i = 0; i < row.size(); ++i) {
            if (i != 0)
                m_fields += '\t';
            appendCopyField(m_fields, m_columns.at(i).kind, row.at(i));
        }
        return m_copy.addEncodedRow(m_fields) || failed();
    }

    bool finish() override { return m_copy.finish() == Result::Ok || failed(); }

private:
    static QStringList names(const QVector<Column>& columns)
    {
        QStringList names;
        for (const Column& column : columns)
            names << column.name;
        return names;
    }

    bool failed()
    {
        error = m_copy.errorText();
        return false;
    }

    CopyWriter m_copy;
    QVector<Column> m_columns;
    QByteArray m_fields;
};

// Multi-row inserts into SQLite, each statement prepared once per table.
class InsertWriter : public TableWriter
{
public:
    InsertWriter(DatabaseConnection& connection, const QString& table, const QVector<Column>& columns)
        : m_connection(connection), m_table(table), m_columns(columns),
          m_rowsPerStatement(qMax(1, MaxParameters / qMax(1, int(columns.size()))))
    {
        m_pending.reserve(m_rowsPerStatement * columns.size());
    }

    bool add(const QVector<QVariant>& row) override
    {
        for (int i = 0; i < row.size(); ++i)
            m_pending.append(sqliteValue(m_columns.at(i).kind, row.at(i)));
        if (m_pending.size() < m_rowsPerStatement * m_columns.size())
            return true;
        if (!m_full)
            m_full = prepare(m_rowsPerStatement);
        return insert(*m_full);
    }

    bool finish() override
    {
        if (m_pending.isEmpty())
            return true;
        std::unique_ptr<QSqlQuery> rest = prepare(m_pending.size() / m_columns.size());
        return insert(*rest);
    }

private:
    static constexpr int MaxParameters = 900;  // below the oldest SQLite's limit of 999

    std::unique_ptr<QSqlQuery> prepare(int rows) const
    {
        QStringList names;
        for (const Column& column : m_columns)
            names << column.name;
        QString tuple = QStringLiteral("(?") + QStringLiteral(",?").repeated(names.size() - 1) + QLatin1Char(')');
        auto query = std::make_unique<QSqlQuery>(m_connection.query());
        query->prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES %3")
                           .arg(m_table, names.join(QLatin1Char(',')),
                                tuple + (QLatin1Char(',') + tuple).repeated(rows - 1)));
        return query;
    }

    bool insert(QSqlQuery& query)
    {
        for (int i = 0; i < m_pending.size(); ++i)
            query.bindValue(i, m_pending.at(i));
        m_pending.clear();
        if (ExecQuery(query).exec() == Result::Ok)
            return true;
        error = failureOf(query);
        return false;
    }

    DatabaseConnection& m_connection;
    QString m_table;
    QVector<Column> m_columns;
    int m_rowsPerStatement;
    QVector<QVariant> m_pending;
    std::unique_ptr<QSqlQuery> m_full;
};

// Reads a table, hashing each row and handing it to a writer when there is one.
bool readTable(Side& side, const QString& table, const QVector<Column>& columns, TableWriter* writer,
                     const std::function<void(qint64)>& progress, qint64 interval, TableCopy& result, QString& error)
    {
        QSqlQuery query = side.query();
        if (!runStatement(query, side.select(table, columns))) {
            error = failureOf(query);
            return false;
        }
        result = TableCopy{table, 0, 0};
        QVector<QVariant> row(columns.size());
        while (query.next()) {
            RowHash hash;
            for (int i = 0; i < columns.size(); ++i) {
                row[i] = query.value(i);
                hash.add(columns.at(i).kind, row.at(i));
            }
            result.checksum += hash.value();
            ++result.rows;
            if (writer && !writer->add(row)) {
                error = writer->error;
                return false;
            }
            if (progress && result.rows % interval == 0)
                progress(result.rows);
        }
        if (query.lastError().isValid()) {
            error = failureOf(query);
            return false;
        }
        if (writer && !writer->finish()) {
            error = writer->error;
            return false;
        }
        return true;
}

// Sets the report's failure, logged once; false, for returning at once.
bool fail(Report& report, Outcome outcome, const QString& message)
{
    report.outcome = outcome;
    report.message = message;
    KTL::KtlDebug("SQL").error() << "Migration:" << message;
    return false;
}

// Opens the source inside one read transaction, so that a writer meanwhile cannot make the copy half
// old, half new; an SQLite file must pass its check first. Every table's columns are read.
bool openSource(Side& source, const QString& location, QVector<QVector<Column>>& columns, Report& report)
{
    QString error;
    if (!RepositoryMigration::isPostgreSQL(location) && !QFileInfo(location).isFile())
        return fail(report, Outcome::SourceUnreadable, QStringLiteral("no repository file at %1").arg(location));
    if (!source.open(location, true, error))
        return fail(report, Outcome::SourceUnreadable, QStringLiteral("cannot open the source: %1").arg(error));
    QSqlQuery check = source.query();
    if (!source.postgres()) {
        // The quick check reads every page and row; the full one also matches every index entry
        // against its row, which on a large catalog takes longer than the copy itself.
        if (!runStatement(check, QStringLiteral("PRAGMA quick_check")) || !check.next())
            return fail(report, Outcome::SourceDamaged,
                        QStringLiteral("the source cannot be checked: %1").arg(failureOf(check)));
        const QString verdict = check.value(0).toString().simplified();
        if (verdict != QLatin1String("ok"))
            return fail(report, Outcome::SourceDamaged,
                        QStringLiteral("the source fails its integrity check: %1").arg(verdict.left(200)));
        check.finish();
    }
    const QString begin = source.postgres() ? QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
                                            : QStringLiteral("BEGIN");
    if (!runUnprepared(check, begin))
        return fail(report, Outcome::SourceUnreadable,
                    QStringLiteral("cannot read the source: %1").arg(failureOf(check)));
    for (const QString& table : RepositoryMigration::tables()) {
        columns << source.columns(table);
        if (columns.last().isEmpty())
            return fail(report, Outcome::SourceUnreadable,
                        QStringLiteral("the source holds no repository (no table %1)").arg(table));
    }
    return true;
}

// Refuses a target that holds rows or anything but a repository's empty tables; hasSchema tells
// whether those tables are there already.
bool checkTargetEmpty(const Side& target, bool& hasSchema, Report& report)
{
    QString error;
    if (!target.postgres()) {
        // Any file there that is not an SQLite database is someone's data: it is never replaced.
        QSqlQuery query = target.query();
        if (!runStatement(query, QStringLiteral("SELECT count(*) FROM sqlite_master")))
            return fail(report, Outcome::TargetNotEmpty,
                        QStringLiteral("the target is no database: %1").arg(failureOf(query)));
    }
    const QString full = target.tableWithRows(hasSchema, error);
    if (!full.isEmpty())
        return fail(report, Outcome::TargetNotEmpty,
                    QStringLiteral("the target already holds rows (table %1)").arg(full));
    if (!error.isEmpty())
        return fail(report, Outcome::TargetNotEmpty, QStringLiteral("the target cannot take the copy: %1").arg(error));
    return true;
}

// Connects to the PostgreSQL target, or creates the temporary SQLite file beside the target file.
bool openTarget(Side& target, const QString& location, const QString& temporary, bool& hasSchema, Report& report)
{
    QString error;
    if (RepositoryMigration::isPostgreSQL(location)) {
        if (!target.open(location, false, error))
            return fail(report, Outcome::TargetUnreachable,
                        QStringLiteral("cannot connect to the target: %1").arg(error));
        return checkTargetEmpty(target, hasSchema, report);
    }
    const QString folder = QFileInfo(location).absolutePath();
    if (!QFileInfo(folder).isDir())
        return fail(report, Outcome::TargetUnreachable, QStringLiteral("no folder %1 for the target").arg(folder));
    if (QFileInfo::exists(location)) {
        if (!target.open(location, true, error))
            return fail(report, Outcome::TargetNotEmpty, QStringLiteral("the target is no database: %1").arg(error));
        if (!checkTargetEmpty(target, hasSchema, report))
            return false;
        target.close();
    }
    hasSchema = false;
    // What a killed copy left behind is of no use.
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(temporary + QLatin1String(suffix));
    if (!target.open(temporary, false, error))
        return fail(report, Outcome::TargetUnreachable, QStringLiteral("cannot create %1: %2").arg(temporary, error));
    QSqlQuery pragma = target.query();
    // The file is renamed into place only once complete: a journal would protect nothing.
    return runStatement(pragma, QStringLiteral("PRAGMA journal_mode=OFF")) &&
           runStatement(pragma, QStringLiteral("PRAGMA synchronous=OFF"));
}

// PostgreSQL builds an index over loaded rows several times faster than it keeps one up to date row
// by row: the indexes that back no constraint go for the copy; their definitions come back.
bool dropIndexes(Side& target, QStringList& definitions, Report& report)
{
    QSqlQuery query = target.query();
    if (!runStatement(query, QStringLiteral("SELECT indexname, indexdef, tablename FROM pg_indexes i WHERE "
                                            "schemaname = current_schema() AND NOT EXISTS (SELECT 1 FROM "
                                            "pg_constraint c WHERE c.conname = i.indexname)")))
        return fail(report, Outcome::CopyFailed, failureOf(query));
    QStringList names;
    while (query.next()) {
        if (!RepositoryMigration::tables().contains(query.value(2).toString()))
            continue;
        names << query.value(0).toString();
        definitions << query.value(1).toString();
    }
    query.finish();
    for (const QString& name : names) {
        if (!runUnprepared(query, QStringLiteral("DROP INDEX ") + name))
            return fail(report, Outcome::CopyFailed, failureOf(query));
    }
    runUnprepared(query, QStringLiteral("SET LOCAL maintenance_work_mem = '256MB'"));
    return true;
}

// Builds the indexes again and sets each key sequence past the highest copied key.
bool completePostgres(Side& target, const QStringList& indexes, const QVector<QVector<Column>>& columns,
                      Report& report)
{
    QSqlQuery query = target.query();
    for (const QString& index : indexes) {
        if (!runUnprepared(query, index))
            return fail(report, Outcome::CopyFailed, QStringLiteral("cannot build an index: %1").arg(failureOf(query)));
    }
    const auto isId = [](const Column& column) { return column.name == QLatin1String("id"); };
    for (int t = 0; t < columns.size(); ++t) {
        if (std::none_of(columns.at(t).cbegin(), columns.at(t).cend(), isId))
            continue;
        const QString sql = QStringLiteral(
            "SELECT setval(pg_get_serial_sequence('%1', 'id'), COALESCE(MAX(id), 0) + 1, false) FROM %1");
        if (!runStatement(query, sql.arg(RepositoryMigration::tables().at(t))))
            return fail(report, Outcome::CopyFailed, failureOf(query));
        query.finish();
    }
    // Statistics for the planner right away; without them autovacuum gathers them later.
    runUnprepared(query, QStringLiteral("ANALYZE"));
    return true;
}

// The target read back must hold exactly what was read from the source.
bool verify(Side& target, const QVector<QVector<Column>>& columns, const QVector<TableCopy>& copied,
            Report& report)
{
    QString error;
    for (int t = 0; t < copied.size(); ++t) {
        const TableCopy& read = copied.at(t);
        TableCopy written;
        if (!readTable(target, read.table, columns.at(t), nullptr, nullptr, 1, written, error))
            return fail(report, Outcome::CopyFailed,
                        QStringLiteral("reading back %1 failed: %2").arg(read.table, error));
        if (written.rows != read.rows || written.checksum != read.checksum)
            return fail(report, Outcome::Mismatch,
                        QStringLiteral("table %1 differs after the copy: %2 rows read, %3 written%4")
                            .arg(read.table)
                            .arg(read.rows)
                            .arg(written.rows)
                            .arg(written.rows == read.rows ? QStringLiteral(", content differs") : QString()));
    }
    return true;
}

bool syncPath(const QString& path)
{
    const int file = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    const bool synced = file >= 0 && ::fsync(file) == 0;
    if (file >= 0)
        ::close(file);
    return synced;
}

// Puts the complete SQLite copy in place of the target file.
bool putInPlace(Side& target, const QString& temporary, const QString& location, Report& report)
{
    {
        QSqlQuery wal = target.query();
        // The library opens its file in WAL mode; the file is born in it.
        runStatement(wal, QStringLiteral("PRAGMA journal_mode=WAL"));
    }
    target.close();
    // An old write-ahead log beside the new file would be replayed into it.
    QFile::remove(location + QStringLiteral("-wal"));
    QFile::remove(location + QStringLiteral("-shm"));
    if (!syncPath(temporary) ||
        std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(location).constData()) != 0)
        return fail(report, Outcome::CopyFailed, QStringLiteral("cannot put the copy in place at %1").arg(location));
    syncPath(QFileInfo(location).absolutePath());
    return true;
}

// Copies one table; the target's columns, all of which the source must have, say what is read.
bool copyTable(Side& source, Side& target, const QString& table, const QVector<Column>& sourceColumns,
               QVector<Column>& columns, const RepositoryMigration::Progress& progress, qint64 interval,
               TableCopy& copy, Report& report)
{
    for (Column& column : columns) {
        const auto same = [&column](const Column& other) { return other.name == column.name; };
        const auto found = std::find_if(sourceColumns.cbegin(), sourceColumns.cend(), same);
        if (found == sourceColumns.cend())
            return fail(report, Outcome::SourceUnreadable,
                        QStringLiteral("the source's table %1 has no column %2").arg(table, column.name));
        // PostgreSQL's column types are the stricter ones: they decide how a value is carried and
        // compared, so that a checksum is the same whichever way the copy goes.
        if (source.postgres())
            column.kind = found->kind;
    }

    qint64 total = 0;
    if (progress) {
        QSqlQuery count = source.query();
        if (runStatement(count, QStringLiteral("SELECT COUNT(*) FROM ") + table) && count.next())
            total = count.value(0).toLongLong();
    }
    std::unique_ptr<TableWriter> writer;
    if (target.postgres())
        writer = std::make_unique<PgCopyWriter>(target.connection(), table, columns);
    else
        writer = std::make_unique<InsertWriter>(target.connection(), table, columns);
    const auto rowsCopied = [&](qint64 rows) { progress(table, rows, total); };
    QString error;
    if (!readTable(source, table, columns, writer.get(), progress ? std::function<void(qint64)>(rowsCopied) : nullptr,
                   interval, copy, error))
        return fail(report, Outcome::CopyFailed, QStringLiteral("copying %1 failed: %2").arg(table, error));
    if (progress)
        progress(table, copy.rows, total);
    return true;
}

}  // namespace

RepositoryMigration::RepositoryMigration(const QString& source, const QString& target)
    : m_source(source), m_target(target)
{
}

const QStringList& RepositoryMigration::tables()
{
    // Destinations and folders before what refers to them, versions before the image versions.
    static const QStringList list = {
        QStringLiteral("destination"),      QStringLiteral("cloud_folders"),
        QStringLiteral("cloud_files"),      QStringLiteral("cloud_file_versions"),
        MetadataTable,                      QStringLiteral("history"),
        QStringLiteral("session_history"),  QStringLiteral("plan_name"),
        QStringLiteral("cloud_file_version_bitmaps"), QStringLiteral("diskimage"),
        QStringLiteral("diskimage_versions"), QStringLiteral("archive_bunches"),
        QStringLiteral("archive_generations"), QStringLiteral("statistic"),
        QStringLiteral("agent_versions"),
    };
    return list;
}

bool RepositoryMigration::isPostgreSQL(const QString& location)
{
    return location.startsWith(QLatin1String("PGSQL"));
}

RepositoryMigration::Report RepositoryMigration::run()
{
    Report report;
    if (identity(m_source) == identity(m_target)) {
        fail(report, Outcome::SameLocation, QStringLiteral("the target is the source"));
        return report;
    }
    const bool toPostgres = isPostgreSQL(m_target);
    const QString temporary = m_target + QStringLiteral(".migrating");
    // Removes an SQLite copy that is not complete, once nothing holds it open any more.
    struct Discard
    {
        QString path;
        ~Discard()
        {
            if (!path.isEmpty())
                QFile::remove(path);
        }
    } discard{toPostgres ? QString() : temporary};

    Side source;
    Side target;
    QVector<QVector<Column>> sourceColumns;
    bool hasSchema = false;
    if (!openSource(source, m_source, sourceColumns, report) ||
        !openTarget(target, m_target, temporary, hasSchema, report))
        return report;

    QVector<TableCopy> copied;
    {
        Transaction transaction(target.connection());
        if (!transaction.isActive()) {
            fail(report, Outcome::CopyFailed, QStringLiteral("cannot begin writing the target"));
            return report;
        }
        if (!hasSchema && !createDatabaseStructure(target.connection())) {
            fail(report, Outcome::CopyFailed, QStringLiteral("cannot create the repository's tables on the target"));
            return report;
        }
        QSqlQuery query = target.query();
        QStringList indexes;
        if (!runStatement(query, QStringLiteral("DELETE FROM ") + MetadataTable) ||
            (toPostgres && !dropIndexes(target, indexes, report))) {
            if (report.message.isEmpty())
                fail(report, Outcome::CopyFailed, failureOf(query));
            return report;
        }

        QVector<QVector<Column>> targetColumns;
        for (int t = 0; t < tables().size(); ++t) {
            targetColumns << target.columns(tables().at(t));
            TableCopy copy;
            if (!copyTable(source, target, tables().at(t), sourceColumns.at(t), targetColumns.last(), m_progress,
                           m_progressInterval, copy, report))
                return report;
            copied << copy;
        }
        if ((toPostgres && !completePostgres(target, indexes, targetColumns, report)) ||
            !verify(target, targetColumns, copied, report))
            return report;
        if (!transaction.commit()) {
            fail(report, Outcome::CopyFailed, QStringLiteral("cannot commit the copy"));
            return report;
        }
    }
    {
        QSqlQuery end = source.query();
        runUnprepared(end, QStringLiteral("ROLLBACK"));
    }
    source.close();
    if (!toPostgres && !putInPlace(target, temporary, m_target, report))
        return report;
    report.outcome = Outcome::Ok;
    report.tables = copied;
    return report;
}

}  // namespace RPX::SQL
