#pragma once

#include <string>
#include <vector>

#include "platform/data_folder.h"
#include "session/native_session_options.h"

namespace tessvark {

inline constexpr char kUsageLine[] =
    "usage: tessvark [--no-browser] [--ui FOLDER] [--preferred PORT] [--config FOLDER]";

// Everything the host reads before it builds the runtime.
struct HostStartup {
  NativeSessionOptions options;
  bool open_browser = true;
};

// The session options with the host's fixed values (first port 28790, 10 attempts), the
// interface and catalog paths under `program_folder` ("resources/ui" alone when the folder is
// unknown), the data folder from the environment and the browser flag ("TESSVARK_NO_BROWSER" set,
// even empty, turns it off).
HostStartup MakeHostStartup(const std::string& program_folder, const EnvironmentLookup& lookup);

// Applies the arguments after the program name, each compared whole: "--no-browser", "--ui",
// "--preferred" and "--config" with their values; a repeated option's last value counts. False
// for anything else, for an option without its value and for a port that is not a leading
// decimal integer in the 32-bit range.
bool ApplyCommandLine(const std::vector<std::string>& arguments, HostStartup& startup);

// The leading decimal integer of `text` (leading white space and a sign accepted, the first
// character that is not a digit ends it); false when there is no digit or it leaves int32.
bool ParseLeadingInteger(const std::string& text, std::int32_t& value);

}  // namespace tessvark
