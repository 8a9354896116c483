#pragma once

// Rows streamed into a PostgreSQL table with COPY FROM STDIN through the driver's native
// connection: one exchange for any number of rows, and no statement text of their values to
// build and parse.

#include "DatabaseConnection.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVector>

struct pg_conn;

namespace RPX::SQL {

class CopyWriter
{
public:
    // Savepoint: the copy runs under a savepoint of the open transaction, so that a row breaking a
    // unique index takes back the copy alone and the transaction goes on.
    enum class Guard { None, Savepoint };

    // `into`: the table and its columns, "table (column, column, ...)".
    CopyWriter(const DatabaseConnection& connection, const QString& into, Guard guard = Guard::None);

    // Whether the connection is a PostgreSQL one whose native handle is reachable.
    static bool isAvailable(const DatabaseConnection& connection);

    // Ends a copy that finish() did not: the server discards its rows.
    ~CopyWriter();
    CopyWriter(const CopyWriter&) = delete;
    CopyWriter& operator=(const CopyWriter&) = delete;

    // One row, values as the table classes bind them (null, numbers, texts, bytes). False once the
    // copy has failed.
    bool addRow(const QVector<QVariant>& values);
    // The same with `first` as the row's first field, ahead of `values`.
    bool addRow(const QVariant& first, const QVector<QVariant>& values);
    // One row already in COPY's text format, fields separated by tabs, without its newline.
    bool addEncodedRow(const QByteArray& fields);
    // Sends the rows: Result::Ok; under Guard::Savepoint Result::Constraint when a row broke a unique
    // index (none of the rows stays); Result::Error (logged) when the server refused them otherwise.
    int finish();
    // The first line of the server's or the client library's last complaint.
    QString errorText() const { return m_error; }

    // One field in COPY's text format: a backslash, tab, newline or carriage return is escaped.
    static void appendEscaped(QByteArray& buffer, const QByteArray& text);
    static void appendEscaped(QByteArray& buffer, const QString& text);

private:
    void append(const QVariant& value);
    // Each value from index `from` on, each after a tab.
    void appendFields(const QVector<QVariant>& values, int from);
    bool endRow();
    bool flush(bool force);
    void fail();
    bool run(const char* command);

    pg_conn* m_connection = nullptr;
    QString m_statement;
    QByteArray m_buffer;
    bool m_guarded = false;
    bool m_started = false;
    bool m_failed = false;
    bool m_ended = false;
    QString m_error;
};

// New ids from the sequence of a table's id column, for the rows a copy is to insert: a copy cannot
// return the ids the column's default would give. The request leaves at construction and take()
// reads the answer, so that the caller builds its rows meanwhile; nothing else may run on the
// connection in between. Inert on a connection without a PostgreSQL handle.
class IdDraw
{
public:
    IdDraw(const DatabaseConnection& connection, const QString& table, int count);
    // Reads an answer that take() did not, leaving the connection free.
    ~IdDraw();
    IdDraw(const IdDraw&) = delete;
    IdDraw& operator=(const IdDraw&) = delete;

    // The ids, ascending, appended to `ids`: Result::Ok, or Result::Error (logged).
    int take(QVector<unsigned long long>& ids);

private:
    void drain();

    pg_conn* m_connection = nullptr;
    int m_count = 0;
    bool m_pending = false;
};

}  // namespace RPX::SQL
