#pragma once

#include <QDebug>
#include <QLoggingCategory>

namespace KTL {

// The "SQL" logging category; Qt's filter rules (QT_LOGGING_RULES, setFilterRules) apply to it.
const QLoggingCategory& sqlCategory();

// Logging front for one category. Each level returns a stream whose line ends when the
// stream is destroyed; items are separated by single spaces and written without quotes.
class KtlDebug
{
public:
    explicit KtlDebug(const char* category);

    QDebug debug() const;
    QDebug info() const;
    QDebug infoH() const;  // information that stands out: an info line marked "[!]"
    QDebug warning() const;
    QDebug error() const;

private:
    const QLoggingCategory& m_category;
};

}  // namespace KTL
