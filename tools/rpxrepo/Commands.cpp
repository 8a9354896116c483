#include "Commands.h"

namespace rpxrepo {

const Command* findCommand(const QString& name)
{
    static const Command commands[] = {
        {"info", &runInfo},         {"backup", &runBackup},     {"ls", &runLs},
        {"versions", &runVersions}, {"restore", &runRestore},   {"purge", &runPurge},
        {"sessions", &runSessions}, {"history", &runHistory},   {"generation", &runGeneration},
        {"images", &runImages},     {"shrink", &runShrink},     {"migrate", &runMigrate},
    };
    for (const Command& command : commands) {
        if (name == QLatin1String(command.name))
            return &command;
    }
    return nullptr;
}

}  // namespace rpxrepo
