// rpxrepo: back up, browse, restore and purge through the repository catalog.

#include "Cli.h"
#include "Commands.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstring>

namespace {

bool g_verbose = false;

// The library's "SQL" lines reach stderr only with --verbose; anything else from Qt always does.
void messageHandler(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    const bool sql = context.category != nullptr && std::strcmp(context.category, "SQL") == 0;
    if (sql && !g_verbose)
        return;
    std::fprintf(stderr, "%s%s\n", sql ? "SQL: " : "", qUtf8Printable(message));
}

const char* const Usage = R"(usage: rpxrepo [--config-root DIR] [--json] [--quiet] [--verbose] COMMAND [ARGS]

commands:
  info                                   where the repository is and what it holds
  backup SOURCE_DIR --to DEST_DIR [--prefix NAME] [--plan UUID]
  ls DEST [PATH]                         folders and files of a destination
  versions DEST LOCAL_PATH               stored versions of a file
  restore DEST LOCAL_PATH_OR_FOLDER --at TIME --into DIR [--force]
  purge DEST [--keep N] [--older-than DAYS [--on modified|backup] [--keep-last]]
             [--deleted-days DAYS] [--path PREFIX]... [--apply]
  sessions [--plan UUID] [--limit N]     backup, restore and purge runs
  history [--plan UUID] [--failed] [--filter TEXT] [--limit N]
  generation ls GENERATION_DB [--at TIME] [--only-files] [--skip-deleted] PATH...
  images DEST                            disk images of a destination
  shrink                                 compact the repository
  migrate --to LOCATION [--switch]       copy the repository to an SQLite file or PGSQL;… location

DEST is a destination folder given to backup --to, or a destination id.
TIME is ISO 8601 (2024-01-31T23:59:07, UTC unless it carries an offset).
)";

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(messageHandler);

    rpxrepo::Context context;
    QString command;
    const QStringList all = app.arguments().mid(1);
    for (int i = 0; i < all.size(); ++i) {
        const QString& arg = all[i];
        if (arg == QLatin1String("--json")) {
            context.json = true;
        } else if (arg == QLatin1String("--quiet") || arg == QLatin1String("-q")) {
            context.quiet = true;
        } else if (arg == QLatin1String("--verbose") || arg == QLatin1String("-v")) {
            context.verbose = true;
        } else if (arg == QLatin1String("--config-root") || arg.startsWith(QLatin1String("--config-root="))) {
            QString dir = arg.section(QLatin1Char('='), 1);
            if (!arg.contains(QLatin1Char('='))) {
                if (i + 1 >= all.size())
                    return context.fail(QStringLiteral("--config-root needs a folder"), rpxrepo::Usage);
                dir = all[++i];
            }
            // A new configuration folder is made, as the agent's own would be.
            QDir().mkpath(dir);
            qputenv("RPX_CONFIG_ROOT", QFile::encodeName(QDir(dir).absolutePath() + QLatin1Char('/')));
        } else if (command.isEmpty() && !arg.startsWith(QLatin1Char('-'))) {
            command = arg;
        } else if (command.isEmpty() && (arg == QLatin1String("--help") || arg == QLatin1String("-h"))) {
            std::fputs(Usage, stdout);
            return rpxrepo::Success;
        } else {
            context.arguments << arg;
        }
    }
    g_verbose = context.verbose;

    if (command.isEmpty()) {
        std::fputs(Usage, stderr);
        return rpxrepo::Usage;
    }
    const rpxrepo::Command* found = rpxrepo::findCommand(command);
    if (found == nullptr)
        return context.fail(QStringLiteral("unknown command '%1' (see rpxrepo --help)").arg(command), rpxrepo::Usage);
    return found->run(context);
}
