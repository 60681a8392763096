#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessvark {

// Replaces `target` by a complete new document: text that does not parse as JSON is refused, the
// bytes go to a fresh temporary file beside the target (its name, ".tmp.", the process id and a
// steady-clock nanosecond reading), which is committed to disk and renamed over the target; the
// folder is committed afterwards. A reader of the target sees the old file or the whole new one.
// On false `error` holds the reason and the target is unchanged; no temporary file remains
// (unless it could not be created at all). Takes no lock: callers serialise writes per target.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view text,
                         std::string& error);

}  // namespace tessvark
