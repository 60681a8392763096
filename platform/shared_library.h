#pragma once

#include <string>

namespace tessvark {

// Loading a shared library from one exact path and finding its functions (dlopen, dlsym): the
// stand-in for the Windows module loader. A library is opened with every symbol bound at once
// (so a missing dependency fails the open, not a later call) and kept private to its caller.

// The library's handle, or null when it cannot be loaded.
void* OpenSharedLibrary(const std::string& path);
// The address of the exported function `name`, or null when the library has none.
void* FindLibraryFunction(void* library, const char* name);
// Gives the handle back; the library is unloaded once nothing else holds it.
void CloseSharedLibrary(void* library);

}  // namespace tessvark
