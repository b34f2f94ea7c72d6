// The commands of flintor-cli, each taking the read command line and
// returning the exit status (commands.h).
#pragma once

#include "cli/arguments.h"

namespace cli {

int List(const Args& args);
int Show(const Args& args);
int Set(const Args& args);
int Builds(const Args& args);
int Install(const Args& args);
int Remove(const Args& args);
int Backup(const Args& args);
int Backups(const Args& args);
int Restore(const Args& args);
int Check(const Args& args);

}  // namespace cli
