#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tessvark {

// Whether a file can be trusted not to have been changed by someone else: the stand-in for
// checking the signer of a Windows library. A file is trusted when it is a regular file owned by
// root or by the user running the program, and neither its group nor other users may write it;
// a folder on its way likewise, except that others may write a folder with the sticky bit (such
// as /tmp), where no one may rename or remove what another user owns.
enum class FileTrust : std::int32_t {
  kTrusted = 0,
  kUnreadable = 1,        // its status cannot be read, or it is not a regular file
  kForeignOwner = 2,      // owned by someone other than root or the running user
  kWritableByOthers = 3,  // its group or other users may write it
};

// The verdict on a file of this owner and mode for the user `running_user`.
FileTrust FileTrustOf(uid_t owner, mode_t mode, uid_t running_user);
// The verdict on a folder of this owner and mode for the user `running_user`.
FileTrust FolderTrustOf(uid_t owner, mode_t mode, uid_t running_user);

// One folder on the way to an opened file, as it was when it was passed.
struct FolderStatus {
  std::string path;
  uid_t owner = 0;
  mode_t mode = 0;
};

// Why a file could not be opened by OpenFileWithoutLinks.
enum class OpenFileFailure : std::int32_t {
  kNone = 0,
  kMissing = 1,     // a part of the path does not exist
  kLink = 2,        // a part of the path is a link (or "." or ".."), or a folder is not a folder
  kNotRegular = 3,  // the last part is not a regular file
  kUnreadable = 4,  // a part cannot be entered or read
};

// A file opened once for reading, with the status of the file and of every folder on its way,
// each read from the descriptor that was used to go on: what was checked is what is read. The
// descriptor is close-on-exec.
struct OpenedFile {
  UniqueFd fd;
  OpenFileFailure failure = OpenFileFailure::kMissing;
  std::string path;
  struct stat status {};              // the file's
  std::vector<FolderStatus> folders;  // from "/" down to the file's own folder
};

// Opens the absolute `path` part by part from "/", following no link on the way: a path whose
// links were resolved before (as realpath gives it) opens as long as nothing was swapped since.
OpenedFile OpenFileWithoutLinks(const std::string& path);

// The first reason, nearest to the file, not to trust an opened file: the file itself, then its
// folders upward. `where` names the file or folder at fault; empty when everything is trusted.
struct TrustVerdict {
  FileTrust trust = FileTrust::kUnreadable;
  std::string where;
  bool is_folder = false;
  uid_t owner = 0;
  mode_t mode = 0;
};
TrustVerdict JudgeOpenedFile(const OpenedFile& file, uid_t running_user);

// The verdict on the folder `path` (links resolved first) and every folder above it, nearest
// first; `where` names the first folder at fault.
TrustVerdict JudgeFolderAndAbove(const std::string& path, uid_t running_user);

// A user's name for messages ("root", "alice"), or the number when it has none.
std::string UserName(uid_t user);
// The permission bits as the three octal digits a user gives chmod ("664").
std::string ModeDigits(mode_t mode);

// True when `path`, links followed, is a regular file.
bool IsRegularFile(const std::string& path);
// The absolute form of `path` with every link resolved and no "." or ".." left; empty when a
// part of it does not exist or cannot be read.
std::string CanonicalFilePath(const std::string& path);

}  // namespace tessvark
