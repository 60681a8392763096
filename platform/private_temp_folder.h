#pragma once

#include <string>

#include "platform/data_folder.h"

namespace tessvark {

// The system's folder for temporary files: "TMPDIR" when it is an absolute path, else "/tmp".
std::string SystemTempFolder(const EnvironmentLookup& lookup);

// Makes a new folder inside `parent` that only this user may enter (mode 0700), named `prefix`
// followed by six random characters, so that no other user can place or replace a file in it.
// Returns its path, or empty when it could not be made.
std::string MakePrivateFolder(const std::string& parent, const std::string& prefix);

}  // namespace tessvark
