#include "CopyWriter.h"

#include "ExecQuery.h"
#include "NativeHandle.h"
#include "QtCompat.h"
#include "agent/KtlDebug.h"

#include <QSqlError>
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace RPX::SQL {

namespace {

// Rows go to the server in pieces of this size, so that it parses some while later ones are encoded.
constexpr int FlushBytes = 1 << 15;
constexpr char UniqueViolation[] = "23505";
// A guarded copy's savepoint, and how it is taken back.
constexpr char SetSavepoint[] = "SAVEPOINT copy_rows";
constexpr char ReleaseSavepoint[] = "RELEASE SAVEPOINT copy_rows";
constexpr char UndoSavepoint[] = "ROLLBACK TO SAVEPOINT copy_rows; RELEASE SAVEPOINT copy_rows";

// What COPY's text format escapes: a backslash, tab, newline or carriage return.
const char* escapeOf(char character)
{
    switch (character) {
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    default: return nullptr;
    }
}

template <class Number>
void appendNumber(QByteArray& buffer, Number value)
{
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    buffer.append(digits, int(end.ptr - digits));
}

// The sequence looked up once, not once per id; the ids come back as one array value. %1: the
// table, as a literal; %2: how many.
const char DrawStatement[] = "select array_agg(nextval(s)) from cast(pg_get_serial_sequence(%1, 'id') as regclass) "
                             "as s, generate_series(1, %2)";
// How many rows are encoded between two looks for the drawn ids.
constexpr int RowsPerLook = 32;

}  // namespace

CopyWriter::CopyWriter(const DatabaseConnection& connection, const QString& table, const QStringList& columns,
                       Guard guard, int newIds)
    : m_driver(connection.database().driver()),
      m_connection(NativeHandle::postgres(m_driver)),
      m_table(table),
      m_newIds(std::max(newIds, 0)),
      m_guarded(guard == Guard::Savepoint)
{
    m_statement = QStringLiteral("COPY ") + table + QStringLiteral(" (") +
                  (m_newIds > 0 ? QStringLiteral("id, ") : QString()) + columns.join(QStringLiteral(", ")) +
                  QStringLiteral(") FROM STDIN");
    m_buffer.reserve(FlushBytes + FlushBytes / 4);
    if (m_newIds > 0)
        send();
}

bool CopyWriter::isAvailable(const DatabaseConnection& connection)
{
    return NativeHandle::postgres(connection.database().driver()) != nullptr;
}

CopyWriter::~CopyWriter()
{
    abandon();
}

void CopyWriter::abandon()
{
    if (m_start == Start::NotSent || m_ended)
        return;
    m_ended = true;
    if (m_start == Start::Copying)
        PQputCopyEnd(m_connection, "copy abandoned");
    while (PGresult* result = PQgetResult(m_connection)) {
        // The start still on its way: its savepoint is taken back, its copy starts only to be ended.
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK && m_start == Start::Sent)
            m_savepoint = m_guarded;
        else if (status == PGRES_COPY_IN)
            PQputCopyEnd(m_connection, "copy abandoned");
        PQclear(result);
    }
    if (m_savepoint)
        run(UndoSavepoint);
    m_savepoint = false;
}

void CopyWriter::append(QByteArray& buffer, const QVariant& value)
{
    if (QtCompat::isNull(value)) {
        buffer += "\\N";
        return;
    }
    switch (value.userType()) {
    case QMetaType::QByteArray:
        // bytea's hex input form, its backslash escaped for the text format.
        buffer += "\\\\x";
        buffer += value.toByteArray().toHex();
        return;
    case QMetaType::Int:
        appendNumber(buffer, value.toInt());
        return;
    case QMetaType::UInt:
        appendNumber(buffer, value.toUInt());
        return;
    case QMetaType::LongLong:
        appendNumber(buffer, value.toLongLong());
        return;
    case QMetaType::ULongLong:
        appendNumber(buffer, value.toULongLong());
        return;
    default:
        appendEscaped(buffer, value.toString());
    }
}

bool CopyWriter::addRow(const QVector<QVariant>& values)
{
    if (m_failed)
        return false;
    // Until the ids are in, rows wait without theirs.
    const bool waiting = m_newIds > 0 && m_start != Start::Copying;
    QByteArray& buffer = waiting ? m_waiting : m_buffer;
    if (m_newIds > 0 && !waiting && !appendId(m_rows))
        return false;
    for (int i = 0; i < values.size(); ++i) {
        if (i != 0)
            buffer += '\t';
        append(buffer, values.at(i));
    }
    buffer += '\n';
    return endRow();
}

bool CopyWriter::addEncodedRow(const QByteArray& fields)
{
    if (m_failed || m_newIds > 0)
        return false;
    m_buffer += fields;
    m_buffer += '\n';
    return endRow();
}

bool CopyWriter::endRow()
{
    ++m_rows;
    if (m_start == Start::Sent) {
        if (m_rows % RowsPerLook == 0 && readStart(false))
            giveIdsToWaiting();
    } else if (m_buffer.size() >= FlushBytes) {
        flush(false);
    }
    if (m_failed) {
        m_buffer.clear();
        m_waiting.clear();
    }
    return !m_failed;
}

bool CopyWriter::appendId(int row)
{
    if (row >= m_ids.size()) {
        m_error = QStringLiteral("more rows than ids drawn");
        fail();
        return false;
    }
    appendNumber(m_buffer, m_ids.at(row));
    m_buffer += '\t';
    return true;
}

void CopyWriter::giveIdsToWaiting()
{
    int row = 0;
    const char* line = m_waiting.constData();
    const char* const end = line + m_waiting.size();
    while (line < end && !m_failed) {
        // A newline inside a field is escaped: each one here ends a row.
        const char* const newline = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line)));
        const char* const next = newline != nullptr ? newline + 1 : end;
        if (!appendId(row++))
            break;
        m_buffer.append(line, int(next - line));
        line = next;
        if (m_buffer.size() >= FlushBytes)
            flush(false);
    }
    m_waiting.clear();
}

void CopyWriter::noteError(const PGresult* result)
{
    if (result == nullptr)
        return;
    if (m_error.isEmpty())
        m_error = QString::fromUtf8(PQresultErrorMessage(result)).section(QLatin1Char('\n'), 0, 0);
    m_state = QString::fromLatin1(PQresultErrorField(result, PG_DIAG_SQLSTATE));
}

bool CopyWriter::sessionLost() const
{
    return ExecQuery::sessionLost(m_driver, QSqlError(QString(), m_error, QSqlError::StatementError, m_state));
}

void CopyWriter::fail()
{
    m_failed = true;
    if (m_error.isEmpty() && m_connection != nullptr)
        m_error = QString::fromUtf8(PQerrorMessage(m_connection)).section(QLatin1Char('\n'), 0, 0);
}

bool CopyWriter::run(const char* command)
{
    ExecQuery::observe(QString::fromLatin1(command));
    PGresult* result = PQexec(m_connection, command);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    if (!ok)
        KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << command << PQerrorMessage(m_connection);
    return ok;
}

QString CopyWriter::drawStatement() const
{
    const QByteArray name = m_table.toUtf8();
    char* const table = PQescapeLiteral(m_connection, name.constData(), size_t(name.size()));
    const QString statement = QString::fromLatin1(DrawStatement).arg(QString::fromUtf8(table)).arg(m_newIds);
    PQfreemem(table);
    return statement;
}

bool CopyWriter::send()
{
    if (m_connection == nullptr) {
        m_error = QStringLiteral("no PostgreSQL connection");
        fail();
        return false;
    }
    // The savepoint, the draw and the copy's start go as one message: one exchange, not three.
    QStringList statements;
    if (m_guarded)
        statements << QString::fromLatin1(SetSavepoint);
    if (m_newIds > 0)
        statements << drawStatement();
    statements << m_statement;
    for (const QString& statement : qAsConst(statements))
        ExecQuery::observe(statement);
    m_sent = statements.join(QStringLiteral("; "));
    // What the driver left unread of an earlier statement (the end of a forward-only result) is
    // discarded first, as PQexec does.
    while (PGresult* result = PQgetResult(m_connection))
        PQclear(result);
    if (PQsendQuery(m_connection, m_sent.toUtf8().constData()) != 1) {
        fail();
        m_lostBeforeStart = sessionLost();
        KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << m_sent << m_error;
        return false;
    }
    m_start = Start::Sent;
    return true;
}

bool CopyWriter::readStart(bool wait)
{
    while (m_start == Start::Sent) {
        if (!wait && (PQconsumeInput(m_connection) != 1 || PQisBusy(m_connection) == 1)) {
            if (PQstatus(m_connection) != CONNECTION_OK)
                break;
            return false;
        }
        PGresult* result = PQgetResult(m_connection);
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK) {
            m_savepoint = m_guarded;
        } else if (status == PGRES_TUPLES_OK && PQntuples(result) == 1) {
            takeIds(PQgetvalue(result, 0, 0));
        } else if (status == PGRES_COPY_IN) {
            m_start = Start::Copying;
        } else {
            noteError(result);
            PQclear(result);
            break;
        }
        PQclear(result);
    }
    if (m_start == Start::Copying && !m_failed)
        return true;
    fail();
    m_lostBeforeStart = m_start != Start::Copying && sessionLost();
    KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << m_sent << m_error;
    abandon();
    return false;
}

void CopyWriter::takeIds(const char* array)
{
    // "{1,2,3}"
    unsigned long long id = 0;
    bool inNumber = false;
    for (const char* c = array; *c != '\0'; ++c) {
        if (*c >= '0' && *c <= '9') {
            id = id * 10 + unsigned(*c - '0');
            inNumber = true;
        } else if (inNumber) {
            m_ids << id;
            id = 0;
            inNumber = false;
        }
    }
    if (m_ids.size() != m_newIds) {
        m_error = QStringLiteral("the ids drawn are not the ids asked for");
        fail();
    }
    std::sort(m_ids.begin(), m_ids.end());
}

bool CopyWriter::flush(bool force)
{
    if (m_failed || m_connection == nullptr)
        return false;
    if (m_start == Start::NotSent && !send())
        return false;
    if (m_start == Start::Sent && !readStart(true))
        return false;
    if ((force || !m_buffer.isEmpty()) &&
        PQputCopyData(m_connection, m_buffer.constData(), m_buffer.size()) != 1) {
        fail();
        return false;
    }
    m_buffer.resize(0);  // keeps the memory for the next rows
    return true;
}

void CopyWriter::appendEscaped(QByteArray& buffer, const QByteArray& text)
{
    // Runs without a special character go in whole: most texts have none.
    const char* run = text.constData();
    const char* const end = run + text.size();
    for (const char* c = run; c < end; ++c) {
        const char* const escape = escapeOf(*c);
        if (escape == nullptr)
            continue;
        buffer.append(run, int(c - run));
        buffer.append(escape, 2);
        run = c + 1;
    }
    buffer.append(run, int(end - run));
}

void CopyWriter::appendEscaped(QByteArray& buffer, const QString& text)
{
    // Most texts are ASCII: they go in as they are read, without a UTF-8 copy of their own.
    const int start = buffer.size();
    buffer.resize(start + 2 * text.size());
    char* out = buffer.data() + start;
    for (const QChar character : text) {
        const char16_t unit = character.unicode();
        if (unit >= 0x80) {
            buffer.resize(start);
            appendEscaped(buffer, text.toUtf8());
            return;
        }
        if (const char* const escape = escapeOf(char(unit))) {
            *out++ = escape[0];
            *out++ = escape[1];
        } else {
            *out++ = char(unit);
        }
    }
    buffer.resize(int(out - buffer.constData()));
}

int CopyWriter::finish()
{
    if (m_connection == nullptr) {
        m_error = QStringLiteral("no PostgreSQL connection");
        return Result::Error;
    }
    if (m_ended)
        return Result::Error;
    if (m_start == Start::Sent && readStart(true))
        giveIdsToWaiting();
    const bool sent = flush(true);
    if (m_start != Start::Copying || m_ended) {
        abandon();
        return Result::Error;
    }
    m_ended = true;
    const bool ended = PQputCopyEnd(m_connection, sent ? nullptr : "not all rows could be sent") == 1;
    bool ok = sent && ended;
    while (PGresult* result = PQgetResult(m_connection)) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            ok = false;
            noteError(result);
        }
        PQclear(result);
    }
    const bool conflict = m_state == QLatin1String(UniqueViolation);
    if (ok) {
        if (m_newIds > 0)
            m_ids.resize(m_rows);
        m_savepoint = false;
        return !m_guarded || run(ReleaseSavepoint) ? Result::Ok : Result::Error;
    }
    m_ids.clear();
    const bool undone = m_savepoint && run(UndoSavepoint);
    m_savepoint = false;
    // Under a savepoint a broken unique index is the caller's to settle, not a failure.
    if (undone && conflict) {
        KTL::KtlDebug("SQL").debug() << "SQL::CopyWriter: copy taken back:" << m_statement << m_error;
        return Result::Constraint;
    }
    KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << m_statement << PQerrorMessage(m_connection);
    return Result::Error;
}

}  // namespace RPX::SQL
