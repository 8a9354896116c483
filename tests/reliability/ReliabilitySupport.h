#pragma once

// What the reliability tests share: the second process, the stress budget, log parsing.

#include <rpxRepository/database/DatabaseConnection.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace reliability {

// The helper program built beside the tests (tests/reliability/child).
class Child
{
public:
    ~Child() { kill(); }

    bool start(const QStringList& arguments)
    {
        m_process.setProgram(QStringLiteral(RPX_RELIABILITY_CHILD));
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
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

    void send(const QByteArray& line)
    {
        m_process.write(line + '\n');
        m_process.waitForBytesWritten(10000);
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

inline QVariant scalar(RPX::SQL::DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

inline bool run(RPX::SQL::DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql);
}

inline QStringList repeated(int count, const QString& text)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << text;
    return list;
}

// The native error codes of the statement failures that ExecQuery logged.
inline QStringList loggedErrorCodes(const QStringList& lines)
{
    static const QRegularExpression code(QStringLiteral("error code:\\s*\"?([0-9A-Za-z]*)"));
    QStringList codes;
    for (const QString& line : lines) {
        if (!line.contains(QLatin1String("Error on exec sql query:")))
            continue;
        codes << code.match(line).captured(1);
    }
    return codes;
}

}  // namespace reliability
