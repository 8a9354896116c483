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

    // One row, values as the table classes bind them (null, numbers, texts, bytes).
    void addRow(const QVector<QVariant>& values);
    // Sends the rows: Result::Ok, or Result::Error (logged) when the server refused them.
    int finish();

    // One field in COPY's text format: a backslash, tab, newline or carriage return is escaped.
    static void appendEscaped(QByteArray& buffer, const QByteArray& text);

private:
    void append(const QVariant& value);
    bool flush(bool force);

    pg_conn* m_connection = nullptr;
    QString m_statement;
    QByteArray m_buffer;
    bool m_started = false;
    bool m_failed = false;
};

}  // namespace RPX::SQL
