#pragma once

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace rpxrepo {

// Exit statuses of the tool.
enum Exit : int { Success = 0, Failure = 1, Usage = 2 };

// What every command gets: its own arguments and the global switches.
class Context
{
public:
    QStringList arguments;  // after the command word
    bool json = false;
    bool quiet = false;
    bool verbose = false;

    // One line on stdout (text mode), nothing with --json or --quiet.
    void say(const QString& line) const;
    // A result: the object in JSON mode, else the text.
    void result(const QJsonObject& object, const QString& text) const;
    // One clear line on stderr; returns the status to exit with.
    int fail(const QString& message, int status = Failure) const;
    // Progress on stderr, only when stderr is a terminal.
    void progress(const QString& line) const;
    void endProgress() const;

    // Parses this command's options; on error prints one line and returns false.
    bool parse(QCommandLineParser& parser, int& status) const;
    bool stderrIsTerminal() const;
};

// Opens the repository; prints one line and returns false when it cannot be opened.
bool openRepository(const Context& context);

}  // namespace rpxrepo
