#include "sources/ndi_library.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "core/mutex.h"
#include "platform/elf_image.h"
#include "platform/file_trust.h"
#include "platform/shared_library.h"
#include "platform/unique_fd.h"
#include "sources/library_messages.h"

namespace tessvark {
namespace {

constexpr char kNotElf[] = "The NDI runtime is not a 64-bit Linux library. Tessvark did not load it.";
constexpr char kNotLoaded[] = "The NDI runtime could not be loaded.";
constexpr char kDidNotLoad[] = " Tessvark did not load it.";

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

std::string UnreadableRefusal(const std::string& path) {
  return "The NDI runtime " + Quoted(path) + " could not be read." + kDidNotLoad;
}

// A candidate whose links lead away from the places the library is taken from.
std::string LinkRefusal(const std::string& candidate, const std::string& target) {
  return "The NDI runtime " + Quoted(candidate) + " is a link to " + Quoted(target) +
         ", outside the folders Tessvark loads it from." + kDidNotLoad;
}

// Process-wide: the module is loaded at most once and never unloaded after a success.
struct NdiLibraryState {
  Mutex mutex;  // held for the whole load attempt
  void* module GUARDED_BY(mutex) = nullptr;
  // Written by the one load that succeeds, under the mutex and before a reference is handed out;
  // read without it by the holders of a reference.
  ndi::EntryPoints functions;
  bool attempted GUARDED_BY(mutex) = false;
  bool initialised GUARDED_BY(mutex) = false;
  std::int32_t references GUARDED_BY(mutex) = 0;
  std::string last_message GUARDED_BY(mutex);
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

bool ResolveNdiEntryPoints(NdiLibraryState& library, UniqueFd file) REQUIRES(library.mutex) {
  void* module = OpenSharedLibraryFromDescriptor(std::move(file));
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

// The one load attempt of the process.
bool LoadNdiLibrary(NdiLibraryState& library, const NdiLibrarySearch& search) REQUIRES(library.mutex) {
  if (library.module != nullptr) return true;
  if (library.attempted) return false;
  library.attempted = true;
  library.last_message.clear();
  bool found = false;
  for (const std::string& candidate : NdiLibraryCandidates(search)) {
    if (!IsRegularFile(candidate)) continue;
    const std::string canonical = CanonicalFilePath(candidate);
    if (canonical.empty()) continue;
    if (!IsTrustedNdiRuntimePath(canonical, search)) {
      // A name in a trusted place whose links lead elsewhere is worth saying; a name that lies in
      // no trusted place (a relative folder variable) is no candidate at all.
      if (IsTrustedNdiRuntimePath(candidate, search)) {
        found = true;
        library.last_message = LinkRefusal(candidate, canonical);
      }
      continue;
    }
    found = true;
    OpenedFile file = OpenFileWithoutLinks(canonical);
    if (!file.fd.valid()) {
      library.last_message = UnreadableRefusal(canonical);
      continue;
    }
    if (!IsNdiLibraryImage(file.fd.get())) {
      library.last_message = kNotElf;
      continue;
    }
    std::string refusal;
    if (search.verifier && !search.verifier->Verify(file, refusal)) {
      library.last_message = refusal;
      continue;
    }
    if (ResolveNdiEntryPoints(library, std::move(file.fd))) return true;
    library.last_message = kNotLoaded;
  }
  if (!found) {
    const std::string folder = FolderEnvironment();
    std::vector<std::string> folders;
    for (const std::string& standard : search.standard_folders) {
      if (!standard.empty()) folders.push_back(standard);
    }
    // Only an absolute folder without ".." is a place the library is loaded from.
    const bool usable = !folder.empty() && folder.front() == '/' && folder.find("..") == std::string::npos;
    library.last_message = NdiNotInstalledMessage(folders, kNdiLibraryName, kNdiRuntimeFolderVariable,
                                                  usable ? std::optional<std::string>(folder) : std::nullopt);
  } else if (library.last_message.empty()) {
    library.last_message = kNotLoaded;
  }
  return false;
}

}  // namespace

bool OwnerSignatureVerifier::Verify(const OpenedFile& file, std::string& message) {
  message = NdiTrustRefusal(JudgeOpenedFile(file, geteuid()));
  return message.empty();
}

std::string NdiTrustRefusal(const TrustVerdict& verdict) {
  const std::string what =
      verdict.is_folder ? "The folder " + Quoted(verdict.where) + " of the NDI runtime"
                        : "The NDI runtime " + Quoted(verdict.where);
  switch (verdict.trust) {
    case FileTrust::kTrusted:
      return std::string();
    case FileTrust::kForeignOwner:
      return what + " belongs to the user " + UserName(verdict.owner) +
             ", not to root or to you." + kDidNotLoad;
    case FileTrust::kWritableByOthers:
      return what + " can be changed by other users (mode " + ModeDigits(verdict.mode) + ")." +
             kDidNotLoad;
    case FileTrust::kUnreadable:
      break;
  }
  return UnreadableRefusal(verdict.where);
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

bool IsNdiLibraryImage(int fd) {
  std::uint8_t head[64] = {};
  ssize_t n = 0;
  do {
    n = pread(fd, head, sizeof head, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 &&
         IsElf64X86SharedObject(std::span<const std::uint8_t>(head, static_cast<std::size_t>(n)));
}

bool AcquireNdiLibrary(const NdiLibrarySearch& search) {
  NdiLibraryState& library = Library();
  MutexLock lock(library.mutex);
  if (library.references == 0) {
    library.initialised = LoadNdiLibrary(library, search) && library.functions.initialize();
  }
  if (!library.initialised) return false;
  ++library.references;
  return true;
}

void ReleaseNdiLibrary() {
  NdiLibraryState& library = Library();
  MutexLock lock(library.mutex);
  if (library.references == 0) return;
  --library.references;
  if (library.references == 0 && library.initialised) {
    library.functions.destroy();
    library.initialised = false;
  }
}

std::string LastNdiLoadMessage() {
  NdiLibraryState& library = Library();
  MutexLock lock(library.mutex);
  return library.last_message;
}

const ndi::EntryPoints& NdiLibraryFunctions() { return Library().functions; }

}  // namespace tessvark
