#include "settings/atomic_write.h"

#include <exception>

#include "core/json_value.h"
#include "platform/atomic_file.h"

namespace tessvark {

bool WriteFileAtomically(const std::filesystem::path& target, std::string_view text,
                         std::string& error) {
  // A file that the store could not read back would be worse than no write at all.
  try {
    ParseJson(text);
  } catch (const std::exception&) {
    error = "Refusing to write a document that does not parse";
    return false;
  }
  const ReplaceFileStatus status = ReplaceFileWithText(target, text);
  switch (status) {
    case ReplaceFileStatus::kReplaced:
      return true;
    case ReplaceFileStatus::kFolderFailed:
      error = "Could not create the configuration directory";
      return false;
    case ReplaceFileStatus::kCreateFailed:
      error = "Could not create a temporary configuration file";
      return false;
    case ReplaceFileStatus::kWriteFailed:
      error = "Configuration write stopped before the document was complete";
      return false;
    case ReplaceFileStatus::kFlushFailed:
      error = "Could not flush the temporary configuration file";
      return false;
    case ReplaceFileStatus::kReplaceFailed:
      error = "Could not replace the configuration file";
      return false;
  }
  error = "Could not replace the configuration file";
  return false;
}

}  // namespace tessvark
