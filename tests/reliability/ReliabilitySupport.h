#pragma once

// What the reliability tests share: the second process, the stress budget, catalog checks, log parsing.

#include <rpxRepository/database/DatabaseConnection.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace reliability {

// The helper program built beside the tests (tests/reliability/child).
class Child
{
public:
    ~Child() { kill(); }

    bool start(const QStringList& arguments)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(RPX_RELIABILITY_CHILD), arguments);
        return m_process.waitForStarted(30000);
    }

    // The next complete line of its output; empty when none came within the time or it ended.
    QString readLine(int timeoutMs = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine()) {
            if (m_process.state() != QProcess::Running || timer.elapsed() > timeoutMs)
                return QString();
            m_process.waitForReadyRead(100);
        }
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }

    // SIGKILL, then every complete line it wrote before it died.
    QStringList kill()
    {
        QStringList lines;
        if (m_process.state() == QProcess::NotRunning)
            return lines;
        m_process.kill();
        m_process.waitForFinished(30000);
        while (m_process.canReadLine())
            lines << QString::fromUtf8(m_process.readLine()).trimmed();
        return lines;
    }

    bool killed() const { return m_process.exitStatus() == QProcess::CrashExit; }

private:
    QProcess m_process;
};

// Seconds a stress test runs: RPX_STRESS_SECONDS, 5 by default (30 for the full run).
inline int stressSeconds()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("RPX_STRESS_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : 5;
}

// The first column of every row; a failed query is reported as a row of its own.
inline QStringList column(RPX::SQL::DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    if (!query.exec(sql))
        return {QStringLiteral("query failed: ") + sql};
    QStringList rows;
    while (query.next())
        rows << query.value(0).toString();
    return rows;
}

inline QVariant scalar(RPX::SQL::DatabaseConnection& connection, const QString& sql)
{
    return column(connection, sql).value(0);
}

// Versions without their file, files without their folder, folders without their parent.
inline QStringList orphans(RPX::SQL::DatabaseConnection& connection)
{
    return column(connection, QStringLiteral("select 'version ' || v.id from cloud_file_versions v left join "
                                             "cloud_files f on f.id = v.file_id where f.id is null")) +
           column(connection, QStringLiteral("select 'file ' || f.id from cloud_files f left join cloud_folders p "
                                             "on p.id = f.parent_id where p.id is null")) +
           column(connection, QStringLiteral("select 'folder ' || c.id from cloud_folders c left join cloud_folders "
                                             "p on p.id = c.parent_id where c.parent_id <> 0 and p.id is null"));
}

inline QStringList repeated(int count, const QString& text)
{
    return QVector<QString>(count, text).toList();
}

// The native error codes of the statement failures that ExecQuery logged.
inline QStringList loggedErrorCodes(const QStringList& lines)
{
    static const QRegularExpression code(QStringLiteral("error code:\\s*\"?([0-9A-Za-z]*)"));
    QStringList codes;
    for (const QString& line : lines.filter(QStringLiteral("Error on exec sql query:")))
        codes << code.match(line).captured(1);
    return codes;
}

}  // namespace reliability
