#include "platform/private_temp_folder.h"

#include <stdlib.h>

namespace tessvark {

std::string SystemTempFolder(const EnvironmentLookup& lookup) {
  const char* folder = lookup("TMPDIR");
  return folder != nullptr && folder[0] == '/' ? std::string(folder) : std::string("/tmp");
}

std::string MakePrivateFolder(const std::string& parent, const std::string& prefix) {
  if (parent.empty()) return std::string();
  std::string path = parent;
  if (path.back() != '/') path += '/';
  path += prefix + "XXXXXX";
  // mkdtemp creates the folder with mode 0700 and fails when the name exists in any form.
  return mkdtemp(path.data()) != nullptr ? path : std::string();
}

}  // namespace tessvark
