#pragma once

#include "Cli.h"

namespace rpxrepo {

struct Command
{
    const char* name;
    int (*run)(Context& context);
};

const Command* findCommand(const QString& name);

// One function per command, each in a source of its own.
int runInfo(Context& context);
int runBackup(Context& context);
int runLs(Context& context);
int runVersions(Context& context);
int runRestore(Context& context);
int runPurge(Context& context);
int runSessions(Context& context);
int runHistory(Context& context);
int runGeneration(Context& context);
int runImages(Context& context);
int runShrink(Context& context);
int runMigrate(Context& context);

}  // namespace rpxrepo
