#pragma once

namespace tessvark {

// The program's version as the log, the window title and the updater report it.
inline constexpr char kProgramVersion[] = "0.8.2";
inline constexpr int kProgramBuild = 35;
inline constexpr char kProgramPrerelease[] = "beta";

// The first log line of every start of a first instance.
inline constexpr char kVersionLogLine[] =
    "Tessvark 0.8.2 build 35 prerelease=beta channel=windows-beta";

}  // namespace tessvark
