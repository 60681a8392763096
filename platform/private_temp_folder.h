#pragma once

#include <string>

#include "platform/data_folder.h"

namespace tessvark {

// The system's folder for temporary files: "TMPDIR" when it is an absolute path, else "/tmp".
std::string SystemTempFolder(const EnvironmentLookup& lookup);

// Makes a new folder inside `parent` that only this user may enter (mode 0700), named `prefix`,
// this process's id, "-" and six random characters, so that no other user can place or replace a
// file in it. A parent that another user could rename the new folder out of is refused: `parent`
// and every folder above it must belong to root or this user, and no one else may write any of
// them unless it has the sticky bit. Returns the folder's path (the parent's links resolved), or
// empty when it could not or may not be made.
std::string MakePrivateFolder(const std::string& parent, const std::string& prefix);

// Removes from `parent` the folders that MakePrivateFolder made with `prefix` for processes that
// no longer run (folders of this user; a link is never followed), with everything in them.
// Nothing is removed from a parent MakePrivateFolder would refuse: there another user could have
// renamed any folder of this user into a leftover's name. Returns how many went.
int RemoveLeftoverPrivateFolders(const std::string& parent, const std::string& prefix);

// Removes `folder` and everything in it (links inside are removed, never followed).
void RemovePrivateFolder(const std::string& folder);

// Removes `folder` as RemovePrivateFolder does when the program ends normally.
void RemovePrivateFolderAtExit(const std::string& folder);

}  // namespace tessvark
