#include "CopyWriter.h"

#include "ExecQuery.h"
#include "NativeHandle.h"
#include "agent/KtlDebug.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>

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

// The sequence looked up once, not once per id; the ids come back as one array value.
const char DrawStatement[] = "select array_agg(nextval(s)) from cast(pg_get_serial_sequence($1, 'id') as regclass) "
                             "as s, generate_series(1, cast($2 as integer))";

void logDrawFailure(pg_conn* connection)
{
    KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << DrawStatement
                                   << (connection != nullptr ? PQerrorMessage(connection) : "no PostgreSQL connection");
}

}  // namespace

CopyWriter::CopyWriter(const DatabaseConnection& connection, const QString& into, Guard guard)
    : m_connection(NativeHandle::postgres(connection.database().driver())),
      m_statement(QStringLiteral("COPY ") + into + QStringLiteral(" FROM STDIN")),
      m_guarded(guard == Guard::Savepoint)
{
    m_buffer.reserve(FlushBytes + FlushBytes / 4);
}

bool CopyWriter::isAvailable(const DatabaseConnection& connection)
{
    return NativeHandle::postgres(connection.database().driver()) != nullptr;
}

void CopyWriter::append(const QVariant& value)
{
    if (value.isNull()) {
        m_buffer += "\\N";
        return;
    }
    switch (value.userType()) {
    case QMetaType::QByteArray:
        // bytea's hex input form, its backslash escaped for the text format.
        m_buffer += "\\\\x";
        m_buffer += value.toByteArray().toHex();
        return;
    case QMetaType::Int:
        appendNumber(m_buffer, value.toInt());
        return;
    case QMetaType::UInt:
        appendNumber(m_buffer, value.toUInt());
        return;
    case QMetaType::LongLong:
        appendNumber(m_buffer, value.toLongLong());
        return;
    case QMetaType::ULongLong:
        appendNumber(m_buffer, value.toULongLong());
        return;
    default:
        appendEscaped(m_buffer, value.toString());
    }
}

CopyWriter::~CopyWriter()
{
    if (!m_started || m_ended)
        return;
    PQputCopyEnd(m_connection, "copy abandoned");
    while (PGresult* result = PQgetResult(m_connection))
        PQclear(result);
    if (m_guarded)
        run(UndoSavepoint);
}

bool CopyWriter::addRow(const QVector<QVariant>& values)
{
    if (values.isEmpty())
        return endRow();
    append(values.first());
    appendFields(values, 1);
    return endRow();
}

bool CopyWriter::addRow(const QVariant& first, const QVector<QVariant>& values)
{
    append(first);
    appendFields(values, 0);
    return endRow();
}

void CopyWriter::appendFields(const QVector<QVariant>& values, int from)
{
    for (int i = from; i < values.size(); ++i) {
        m_buffer += '\t';
        append(values.at(i));
    }
}

bool CopyWriter::addEncodedRow(const QByteArray& fields)
{
    m_buffer += fields;
    return endRow();
}

bool CopyWriter::endRow()
{
    m_buffer += '\n';
    if (m_buffer.size() >= FlushBytes)
        flush(false);
    if (m_failed)
        m_buffer.clear();
    return !m_failed;
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

bool CopyWriter::flush(bool force)
{
    if (m_failed || m_connection == nullptr)
        return false;
    if (!m_started) {
        if (m_guarded && !run(SetSavepoint)) {
            fail();
            return false;
        }
        ExecQuery::observe(m_statement);
        PGresult* result = PQexec(m_connection, m_statement.toUtf8().constData());
        const bool copying = PQresultStatus(result) == PGRES_COPY_IN;
        PQclear(result);
        if (!copying) {
            KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << m_statement
                                           << PQerrorMessage(m_connection);
            fail();
            if (m_guarded)
                run(UndoSavepoint);
            return false;
        }
        m_started = true;
    }
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
    for (const QChar character : text) {
        const char16_t unit = character.unicode();
        if (unit >= 0x80) {
            buffer.resize(start);
            appendEscaped(buffer, text.toUtf8());
            return;
        }
        if (const char* const escape = escapeOf(char(unit)))
            buffer.append(escape, 2);
        else
            buffer.append(char(unit));
    }
}

int CopyWriter::finish()
{
    if (m_connection == nullptr) {
        m_error = QStringLiteral("no PostgreSQL connection");
        return Result::Error;
    }
    const bool sent = flush(true);
    if (!m_started)
        return Result::Error;
    m_ended = true;
    const bool ended = PQputCopyEnd(m_connection, sent ? nullptr : "not all rows could be sent") == 1;
    bool ok = sent && ended;
    bool conflict = false;
    while (PGresult* result = PQgetResult(m_connection)) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            ok = false;
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            conflict = state != nullptr && qstrcmp(state, UniqueViolation) == 0;
            if (m_error.isEmpty())
                m_error = QString::fromUtf8(PQresultErrorMessage(result)).section(QLatin1Char('\n'), 0, 0);
        }
        PQclear(result);
    }
    if (ok)
        return !m_guarded || run(ReleaseSavepoint) ? Result::Ok : Result::Error;
    const bool undone = m_guarded && run(UndoSavepoint);
    // Under a savepoint a broken unique index is the caller's to settle, not a failure.
    if (undone && conflict) {
        KTL::KtlDebug("SQL").debug() << "SQL::CopyWriter: copy taken back:" << m_statement << m_error;
        return Result::Constraint;
    }
    KTL::KtlDebug("SQL").warning() << "Error on exec sql query:" << m_statement << PQerrorMessage(m_connection);
    return Result::Error;
}


IdDraw::IdDraw(const DatabaseConnection& connection, const QString& table, int count)
    : m_connection(NativeHandle::postgres(connection.database().driver())), m_count(count)
{
    if (m_connection == nullptr || count <= 0)
        return;
    ExecQuery::observe(QString::fromLatin1(DrawStatement));
    // What the driver left unread of an earlier statement (the end of a forward-only result) is
    // discarded first, as PQexec does.
    while (PGresult* result = PQgetResult(m_connection))
        PQclear(result);
    const QByteArray name = table.toUtf8();
    const QByteArray number = QByteArray::number(count);
    const char* const values[] = {name.constData(), number.constData()};
    m_pending = PQsendQueryParams(m_connection, DrawStatement, 2, nullptr, values, nullptr, nullptr, 0) == 1;
    if (!m_pending)
        logDrawFailure(m_connection);
}

IdDraw::~IdDraw()
{
    drain();
}

void IdDraw::drain()
{
    if (!m_pending)
        return;
    m_pending = false;
    while (PGresult* result = PQgetResult(m_connection))
        PQclear(result);
}

int IdDraw::take(QVector<unsigned long long>& ids)
{
    if (m_count <= 0)
        return Result::Ok;
    if (!m_pending) {
        if (m_connection == nullptr)
            logDrawFailure(m_connection);
        return Result::Error;
    }
    const int first = ids.size();
    PGresult* result = PQgetResult(m_connection);
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1) {
        ids.reserve(first + m_count);
        // "{1,2,3}"
        unsigned long long id = 0;
        bool inNumber = false;
        for (const char* c = PQgetvalue(result, 0, 0); *c != '\0'; ++c) {
            if (*c >= '0' && *c <= '9') {
                id = id * 10 + unsigned(*c - '0');
                inNumber = true;
            } else if (inNumber) {
                ids << id;
                id = 0;
                inNumber = false;
            }
        }
    }
    PQclear(result);
    drain();
    if (ids.size() - first != m_count) {
        logDrawFailure(m_connection);
        ids.resize(first);
        return Result::Error;
    }
    std::sort(ids.begin() + first, ids.end());
    return Result::Ok;
}

}  // namespace RPX::SQL
