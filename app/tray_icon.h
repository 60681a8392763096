#pragma once

#include <string>
#include <vector>

#include "platform/status_notifier_item.h"

namespace tessvark {

// The title of the program's tray icon and of its tool tip: "Tessvark ", the version, the
// prerelease word with a capital first letter, an em dash and the platform, so
// "Tessvark 0.8.2 Beta — Linux".
std::string WindowTitle();

// The program's icon, the picture of the interface's favicon (a yellow seven-segment 7 on dark
// blue with cut corners), at 32 and at 64 pixels.
std::vector<TrayPixmap> ProgramIconPixmaps();

// The program's tray icon on the user's session bus: id "tessvark", WindowTitle, the program's
// icon and the menu "Open Tessvark", "Check for Updates", a separator, "Quit Tessvark".
TrayIconSettings ProgramTrayIcon();

}  // namespace tessvark
