#include "app/startup_options.h"

#include <cstdint>
#include <limits>

namespace tessvark {

HostStartup MakeHostStartup(const std::string& program_folder, const EnvironmentLookup& lookup) {
  HostStartup startup;
  NativeSessionOptions& options = startup.options;
  options.host = "127.0.0.1";
  options.port = 28790;
  options.port_attempts = 10;
  if (program_folder.empty()) {
    options.ui_root = "resources/ui";
  } else {
    options.ui_root = program_folder + "/resources/ui";
    options.sports_catalog_path = program_folder + "/resources/sports-catalog.json";
  }
  options.data_dir = ProgramDataFolder(lookup);
  startup.open_browser = lookup("TESSVARK_NO_BROWSER") == nullptr;
  return startup;
}

bool ParseLeadingInteger(const std::string& text, std::int32_t& value) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  const std::size_t digits = at;
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > kLimit) return false;
    ++at;
  }
  if (at == digits) return false;
  const std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(signed_value);
  return true;
}

bool ApplyCommandLine(const std::vector<std::string>& arguments, HostStartup& startup) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--no-browser") {
      startup.open_browser = false;
      continue;
    }
    const bool takes_value =
        argument == "--ui" || argument == "--preferred" || argument == "--config";
    if (!takes_value || i + 1 >= arguments.size()) return false;
    const std::string& value = arguments[++i];
    if (argument == "--ui") {
      startup.options.ui_root = value;
    } else if (argument == "--config") {
      startup.options.data_dir = value;
    } else if (!ParseLeadingInteger(value, startup.options.port)) {
      return false;
    }
  }
  return true;
}

}  // namespace tessvark
