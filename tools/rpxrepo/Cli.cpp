#include "Cli.h"

#include <rpxRepository/rpxRepository.h>

#include <QJsonDocument>
#include <cstdio>
#include <unistd.h>

namespace rpxrepo {

void Context::say(const QString& line) const
{
    if (json || quiet)
        return;
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
}

void Context::result(const QJsonObject& object, const QString& text) const
{
    if (json) {
        std::fprintf(stdout, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Indented).constData());
    } else if (!quiet && !text.isEmpty()) {
        std::fprintf(stdout, "%s\n", qUtf8Printable(text));
    }
    std::fflush(stdout);
}

int Context::fail(const QString& message, int status) const
{
    endProgress();
    std::fprintf(stderr, "rpxrepo: %s\n", qUtf8Printable(message));
    return status;
}

bool Context::stderrIsTerminal() const
{
    return isatty(fileno(stderr)) != 0;
}

void Context::progress(const QString& line) const
{
    if (quiet || !stderrIsTerminal())
        return;
    std::fprintf(stderr, "\r\033[K%s", qUtf8Printable(line));
    std::fflush(stderr);
}

void Context::endProgress() const
{
    if (quiet || !stderrIsTerminal())
        return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

bool Context::parse(QCommandLineParser& parser, int& status) const
{
    parser.addHelpOption();
    if (!parser.parse(QStringList{QStringLiteral("rpxrepo")} + arguments)) {
        status = fail(parser.errorText(), Usage);
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fprintf(stdout, "%s", qUtf8Printable(parser.helpText()));
        status = Success;
        return false;
    }
    return true;
}

bool openRepository(const Context& context)
{
    if (RPX::SQL::Database::init(false))
        return true;
    context.fail(QStringLiteral("cannot open the repository at %1 (run with --verbose for details)")
                     .arg(RPX::SQL::Database::connectionString().startsWith(QLatin1String("PGSQL"))
                              ? QStringLiteral("the configured PostgreSQL server")
                              : RPX::SQL::Database::connectionString()));
    return false;
}

}  // namespace rpxrepo
