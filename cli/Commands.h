// The zconv subcommands.
#pragma once

#include <string>

namespace cli {

// Loads every media library from libDir (else the system search) and sends
// library and engine log lines to stderr. False, with the loader's message
// on stderr, when a library cannot be loaded.
bool LoadLibraries(const std::string& libDir);

int CommandLibs(int argc, char** argv);
int CommandTranscode(int argc, char** argv);
int CommandProfiles(int argc, char** argv);
int CommandConvert(int argc, char** argv);
int CommandProbe(int argc, char** argv);

} // namespace cli
