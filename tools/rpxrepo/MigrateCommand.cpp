#include "Commands.h"

#include <rpxRepository/rpxRepository.h>

#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

using namespace RPX::SQL;

namespace rpxrepo {

namespace {

const QString LocationAttribute = QStringLiteral("DB_location");

void writeLocation(QXmlStreamWriter& writer, const QString& location)
{
    writer.writeStartElement(QStringLiteral("database"));
    writer.writeAttribute(LocationAttribute, location);
    writer.writeEndElement();
}

// Rewrites the settings file with a new DB_location, token by token so that every other element,
// attribute and comment stays as it was; the old file is replaced only once the new one is complete.
bool switchSettings(const QString& location, QString& error)
{
    const QString path = SHARED::defines::Path::ETC::CONFIG::default_settings();
    QByteArray old;
    if (QFileInfo::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            error = file.errorString();
            return false;
        }
        old = file.readAll();
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    QXmlStreamWriter writer(&file);
    if (old.isEmpty()) {
        writer.setAutoFormatting(true);
        writer.writeStartDocument();
        writer.writeStartElement(QStringLiteral("settings"));
        writeLocation(writer, location);
        writer.writeEndDocument();
    } else {
        QXmlStreamReader reader(old);
        bool written = false;
        int depth = 0;
        while (!reader.atEnd()) {
            reader.readNext();
            if (reader.hasError())
                break;
            if (reader.isStartElement()) {
                ++depth;
                QXmlStreamAttributes attributes = reader.attributes();
                bool holds = false;
                for (QXmlStreamAttribute& attribute : attributes) {
                    if (!written && attribute.qualifiedName() == LocationAttribute) {
                        attribute = QXmlStreamAttribute(attribute.qualifiedName().toString(), location);
                        holds = true;
                    }
                }
                if (holds) {
                    writer.writeStartElement(reader.namespaceUri().toString(), reader.name().toString());
                    writer.writeAttributes(attributes);
                    written = true;
                    continue;
                }
            } else if (reader.isEndElement() && --depth == 0 && !written) {
                // No element holds the setting yet: it goes into the root element.
                writeLocation(writer, location);
                written = true;
            }
            writer.writeCurrentToken(reader);
        }
        if (reader.hasError()) {
            file.cancelWriting();
            error = QStringLiteral("%1 is not well-formed: %2").arg(path, reader.errorString());
            return false;
        }
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace

int runMigrate(Context& context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copy the repository's main database to another location, verified; generation files stay."));
    parser.addOption({QStringLiteral("to"), QStringLiteral("The new location: an SQLite file or PGSQL;host:…;…"),
                      QStringLiteral("LOCATION")});
    parser.addOption({QStringLiteral("switch"), QStringLiteral("Point the settings file at the copy once verified.")});
    int status = Success;
    if (!context.parse(parser, status))
        return status;
    QString target = parser.value(QStringLiteral("to"));
    if (target.isEmpty() || !parser.positionalArguments().isEmpty())
        return context.fail(QStringLiteral("usage: rpxrepo migrate --to LOCATION [--switch]"), Usage);
    if (!RepositoryMigration::isPostgreSQL(target))
        target = QFileInfo(target).absoluteFilePath();

    const QString source = Database::connectionString();
    RepositoryMigration migration(source, target);
    migration.setProgress([&context](const QString& table, qint64 copied, qint64 total) {
        context.progress(QStringLiteral("copying %1: %2 of %3 rows").arg(table).arg(copied).arg(total));
    });
    const RepositoryMigration::Report report = migration.run();
    context.endProgress();
    if (!report.ok())
        return context.fail(QStringLiteral("migrate: ") + report.message);

    const bool switching = parser.isSet(QStringLiteral("switch"));
    QString error;
    if (switching && !switchSettings(target, error))
        return context.fail(QStringLiteral("the copy is complete, but the settings could not be rewritten (%1); "
                                           "set DB_location=\"%2\" by hand")
                                .arg(error, target));

    QJsonObject rows;
    QStringList lines;
    qint64 total = 0;
    for (const auto& table : report.tables) {
        rows.insert(table.table, table.rows);
        lines << QStringLiteral("  %1 %2").arg(table.table, -28).arg(table.rows);
        total += table.rows;
    }
    const QJsonObject object{{QStringLiteral("rows"), rows},
                             {QStringLiteral("copied"), total},
                             {QStringLiteral("DB_location"), target},
                             {QStringLiteral("switched"), switching}};
    const QString next = switching ? QStringLiteral("the settings now point at the copy")
                                   : QStringLiteral("set it in the settings file, or run again with --switch");
    context.result(object, QStringLiteral("copied and verified %1 rows:\n%2\nDB_location=\"%3\"\n%4")
                               .arg(total)
                               .arg(lines.join(QLatin1Char('\n')), target, next));
    return Success;
}

}  // namespace rpxrepo
