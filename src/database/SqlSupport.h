#pragma once

// What the table classes share: result pairs, dialect choice, the 14-digit date code,
// UUID and UTF-8 texts, and statements bound and read by column name.

#include "DatabaseConnection.h"
#include "DatabaseType.h"
#include "ExecQuery.h"
#include "QtCompat.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariant>
#include <memory>

namespace RPX::SQL {

// Result pairs: nothing found is (null, Ok), not an error.
template <class T>
using RowResult = QPair<QSharedPointer<T>, int>;
template <class T>
using ListResult = QPair<QList<QSharedPointer<T>>, int>;
using CountResult = QPair<int, int>;
using TestResult = QPair<bool, int>;

// The statement text for an engine; empty for an unknown type.
QString dialect(DatabaseType type, const QString& sqlite, const QString& postgres);
// One text that both engines run, empty for an unknown type.
QString bothDialects(DatabaseType type, const QString& statement);

// Dates stored as 14-digit numbers "yyyyMMddhhmmss" in UTC.
namespace DateCode {
extern const QString Format;  // "yyyyMMddhhmmss"
extern const QString NotSet;  // "99999999999999": no date (not deleted, no purge time)

QString text(const QDateTime& value);          // empty for an invalid value
qint64 number(const QDateTime& value);         // 0 for an invalid value
QString textOrNotSet(const QDateTime& value);  // NotSet for an invalid value
// A stored value read back: NotSet, empty, 0 or anything unparsable gives an invalid date.
QDateTime parse(const QVariant& stored);
}  // namespace DateCode

// Text of a byte array up to its first zero byte, as UTF-8; a null array gives a null string.
QString utf8UpToZero(const QByteArray& bytes);

// Whether text comes back from both engines exactly as stored: no zero character (PostgreSQL
// refuses it, SQLite cuts at it), no unpaired surrogate, no U+FFFE or U+FFFF (SQLite replaces them).
bool isStorableText(const QString& text);

// ":" and the name of each column: the named placeholders of a one-row statement.
QStringList namedPlaceholders(const QStringList& columns);

// Values as Statement::bindU64 and Statement::bindText bind them.
QVariant u64Value(quint64 value);
QVariant textValue(const QString& value);

// Numbers as the drivers hand them back (integers, doubles or decimal texts), 0 when unreadable.
quint64 toU64(const QVariant& value);
qint64 toI64(const QVariant& value);

// A UTC date-time bound to a DATETIME column. PostgreSQL gets the UTC wall-clock text, which its
// TIMESTAMP column stores unshifted whatever the session's time zone; an invalid value is NULL.
QVariant dateTimeValue(DatabaseType type, const QDateTime& value);

// One prepared statement on a connection, run through ExecQuery. The prepared query comes from
// the connection's statement cache when one is kept and goes back to it afterwards.
class Statement
{
public:
    enum Option : int {
        None = 0,
        // An insert whose new key the caller reads: on PostgreSQL the key comes back with the
        // insert itself (RETURNING id) instead of a second round trip.
        ReturnsId = 1,
        // An insert that may lose a race on a unique key as part of normal work: inside a caller's
        // transaction on PostgreSQL losing adds nothing instead of aborting the transaction, and
        // exec() reports Constraint as for a losing insert anywhere else.
        MayConflict = 2,
        // Written with "?" placeholders only, bound with bindAt: prepared as written.
        Positional = 4,
    };

    Statement(const DatabaseConnection& connection, const QString& sql, int options = None);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(const QString& placeholder, const QVariant& value);
    Statement& bindU64(const QString& placeholder, quint64 value);
    Statement& bindText(const QString& placeholder, const QString& value);  // null stays NULL
    // By position, for statements written with "?" placeholders.
    Statement& bindAt(int position, const QVariant& value);

    int exec();
    // Runs an insert and, when it succeeds, stores the new row's key in id: the result code, Error
    // when the database gave no key (id is then left as it was).
    int execInsert(quint64& id);
    bool next();
    QSqlQuery& query();
    // The id the database gave the inserted row, 0 when there is none.
    quint64 lastInsertId() const;
    bool hasLastInsertId() const;
    int numRowsAffected() const;

private:
    StatementCache* m_cache = nullptr;
    const DatabaseConnection& m_connection;
    quint64 m_session = 0;
    QString m_sql;
    // Values of a statement that could not be prepared (its connection was closed): bound once it is.
    ExecQuery::NamedValues m_unpreparedValues;
    std::unique_ptr<QSqlQuery> m_query;
    bool m_prepared = false;
    bool m_returnsId = false;
    bool m_conflictIsEmpty = false;
    bool m_hasReturnedId = false;
    quint64 m_returnedId = 0;
};

// Reads the current row of a query by column name.
class Row
{
public:
    explicit Row(const QSqlQuery& query);

    QVariant value(const QString& column) const;
    bool isNull(const QString& column) const;
    quint64 u64(const QString& column) const;
    qint64 i64(const QString& column) const;
    int i32(const QString& column) const;
    bool flag(const QString& column) const;
    QString text(const QString& column) const;
    QByteArray utf8(const QString& column) const;
    QByteArray bytes(const QString& column) const;
    QDateTime date14(const QString& column) const;    // 14-digit date code
    QDateTime dateTime(const QString& column) const;  // driver date-time, whole seconds, UTC
    QUuid uuid(const QString& column) const;

private:
    // Position of a column: tried from just after the last one read, as rows are mostly read in
    // the order of their columns, then without regard to case.
    int indexOf(const QString& column) const;

    const QSqlQuery& m_query;
    QSqlRecord m_record;
    mutable int m_next = 0;
};

// Runs a select and turns every row into an object through T::init.
template <class T>
ListResult<T> selectAll(Statement& statement)
{
    ListResult<T> result{{}, statement.exec()};
    if (result.second != Result::Ok)
        return result;
    while (true) {
        QSharedPointer<T> row(new T());
        if (!row->init(statement.query()))
            break;
        result.first.append(row);
    }
    return result;
}

// Runs a select and turns the first row into an object through T::init.
template <class T>
RowResult<T> selectOne(Statement& statement)
{
    RowResult<T> result{{}, statement.exec()};
    if (result.second != Result::Ok)
        return result;
    QSharedPointer<T> row(new T());
    if (row->init(statement.query()))
        result.first = row;
    return result;
}

}  // namespace RPX::SQL
