#include "platform/data_folder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tessvark {
namespace {

std::string NonEmptyVariable(const EnvironmentLookup& lookup, const char* name) {
  const char* value = lookup(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

const char* ReadProcessEnvironment(const char* name) { return std::getenv(name); }

std::string UserDataFolder(const EnvironmentLookup& lookup) {
  std::string folder = NonEmptyVariable(lookup, "LOCALAPPDATA");
  if (!folder.empty()) return folder;
  // The XDG rules ignore a relative folder: it would depend on the current folder.
  folder = NonEmptyVariable(lookup, "XDG_DATA_HOME");
  if (!folder.empty() && folder.front() == '/') return folder;
  const std::string home = NonEmptyVariable(lookup, "HOME");
  if (!home.empty()) return home + "/.local/share";
  return std::string();
}

std::string ProgramDataFolder(const EnvironmentLookup& lookup) {
  const std::string base = UserDataFolder(lookup);
  if (base.empty()) return std::string();
  return base + "/Tessvark Unified Native";
}

std::string PrepareDataFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return error.message();
  if (!std::filesystem::is_directory(folder, error)) {
    return error ? error.message() : std::strerror(ENOTDIR);
  }
  if (::access(folder.c_str(), R_OK | W_OK | X_OK) != 0) return std::strerror(errno);
  return std::string();
}

}  // namespace tessvark
