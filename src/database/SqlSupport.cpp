#include "SqlSupport.h"

#include "QueryInternals.h"
#include "Transaction.h"
#include "Utitlity.h"

#include <QSqlField>

namespace RPX::SQL {

QString dialect(DatabaseType type, const QString& sqlite, const QString& postgres)
{
    switch (type) {
    case DatabaseType::SQLite:
        return sqlite;
    case DatabaseType::PostgreSQL:
        return postgres;
    }
    return QString();
}

QString bothDialects(DatabaseType type, const QString& statement)
{
    return dialect(type, statement, statement);
}

namespace DateCode {

const QString Format = QStringLiteral("yyyyMMddhhmmss");
const QString NotSet = QStringLiteral("99999999999999");

namespace {

// The 14-digit code of a valid date; -1 for a year outside 0-9999, which has no such code.
qint64 codeOf(const QDateTime& utc)
{
    int year = 0, month = 0, day = 0;
    utc.date().getDate(&year, &month, &day);
    if (year < 0 || year > 9999)
        return -1;
    const QTime time = utc.time();
    return ((((qint64(year) * 100 + month) * 100 + day) * 100 + time.hour()) * 100 + time.minute()) * 100 +
           time.second();
}

// Read as UTC directly: a detour through local time stats the zone file on every call and loses
// the codes that fall into a daylight-saving gap.
QDateTime utcOf(int year, int month, int day, int hour, int minute, int second)
{
    const QDate date(year, month, day);
    const QTime time(hour, minute, second);
    return date.isValid() && time.isValid() ? QDateTime(date, time, Qt::UTC) : QDateTime();
}

}  // namespace

QString text(const QDateTime& value)
{
    if (!value.isValid())
        return QString();
    const QDateTime utc = value.toUTC();
    const qint64 code = codeOf(utc);
    // By hand: QDateTime::toString parses its format on every call.
    return code < 0 ? utc.toString(Format) : QString::number(code).rightJustified(Format.size(), QLatin1Char('0'));
}

qint64 number(const QDateTime& value)
{
    if (!value.isValid())
        return 0;
    const QDateTime utc = value.toUTC();
    const qint64 code = codeOf(utc);
    return code < 0 ? utc.toString(Format).toLongLong() : code;
}

QString textOrNotSet(const QDateTime& value)
{
    return value.isValid() ? text(value) : NotSet;
}

QDateTime parse(const QVariant& stored)
{
    if (stored.isNull())
        return QDateTime();
    // A number column read back by SQLite: taken apart without a detour through text.
    if (stored.userType() == QMetaType::LongLong) {
        const qint64 code = stored.toLongLong();
        if (code < 10000000000000 || code >= 99999999999999)
            return QDateTime();
        return utcOf(int(code / 10000000000), int(code / 100000000 % 100), int(code / 1000000 % 100),
                     int(code / 10000 % 100), int(code / 100 % 100), int(code % 100));
    }
    QString digits = stored.toString();
    // A decimal text from a numeric column ("20240131235959.0") keeps its integer part.
    const int point = digits.indexOf(QLatin1Char('.'));
    if (point >= 0)
        digits.truncate(point);
    if (digits.size() != Format.size() || digits == NotSet)
        return QDateTime();
    int parts[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < digits.size(); ++i) {
        const int digit = digits.at(i).digitValue();
        if (digit < 0 || digit > 9)
            return QDateTime();
        int& part = parts[i < 4 ? 0 : (i - 4) / 2 + 1];
        part = part * 10 + digit;
    }
    return utcOf(parts[0], parts[1], parts[2], parts[3], parts[4], parts[5]);
}

}  // namespace DateCode

QString utf8UpToZero(const QByteArray& bytes)
{
    if (bytes.isNull())
        return QString();
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

bool isStorableText(const QString& text)
{
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isNull() || c.unicode() == 0xFFFE || c.unicode() == 0xFFFF)
            return false;
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            return false;
    }
    return true;
}

QStringList namedPlaceholders(const QStringList& columns)
{
    QStringList names;
    for (const QString& column : columns)
        names << QLatin1Char(':') + column;
    return names;
}

QVariant u64Value(quint64 value)
{
    // QSQLITE binds an unsigned 64-bit value as text (converted back by SQLite); one that fits is bound signed.
    return qint64(value) >= 0 ? QVariant(qlonglong(value)) : QVariant(qulonglong(value));
}

QVariant textValue(const QString& value)
{
    return value.isNull() ? QtCompat::null<QString>() : QVariant(value);
}

quint64 toU64(const QVariant& value)
{
    bool ok = false;
    const quint64 number = value.toULongLong(&ok);
    if (ok)
        return number;
    const double real = value.toString().toDouble(&ok);
    return ok && real > 0 ? quint64(real) : 0;
}

qint64 toI64(const QVariant& value)
{
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    if (ok)
        return number;
    const double real = value.toString().toDouble(&ok);
    return ok ? qint64(real) : 0;
}

QVariant dateTimeValue(DatabaseType type, const QDateTime& value)
{
    if (!value.isValid())
        return QtCompat::null<QDateTime>();
    if (type == DatabaseType::PostgreSQL)
        return value.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    return value;
}

Statement::Statement(const DatabaseConnection& connection, const QString& sql, int options)
    : m_cache(StatementCache::enabled() ? connection.statementCache() : nullptr),
      m_connection(connection),
      m_session(connection.session()),
      m_sql(sql)
{
    const bool postgres = connection.dbType() == DatabaseType::PostgreSQL;
    m_returnsId = postgres && (options & ReturnsId);
    // Inside a transaction PostgreSQL would abort everything on a lost race: the losing insert
    // then adds no row instead of failing, which the caller sees as the same failure (no key).
    if (postgres && (options & MayConflict) && Transaction::isOpenOn(connection.database().driver())) {
        m_sql += QStringLiteral(" ON CONFLICT DO NOTHING");
        m_conflictIsEmpty = true;
    }
    if (m_returnsId)
        m_sql += QStringLiteral(" RETURNING id");

    if (m_cache != nullptr)
        m_query = m_cache->take(m_sql);
    if (m_query) {
        m_prepared = true;
        return;
    }
    m_query = std::make_unique<QSqlQuery>(connection.query());
    // Forward-only, Qt's PostgreSQL driver returns at the first result, before the server has
    // committed a write or failed to: a session ended in between would go unnoticed. Writes there
    // wait for the whole outcome.
    const QStringView text = QStringView(m_sql).trimmed();
    m_query->setForwardOnly(!postgres || text.startsWith(QLatin1String("select"), Qt::CaseInsensitive));
    // A statement that fails to prepare is reported by ExecQuery when it is run.
    m_prepared = (options & Positional) && !postgres ? QueryInternals::prepareAsWritten(*m_query, m_sql)
                                                     : m_query->prepare(m_sql);
}

Statement::~Statement()
{
    // A query prepared in a session that has since been replaced is not kept.
    if (m_cache != nullptr && m_prepared && m_connection.session() == m_session)
        m_cache->give(m_sql, std::move(m_query));
}

Statement& Statement::bind(const QString& placeholder, const QVariant& value)
{
    if (!m_prepared && m_query->lastQuery().isEmpty())
        m_unpreparedValues.append({placeholder, value});
    m_query->bindValue(placeholder, value);
    return *this;
}

Statement& Statement::bindU64(const QString& placeholder, quint64 value)
{
    return bind(placeholder, u64Value(value));
}

Statement& Statement::bindText(const QString& placeholder, const QString& value)
{
    return bind(placeholder, textValue(value));
}

Statement& Statement::bindAt(int position, const QVariant& value)
{
    // In place once the position exists: QSqlQuery::bindValue names the position and looks the name
    // up on every call, which a statement of many rows feels.
    QVector<QVariant>& values = QueryInternals::boundValues(*m_query);
    if (position < values.size())
        values[position] = value;
    else
        m_query->bindValue(position, value);
    return *this;
}

int Statement::exec()
{
    const int result = ExecQuery(*m_query, m_sql, m_unpreparedValues).exec();
    m_hasReturnedId = false;
    if (result == Result::Ok && m_returnsId && m_query->next()) {
        m_returnedId = toU64(m_query->value(0));
        m_hasReturnedId = true;
    }
    // A lost race that added nothing is the insert's failure, as on the unique key outside.
    if (result == Result::Ok && m_conflictIsEmpty &&
        (m_returnsId ? !m_hasReturnedId : m_query->numRowsAffected() == 0))
        return Result::Constraint;
    return result;
}

int Statement::execInsert(quint64& id)
{
    const int code = exec();
    if (code != Result::Ok)
        return code;
    if (!hasLastInsertId())
        return Result::Error;
    id = lastInsertId();
    return Result::Ok;
}

bool Statement::next()
{
    return m_query->next();
}

QSqlQuery& Statement::query()
{
    return *m_query;
}

quint64 Statement::lastInsertId() const
{
    return m_returnsId ? (m_hasReturnedId ? m_returnedId : 0) : toU64(m_query->lastInsertId());
}

bool Statement::hasLastInsertId() const
{
    return m_returnsId ? m_hasReturnedId : m_query->lastInsertId().isValid();
}

int Statement::numRowsAffected() const
{
    return m_query->numRowsAffected();
}

Row::Row(const QSqlQuery& query) : m_query(query), m_record(QueryInternals::columns(query)) {}

int Row::indexOf(const QString& column) const
{
    const int count = m_record.count();
    for (int step = 0; step < count; ++step) {
        const int index = (m_next + step) % count;
        if (m_record.fieldName(index) == column) {
            m_next = index + 1;
            return index;
        }
    }
    return m_record.indexOf(column);
}

QVariant Row::value(const QString& column) const
{
    const int index = indexOf(column);
    return index < 0 ? QVariant() : m_query.value(index);
}

bool Row::isNull(const QString& column) const
{
    return value(column).isNull();
}

quint64 Row::u64(const QString& column) const
{
    return toU64(value(column));
}

qint64 Row::i64(const QString& column) const
{
    return toI64(value(column));
}

int Row::i32(const QString& column) const
{
    return int(toI64(value(column)));
}

bool Row::flag(const QString& column) const
{
    return toI64(value(column)) != 0;
}

QString Row::text(const QString& column) const
{
    return value(column).toString();
}

QByteArray Row::utf8(const QString& column) const
{
    const QVariant stored = value(column);
    return stored.isNull() ? QByteArray() : stored.toString().toUtf8();
}

QByteArray Row::bytes(const QString& column) const
{
    return value(column).toByteArray();
}

QDateTime Row::date14(const QString& column) const
{
    return DateCode::parse(value(column));
}

QDateTime Row::dateTime(const QString& column) const
{
    const QVariant stored = value(column);
    if (stored.isNull())
        return QDateTime();
    QDateTime result = stored.toDateTime();
    if (!result.isValid())
        result = QDateTime::fromString(stored.toString(), Qt::ISODate);
    return Utitlity::modifiedDateTime(result);
}

QUuid Row::uuid(const QString& column) const
{
    return QUuid::fromString(value(column).toString());
}

}  // namespace RPX::SQL
