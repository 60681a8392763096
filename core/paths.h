#pragma once

#include <string_view>

namespace tessvark {

// True when the path lies in an "Application Support/Tessvark" folder other than
// "Application Support/Tessvark Unified Native" (backslashes count as slashes).
bool IsInOldDataFolder(std::string_view path);

}  // namespace tessvark
