#pragma once

#include <string_view>

namespace tessvark {

// Names the calling thread, as stack dumps, `top -H` and /proc/<pid>/task/<tid>/comm show it.
// Linux keeps at most 15 bytes of a name, so a longer one is cut there. A name that cannot be set
// leaves the thread as it was: the name is for people, nothing depends on it.
void NameThisThread(std::string_view name);

}  // namespace tessvark
