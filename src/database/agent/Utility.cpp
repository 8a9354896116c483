#include "Utility.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

namespace KTL::Utility {

QString Uuid2String::windows(const QUuid& uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toLower();
}

QString StringFilters::removeTrailingChar(const QString& text, QChar character)
{
    int end = text.size();
    while (end > 0 && text.at(end - 1) == character)
        --end;
    return text.left(end);
}

QString RandomString::generateSimple(int length)
{
    static const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    QString result;
    result.reserve(qMax(0, length));
    for (int i = 0; i < length; ++i)
        result += alphabet.at(int(QRandomGenerator::system()->bounded(quint32(alphabet.size()))));
    return result;
}

QString listOfPathInfo(const QString& path)
{
    QString text;
    QFileInfo info(path);
    // Describe the path and each existing ancestor, so a failed removal can be explained.
    while (true) {
        text += QStringLiteral("%1 exists:%2 dir:%3 readable:%4 writable:%5 owner:%6 permissions:%7\n")
                    .arg(info.absoluteFilePath())
                    .arg(info.exists())
                    .arg(info.isDir())
                    .arg(info.isReadable())
                    .arg(info.isWritable())
                    .arg(info.owner())
                    .arg(QString::number(int(info.permissions()), 16));
        const QString parent = info.absolutePath();
        if (info.exists() || parent == info.absoluteFilePath() || info.isRoot())
            break;
        info = QFileInfo(parent);
    }
    return text;
}

}  // namespace KTL::Utility
