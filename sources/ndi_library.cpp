#include "sources/ndi_library.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "platform/elf_image.h"
#include "platform/file_trust.h"
#include "platform/shared_library.h"

namespace tessvark {
namespace {

constexpr char kNotElf[] = "The NDI runtime is not a 64-bit Linux library. Tessvark did not load it.";
constexpr char kSignatureInvalid[] =
    "The NDI runtime signature is not valid. Tessvark did not load it.";
constexpr char kPublisherUnreadable[] =
    "The NDI runtime publisher could not be read. Tessvark did not load it.";
constexpr char kWrongPublisher[] =
    "The NDI runtime is not signed by NewTek or Vizrt. Tessvark did not load it.";
constexpr char kNotLoaded[] = "The NDI runtime could not be loaded.";

// Process-wide: the module is loaded at most once and never unloaded after a success.
struct NdiLibraryState {
  std::mutex mutex;  // guards everything below and the whole load attempt
  void* module = nullptr;
  ndi::EntryPoints functions;
  bool attempted = false;
  bool initialised = false;
  std::int32_t references = 0;
  std::string last_message;
};

NdiLibraryState& Library() {
  // Never destroyed: a runtime still running at exit may hold a reference.
  static NdiLibraryState* const state = new NdiLibraryState;
  return *state;
}

std::string FolderEnvironment() {
  const char* value = std::getenv(kNdiRuntimeFolderVariable);
  return value == nullptr ? std::string() : std::string(value);
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Under the folder as given or where its links lead, since a candidate's path has every link
// resolved.
bool IsUnderFolder(const std::string& path, const std::string& folder) {
  if (StartsWith(path, WithSlash(folder))) return true;
  const std::string resolved = CanonicalFilePath(folder);
  return !resolved.empty() && StartsWith(path, WithSlash(resolved));
}

bool NamesTheLibrary(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  return name == kNdiLibraryName || StartsWith(name, std::string(kNdiLibraryName) + ".");
}

template <typename Function>
bool Resolve(void* module, const char* name, Function& out) {
  out = reinterpret_cast<Function>(FindLibraryFunction(module, name));
  return out != nullptr;
}

bool ResolveNdiEntryPoints(NdiLibraryState& library, const std::string& path) {
  void* module = OpenSharedLibrary(path);
  if (module == nullptr) return false;
  ndi::EntryPoints f;
  const bool complete =
      Resolve(module, "NDIlib_initialize", f.initialize) &&
      Resolve(module, "NDIlib_destroy", f.destroy) &&
      Resolve(module, "NDIlib_find_create_v2", f.find_create) &&
      Resolve(module, "NDIlib_find_destroy", f.find_destroy) &&
      Resolve(module, "NDIlib_find_wait_for_sources", f.find_wait_for_sources) &&
      Resolve(module, "NDIlib_find_get_current_sources", f.find_get_current_sources) &&
      Resolve(module, "NDIlib_recv_create_v3", f.recv_create) &&
      Resolve(module, "NDIlib_recv_destroy", f.recv_destroy) &&
      Resolve(module, "NDIlib_recv_connect", f.recv_connect) &&
      Resolve(module, "NDIlib_recv_capture_v3", f.recv_capture) &&
      Resolve(module, "NDIlib_recv_free_video_v2", f.recv_free_video) &&
      Resolve(module, "NDIlib_recv_free_audio_v3", f.recv_free_audio) &&
      Resolve(module, "NDIlib_recv_free_metadata", f.recv_free_metadata) &&
      Resolve(module, "NDIlib_recv_get_performance", f.recv_get_performance);
  if (!complete) {
    CloseSharedLibrary(module);
    return false;
  }
  library.module = module;
  library.functions = f;
  return true;
}

// The one load attempt of the process; the library mutex is held.
bool LoadNdiLibrary(NdiLibraryState& library, const NdiLibrarySearch& search) {
  if (library.module != nullptr) return true;
  if (library.attempted) return false;
  library.attempted = true;
  library.last_message.clear();
  bool found = false;
  for (const std::string& candidate : NdiLibraryCandidates(search)) {
    const std::string path = CanonicalTrustedNdiPath(candidate, search);
    if (path.empty()) continue;
    found = true;
    if (!IsNdiLibraryImage(path)) {
      library.last_message = kNotElf;
      continue;
    }
    std::string refusal;
    if (search.verifier && !search.verifier->Verify(path, refusal)) {
      library.last_message = refusal;
      continue;
    }
    if (ResolveNdiEntryPoints(library, path)) return true;
    library.last_message = kNotLoaded;
  }
  if (!found) {
    library.last_message = kNdiNotInstalled;
  } else if (library.last_message.empty()) {
    library.last_message = kNotLoaded;
  }
  return false;
}

}  // namespace

bool OwnerSignatureVerifier::Verify(const std::string& path, std::string& message) {
  message.clear();
  switch (CheckFileTrust(path)) {
    case FileTrust::kTrusted:
      return true;
    case FileTrust::kWritableByOthers:
      message = kSignatureInvalid;
      return false;
    case FileTrust::kForeignOwner:
      message = kWrongPublisher;
      return false;
    case FileTrust::kUnreadable:
      break;
  }
  message = kPublisherUnreadable;
  return false;
}

std::vector<std::string> NdiLibraryCandidates(const NdiLibrarySearch& search) {
  std::vector<std::string> candidates;
  for (const std::string& folder : search.standard_folders) {
    if (!folder.empty()) candidates.push_back(folder + "/" + kNdiLibraryName);
  }
  const std::string folder = FolderEnvironment();
  if (!folder.empty() && folder.find("..") == std::string::npos) {
    candidates.push_back(folder + "/" + kNdiLibraryName);
  }
  return candidates;
}

bool IsTrustedNdiRuntimePath(const std::string& path, const NdiLibrarySearch& search) {
  if (path.empty() || path.find("..") != std::string::npos || !NamesTheLibrary(path)) return false;
  for (const std::string& folder : search.standard_folders) {
    if (!folder.empty() && IsUnderFolder(path, folder)) return true;
  }
  const std::string folder = FolderEnvironment();
  return !folder.empty() && folder.front() == '/' && folder.find("..") == std::string::npos &&
         IsUnderFolder(path, folder);
}

std::string CanonicalTrustedNdiPath(const std::string& candidate, const NdiLibrarySearch& search) {
  if (!IsRegularFile(candidate)) return {};
  const std::string canonical = CanonicalFilePath(candidate);
  return IsTrustedNdiRuntimePath(canonical, search) ? canonical : std::string();
}

bool IsNdiLibraryImage(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::uint8_t head[64] = {};
  file.read(reinterpret_cast<char*>(head), sizeof head);
  return IsElf64X86SharedObject(std::span<const std::uint8_t>(head, static_cast<std::size_t>(file.gcount())));
}

bool AcquireNdiLibrary(const NdiLibrarySearch& search) {
  NdiLibraryState& library = Library();
  std::lock_guard<std::mutex> lock(library.mutex);
  if (library.references == 0) {
    library.initialised = LoadNdiLibrary(library, search) && library.functions.initialize();
  }
  if (!library.initialised) return false;
  ++library.references;
  return true;
}

void ReleaseNdiLibrary() {
  NdiLibraryState& library = Library();
  std::lock_guard<std::mutex> lock(library.mutex);
  if (library.references == 0) return;
  --library.references;
  if (library.references == 0 && library.initialised) {
    library.functions.destroy();
    library.initialised = false;
  }
}

std::string LastNdiLoadMessage() {
  NdiLibraryState& library = Library();
  std::lock_guard<std::mutex> lock(library.mutex);
  return library.last_message;
}

const ndi::EntryPoints& NdiLibraryFunctions() { return Library().functions; }

}  // namespace tessvark
