#pragma once

#include "Printers.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace rpxtest {

// Collects the "SQL" log lines written while it lives.
class LogCapture
{
public:
    struct Line
    {
        QtMsgType type;
        QString text;
    };

    LogCapture();
    ~LogCapture();

    QList<Line> lines() const;
    QStringList texts() const;
    // Lines that contain `fragment`.
    int count(const QString& fragment) const;
    bool contains(const QString& fragment) const { return count(fragment) > 0; }
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    mutable QMutex m_mutex;
    QList<Line> m_lines;
    QtMessageHandler m_previous;
};

}  // namespace rpxtest
