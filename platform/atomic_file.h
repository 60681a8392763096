#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tessvark {

// The file layer under the settings files: new files, durable writes and one-step replacement.
// Nothing here keeps state or takes a lock; callers serialise writes to one target themselves.

// Which step of a replacement failed. On every failure after the temporary file was created,
// the temporary file has been removed again and the target is untouched.
enum class ReplaceFileStatus : std::int32_t {
  kReplaced = 0,
  kFolderFailed = 1,     // the target's folder could not be created
  kCreateFailed = 2,     // the temporary file could not be created or opened
  kWriteFailed = 3,      // a write failed or wrote nothing
  kFlushFailed = 4,      // fsync of the temporary file failed
  kReplaceFailed = 5,    // rename over the target failed
};

// Creates `folder` and every missing ancestor; true when it exists as a folder afterwards.
bool CreateFolderWithParents(const std::filesystem::path& folder);

// The temporary name beside a target: its file name, ".tmp.", the process id and the steady
// clock's nanosecond reading, so that no two calls and no two processes share a name, and a
// leftover names the process that wrote it.
std::filesystem::path UniqueTemporaryPath(const std::filesystem::path& target);

// Writes `text` to a new file under UniqueTemporaryPath (created exclusively, never through a
// link), commits it to disk, renames it over `target` in one step and commits the folder, so that
// a reader of `target` sees either the old file or the whole new one, also after a crash or a
// power loss. The new file gets `mode` less the umask.
ReplaceFileStatus ReplaceFileWithText(const std::filesystem::path& target, std::string_view text,
                                      mode_t mode = 0666);

// Removes from `folder` the temporary files of ReplaceFileWithText whose writing process no longer
// runs: regular files of this user (links are never followed) whose name ends in ".tmp.", a
// process id and "." and a nanosecond reading, and whose process id names no process. Files of a
// running process and every other name stay. Returns how many were removed.
std::int32_t RemoveStaleTemporaryFiles(const std::filesystem::path& folder);

// Creates `path` as a new file (failing when the name exists in any form, a link included) with
// `mode` (by default readable and writable by its owner only), writes `text` and commits it to
// disk. A failed write or commit removes the file.
bool WriteNewFileDurably(const std::filesystem::path& path, std::string_view text,
                         mode_t mode = 0600);

// Reads a regular file that must be exactly `length` bytes long (1 or more) into `out`, in reads
// of at most 1 MiB. A link at `path` is not followed. False for any other file or length, and for
// a failed read.
bool ReadFileExact(const std::filesystem::path& path, std::uint64_t length, std::string& out);

// Gives the file at `existing` a second name `added` (a hard link, failing when `added`
// exists) and commits the folder. This keeps a file whose bytes cannot be read.
bool LinkFileDurably(const std::filesystem::path& existing, const std::filesystem::path& added);

}  // namespace tessvark
