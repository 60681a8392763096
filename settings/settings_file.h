#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tessvark {

// Catalog, sport-selection and sport-zones files are read only up to this size.
inline constexpr std::uintmax_t kSettingsFileLimit = 1048576;

// What reading one settings file found: `found` for a regular file (links followed), `read` when
// its whole content is in `text`.
struct ConfigFileContents {
  bool found = false;
  bool read = false;
  std::string text;
};

// True for a regular file, links followed. A status failure other than "not found" throws
// std::filesystem::filesystem_error.
bool IsRegularSettingsFile(const std::filesystem::path& path);

// Reads a whole settings file without any size limit. Throws like IsRegularSettingsFile.
ConfigFileContents ReadConfigFile(const std::filesystem::path& path);

enum class LimitedReadStatus : std::int32_t { kRead = 0, kUnreadable = 1, kTooLarge = 2 };

// Reads a whole file of at most `limit` bytes (exactly `limit` is read). Never throws.
LimitedReadStatus ReadFileUpTo(const std::filesystem::path& path, std::uintmax_t limit,
                               std::string& text);

// Keeps `text` as a new file `name` in `folder` (created with its ancestors when missing), or
// under `name` + "." + the steady clock's nanosecond reading when `name` is taken. An existing
// copy is never overwritten; false when both names fail.
bool KeepTextCopy(const std::filesystem::path& folder, const std::string& name,
                  std::string_view text);

// Before a settings file is replaced: when `path` holds a file that cannot be read, is larger
// than `limit` or whose text `is_usable` refuses, its content is kept under `copy_name` in the
// same folder (by its text, or by a second link to the file when its bytes cannot be read).
// True when nothing needed keeping or the copy was made; false when the file must not be
// replaced. A missing file needs no copy.
bool KeepCopyOfUnusableFile(const std::filesystem::path& path, const std::string& copy_name,
                            std::uintmax_t limit,
                            const std::function<bool(const std::string&)>& is_usable);

// The writer of the sport files, whose readers take at most kSettingsFileLimit bytes. A larger
// text is not written at all: `error` becomes `what` + " would be larger than 1048576 bytes" and
// nothing on disk is touched. Otherwise an unusable existing file is kept as "<name>.unreadable"
// (see KeepCopyOfUnusableFile) and the file is replaced through ReplaceFileWithText; when the copy
// or the write fails, `error` becomes `what` + " could not be saved" and the old file is unchanged.
bool ReplaceSettingsFile(const std::filesystem::path& path, std::string_view text,
                         const std::function<bool(const std::string&)>& is_usable,
                         std::string_view what, std::string& error);

// Keeps the file at `path`, whose bytes could not be read, under `name` (or the name with the
// nanosecond suffix) in the same folder as a second link. True also when `path` no longer
// exists: then nothing is left to keep.
bool KeepUnreadableFile(const std::filesystem::path& path, const std::string& name);

}  // namespace tessvark
