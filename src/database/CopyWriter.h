#pragma once

// Rows streamed into a PostgreSQL table with COPY FROM STDIN through the driver's native
// connection: one exchange for any number of rows, and no statement text of their values to
// build and parse.

#include "DatabaseConnection.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QSqlDriver;
struct pg_conn;
struct pg_result;

namespace RPX::SQL {

class CopyWriter
{
public:
    // Savepoint: the copy runs under a savepoint of the open transaction, so that a row breaking a
    // unique index takes back the copy alone and the transaction goes on.
    enum class Guard { None, Savepoint };

    // Rows into `columns` of `table`, each row's values in the order of the columns. With `newIds`,
    // the rows also get new ids from the sequence of the table's id column, ahead of their values: a
    // copy cannot return the ids the column's default would give. The draw, the savepoint and the
    // start of the copy then leave at once, at construction, and the rows added meanwhile wait,
    // encoded, for their ids, so that the server starts on them as soon as it has drawn. Nothing
    // else may run on the connection until finish() or the end of the writer.
    CopyWriter(const DatabaseConnection& connection, const QString& table, const QStringList& columns,
               Guard guard = Guard::None, int newIds = 0);

    // Whether the connection is a PostgreSQL one whose native handle is reachable.
    static bool isAvailable(const DatabaseConnection& connection);

    // Ends a copy that finish() did not: the server discards its rows.
    ~CopyWriter();
    CopyWriter(const CopyWriter&) = delete;
    CopyWriter& operator=(const CopyWriter&) = delete;

    // One row, values as the table classes bind them (null, numbers, texts, bytes). False once the
    // copy has failed.
    bool addRow(const QVector<QVariant>& values);
    // One row already in COPY's text format, fields separated by tabs, without its newline.
    bool addEncodedRow(const QByteArray& fields);
    // Sends the rows: Result::Ok; under Guard::Savepoint Result::Constraint when a row broke a unique
    // index (none of the rows stays); Result::Error (logged) when the server refused them otherwise.
    int finish();
    // The ids of the rows, in their order, once finish() has returned Result::Ok.
    const QVector<unsigned long long>& ids() const { return m_ids; }
    // Whether the session was found lost before the copy started: none of it ran.
    bool lostBeforeStart() const { return m_lostBeforeStart; }
    // The first line of the server's or the client library's last complaint.
    QString errorText() const { return m_error; }

    // One field in COPY's text format: a backslash, tab, newline or carriage return is escaped.
    static void appendEscaped(QByteArray& buffer, const QByteArray& text);
    static void appendEscaped(QByteArray& buffer, const QString& text);

private:
    // Where the exchange that starts the copy stands.
    enum class Start { NotSent, Sent, Copying };

    static void append(QByteArray& buffer, const QVariant& value);
    bool endRow();
    // Sends what starts the copy: the savepoint, the draw and the COPY statement.
    bool send();
    QString drawStatement() const;
    // Reads the answers to send() up to the copy's start; without `wait` only what has come.
    bool readStart(bool wait);
    void takeIds(const char* array);
    // The id of row `row` and its tab into the buffer.
    bool appendId(int row);
    void giveIdsToWaiting();
    bool flush(bool force);
    void fail();
    // The first complaint's text, and the SQLSTATE of the latest.
    void noteError(const pg_result* result);
    // Whether the last failure was the session's loss, as ExecQuery tells it.
    bool sessionLost() const;
    // Ends the copy, or its start, and takes back the savepoint.
    void abandon();
    bool run(const char* command);

    const QSqlDriver* m_driver = nullptr;
    pg_conn* m_connection = nullptr;
    QString m_table;
    QString m_statement;
    QString m_sent;  // the message send() sent
    QByteArray m_buffer;
    // Rows encoded before their ids were in, each ended by its newline.
    QByteArray m_waiting;
    int m_newIds = 0;
    int m_rows = 0;
    QVector<unsigned long long> m_ids;
    bool m_guarded = false;
    bool m_savepoint = false;  // set and not yet released or taken back
    Start m_start = Start::NotSent;
    bool m_failed = false;
    bool m_ended = false;
    bool m_lostBeforeStart = false;
    QString m_error;
    QString m_state;  // SQLSTATE of the server's complaint
};

}  // namespace RPX::SQL
