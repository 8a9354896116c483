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
    // `into`: the table and its columns, "table (column, column, ...)".
    CopyWriter(const DatabaseConnection& connection, const QString& into);

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
    // Sends the rows: Result::Ok, or Result::Error (logged) when the server refused them.
    int finish();
    // The first line of the server's or the client library's last complaint.
    QString errorText() const { return m_error; }

    // One field in COPY's text format: a backslash, tab, newline or carriage return is escaped.
    static void appendEscaped(QByteArray& buffer, const QByteArray& text);

private:
    void append(const QVariant& value);
    bool endRow();
    bool flush(bool force);
    void fail();

    pg_conn* m_connection = nullptr;
    QString m_statement;
    QByteArray m_buffer;
    bool m_started = false;
    bool m_failed = false;
    bool m_ended = false;
    QString m_error;
};

}  // namespace RPX::SQL
