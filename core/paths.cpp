#include "core/paths.h"

#include <string>

namespace tessvark {

bool IsInOldDataFolder(std::string_view path) {
  std::string normalized(path);
  for (char& c : normalized) {
    if (c == '\\') c = '/';
  }
  static constexpr std::string_view kOldFolder = "Application Support/Tessvark";
  static constexpr std::string_view kCurrentSuffix = " Unified Native";
  std::size_t at = normalized.find(kOldFolder);
  while (at != std::string::npos) {
    const std::size_t after = at + kOldFolder.size();
    // A shorter remainder compares unequal, so a path ending in the old folder counts.
    if (normalized.compare(after, kCurrentSuffix.size(), kCurrentSuffix) != 0) return true;
    at = normalized.find(kOldFolder, after);
  }
  return false;
}

}  // namespace tessvark
