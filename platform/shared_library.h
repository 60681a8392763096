#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace tessvark {

// Loading a shared library and finding its functions (dlopen, dlsym): the stand-in for the
// Windows module loader. A library is opened with every symbol bound at once (so a missing
// dependency fails the open, not a later call) and kept private to its caller.

// The library at the exact `path`, or null when it cannot be loaded.
void* OpenSharedLibrary(const std::string& path);
// The library in the open file `file` (through /proc/self/fd), so that the file that was checked
// is the file that is loaded, whatever has since been renamed over its path; null when it cannot
// be loaded. The loader knows the library by the descriptor's name and would take a later library
// opened under the same number for this one, so once the loader took the file the descriptor
// stays open for the rest of the process (also after the handle is closed); otherwise it is
// closed here.
void* OpenSharedLibraryFromDescriptor(UniqueFd file);
// The address of the exported function `name`, or null when the library has none.
void* FindLibraryFunction(void* library, const char* name);
// Gives the handle back; the library is unloaded once nothing else holds it.
void CloseSharedLibrary(void* library);

}  // namespace tessvark
