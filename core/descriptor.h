#pragma once

namespace tessvark {

// Closes a socket or file descriptor: -1 for a negative descriptor (nothing is closed), otherwise
// the result of the close as 0 or -1. The descriptor must not be in use by another thread.
int CloseSocketOrFile(int descriptor);

}  // namespace tessvark
