#include "LogCapture.h"

#include <cstring>

namespace rpxtest {

namespace {
LogCapture* g_active = nullptr;
}

LogCapture::LogCapture()
{
    g_active = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    g_active = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    LogCapture* capture = g_active;
    if (capture == nullptr || context.category == nullptr || std::strcmp(context.category, "SQL") != 0)
        return;
    QMutexLocker lock(&capture->m_mutex);
    capture->m_lines.append({type, message});
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QStringList LogCapture::texts() const
{
    QStringList result;
    for (const Line& line : lines())
        result << line.text;
    return result;
}

int LogCapture::count(const QString& fragment) const
{
    int n = 0;
    for (const Line& line : lines())
        n += line.text.contains(fragment) ? 1 : 0;
    return n;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

}  // namespace rpxtest
