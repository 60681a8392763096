#pragma once

#include <string>

namespace tessvark {

// The folder that holds the running program file (the target of /proc/self/exe without its last
// component); empty when the program's own path cannot be had.
std::string ProgramFolder();

}  // namespace tessvark
