#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace tessvark {

// A copy of everything the file open at `fd` holds, in memory and sealed so that no one, this
// process included, can ever change it: a memfd given the seals write, grow, shrink and seal,
// which are checked once set, readable and runnable by this user only. Returned is a descriptor
// that reads it (opened anew read-only, so that none that could write stays open and the copy can
// be run through "/proc/self/fd/N"), or an invalid one when any step failed. `name` shows in the
// system's view of the copy. What is checked through the returned descriptor is what runs from
// it, whatever happens to the original file and its links afterwards.
UniqueFd MakeSealedCopy(int fd, const std::string& name);

}  // namespace tessvark
