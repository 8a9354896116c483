#include "KtlDebug.h"

#include <QHash>
#include <QMessageLogger>
#include <QMutex>
#include <cstring>

namespace KTL {

const QLoggingCategory& sqlCategory()
{
    static const QLoggingCategory category("SQL");
    return category;
}

namespace {

const QLoggingCategory& categoryFor(const char* name)
{
    if (name == nullptr || std::strcmp(name, "SQL") == 0)
        return sqlCategory();
    // Categories live for the process, as Qt's own do.
    static QMutex mutex;
    static QHash<QByteArray, QLoggingCategory*> others;
    QMutexLocker lock(&mutex);
    const QByteArray key(name);
    auto it = others.find(key);
    if (it == others.end())
        it = others.insert(key, new QLoggingCategory(qstrdup(key.constData())));
    return **it;
}

}  // namespace

KtlDebug::KtlDebug(const char* category) : m_category(categoryFor(category)) {}

// The category overloads honour Qt's filter rules: a disabled level yields a silent stream.
QDebug KtlDebug::debug() const { return QMessageLogger().debug(m_category).noquote(); }
QDebug KtlDebug::info() const { return QMessageLogger().info(m_category).noquote(); }
QDebug KtlDebug::infoH() const { return info() << "[!]"; }
QDebug KtlDebug::warning() const { return QMessageLogger().warning(m_category).noquote(); }
QDebug KtlDebug::error() const { return QMessageLogger().critical(m_category).noquote(); }

}  // namespace KTL
