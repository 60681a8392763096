#include "platform/shared_library.h"

#include <dlfcn.h>

namespace tessvark {

void* OpenSharedLibrary(const std::string& path) {
  if (path.empty()) return nullptr;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* OpenSharedLibraryFromDescriptor(UniqueFd file) {
  if (!file.valid()) return nullptr;
  void* library = OpenSharedLibrary("/proc/self/fd/" + std::to_string(file.get()));
  if (library != nullptr) file.Release();
  return library;
}

void* FindLibraryFunction(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void CloseSharedLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace tessvark
