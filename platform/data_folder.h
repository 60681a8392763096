#pragma once

#include <functional>
#include <string>

namespace tessvark {

// Reads one environment variable: null when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The process's own environment.
const char* ReadProcessEnvironment(const char* name);

// The per-user application-data folder that holds the program's data folder: "LOCALAPPDATA" when
// set and not empty, else "XDG_DATA_HOME" when it is an absolute path, else "HOME" followed by
// "/.local/share"; empty when none of them gives a folder.
std::string UserDataFolder(const EnvironmentLookup& lookup);

// The program's data folder, "Tessvark Unified Native" inside the user's application-data
// folder; empty when there is none.
std::string ProgramDataFolder(const EnvironmentLookup& lookup);

// Creates `folder` with its missing parents and checks that files can be made and read in it.
// Empty when it can be used; otherwise the system's reason ("Not a directory", "Permission
// denied", ...).
std::string PrepareDataFolder(const std::string& folder);

}  // namespace tessvark
