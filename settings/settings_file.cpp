#include "settings/settings_file.h"

#include <fstream>
#include <limits>
#include <system_error>

#include "core/steady_clock.h"
#include "platform/atomic_file.h"

namespace tessvark {
namespace {

// Tries `name`, then `name` + "." + one nanosecond reading, with `make` creating the copy; a
// copy that exists already is never replaced.
bool KeepUnderFreeName(const std::filesystem::path& folder, const std::string& name,
                       const std::function<bool(const std::filesystem::path&)>& make) {
  CreateFolderWithParents(folder);
  const std::string suffix = "." + std::to_string(SteadyClockNanoseconds());
  return make(folder / name) || make(folder / (name + suffix));
}

}  // namespace

bool IsRegularSettingsFile(const std::filesystem::path& path) {
  return std::filesystem::is_regular_file(std::filesystem::status(path));
}

ConfigFileContents ReadConfigFile(const std::filesystem::path& path) {
  ConfigFileContents contents;
  if (!IsRegularSettingsFile(path)) return contents;
  contents.found = true;
  contents.read = ReadFileUpTo(path, std::numeric_limits<std::uintmax_t>::max(), contents.text) ==
                  LimitedReadStatus::kRead;
  return contents;
}

LimitedReadStatus ReadFileUpTo(const std::filesystem::path& path, std::uintmax_t limit,
                               std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return LimitedReadStatus::kUnreadable;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size > 0 && static_cast<std::uintmax_t>(size) > limit) return LimitedReadStatus::kTooLarge;
  in.seekg(0, std::ios::beg);
  // Read to the end rather than trusting the measured size: a file may report no size (files
  // of the kernel) or grow while it is read.
  std::string content;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    content.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (content.size() > limit) return LimitedReadStatus::kTooLarge;
  }
  if (in.bad() || !in.eof()) return LimitedReadStatus::kUnreadable;
  text = std::move(content);
  return LimitedReadStatus::kRead;
}

bool KeepTextCopy(const std::filesystem::path& folder, const std::string& name,
                  std::string_view text) {
  return KeepUnderFreeName(folder, name, [text](const std::filesystem::path& copy) {
    return WriteNewFileDurably(copy, text);
  });
}

bool KeepUnreadableFile(const std::filesystem::path& path, const std::string& name) {
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) return true;
  return KeepUnderFreeName(path.parent_path(), name, [&path](const std::filesystem::path& copy) {
    return LinkFileDurably(path, copy);
  });
}

bool KeepCopyOfUnusableFile(const std::filesystem::path& path, const std::string& copy_name,
                            std::uintmax_t limit,
                            const std::function<bool(const std::string&)>& is_usable) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) {
    // A dangling link or an unreachable entry still holds something an operator may want.
    return !std::filesystem::exists(std::filesystem::symlink_status(path, error)) ||
           KeepUnreadableFile(path, copy_name);
  }
  if (!std::filesystem::is_regular_file(status)) return KeepUnreadableFile(path, copy_name);
  std::string text;
  if (ReadFileUpTo(path, limit, text) != LimitedReadStatus::kRead) {
    return KeepUnreadableFile(path, copy_name);
  }
  if (is_usable(text)) return true;
  return KeepTextCopy(path.parent_path(), copy_name, text);
}

bool ReplaceSettingsFile(const std::filesystem::path& path, std::string_view text,
                         const std::function<bool(const std::string&)>& is_usable,
                         std::string_view what, std::string& error) {
  // A file its reader refuses would lose everything in it at the next start.
  if (text.size() > kSettingsFileLimit) {
    error = std::string(what) + " would be larger than " + std::to_string(kSettingsFileLimit) +
            " bytes";
    return false;
  }
  if (!KeepCopyOfUnusableFile(path, path.filename().string() + ".unreadable", kSettingsFileLimit,
                              is_usable) ||
      ReplaceFileWithText(path, text) != ReplaceFileStatus::kReplaced) {
    error = std::string(what) + " could not be saved";
    return false;
  }
  return true;
}

}  // namespace tessvark
