#pragma once

#include <string>

#include "platform/data_folder.h"

namespace tessvark {

// True when "DISPLAY" or "WAYLAND_DISPLAY" is set and not empty: a desktop that can show a
// browser.
bool HasGraphicalDisplay(const EnvironmentLookup& lookup);

// Opens `url` in the user's default browser: with a display, "xdg-open" (found on PATH) is
// started with the URL as its only argument, without a shell and without the program's open
// descriptors, and reaped in the background; without a display, or when xdg-open cannot be
// started, the URL is written to standard output as one line. The browser's answer is not
// examined.
void OpenUrlInBrowser(const std::string& url);

}  // namespace tessvark
