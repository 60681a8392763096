#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tessvark {

// Whether a file can be trusted not to have been changed by someone else: the stand-in for
// checking the signer of a Windows library. A file is trusted when it is a regular file owned by
// root or by the user running the program, and neither its group nor other users may write it.
enum class FileTrust : std::int32_t {
  kTrusted = 0,
  kUnreadable = 1,        // its status cannot be read, or it is not a regular file
  kForeignOwner = 2,      // owned by someone other than root or the running user
  kWritableByOthers = 3,  // its group or other users may write it
};

// The verdict on a file of this owner and mode for the user `running_user`.
FileTrust FileTrustOf(uid_t owner, mode_t mode, uid_t running_user);
// The verdict on the file at `path` (links followed) for the user running the program.
FileTrust CheckFileTrust(const std::string& path);

// True when `path`, links followed, is a regular file.
bool IsRegularFile(const std::string& path);
// The absolute form of `path` with every link resolved and no "." or ".." left; empty when a
// part of it does not exist or cannot be read.
std::string CanonicalFilePath(const std::string& path);

}  // namespace tessvark
