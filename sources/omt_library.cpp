#include "sources/omt_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <set>

#include "core/mutex.h"
#include "core/sha256.h"
#include "platform/elf_image.h"
#include "platform/module_path.h"
#include "platform/shared_library.h"
#include "sources/library_messages.h"
#include "sources/omt_pins.h"

namespace tessvark {
namespace {

constexpr std::size_t kMaxDependencyNameBytes = 128;

constexpr char kNoFolder[] =
    "The OMT runtime path could not be resolved. Tessvark did not load it.";
constexpr char kNotBeside[] =
    "The OMT runtime is not the approved copy beside Tessvark. Tessvark did not load it.";
constexpr char kUnreadable[] = "The OMT runtime could not be read. Tessvark did not load it.";
constexpr char kBadSize[] = "The OMT runtime size is not acceptable. Tessvark did not load it.";
constexpr char kNotElf[] = "The OMT runtime is not a 64-bit Linux library. Tessvark did not load it.";
constexpr char kImportsUnreadable[] =
    "The OMT runtime imports could not be read. Tessvark did not load it.";
constexpr char kUnexpectedImport[] =
    "The OMT runtime imports an unexpected library. Tessvark did not load it.";
constexpr char kNotLoaded[] = "The OMT runtime could not be loaded. Tessvark did not use it.";
constexpr char kMissingEntryPoint[] =
    "The OMT runtime is missing a required entry point. Tessvark did not use it.";

// Process-wide; the modules stay loaded until the process ends.
struct OmtLibraryState {
  Mutex mutex;  // held for a whole load attempt
  bool attempted GUARDED_BY(mutex) = false;
  bool loaded GUARDED_BY(mutex) = false;
  std::string failure GUARDED_BY(mutex);
  // Written by the load that succeeds, under the mutex; read without it once loaded. Only the
  // exit handler changes it again, under the mutex.
  omt::EntryPoints functions;
  bool exit_handler GUARDED_BY(mutex) = false;
};

OmtLibraryState& Library() {
  static OmtLibraryState* const state = new OmtLibraryState;
  return *state;
}

std::string DigestRefusal(const std::string& release) {
  return "The OMT runtime hash does not match the approved " + release +
         " library. Tessvark did not load it.";
}

void ShutDownAtExit() {
  OmtLibraryState& library = Library();
  omt::ShutdownFunction shutdown = nullptr;
  {
    MutexLock lock(library.mutex);
    shutdown = library.functions.shutdown;
    library.functions.shutdown = nullptr;
  }
  if (shutdown != nullptr) shutdown();
}

template <typename Function>
bool Resolve(void* module, const char* name, Function& out) {
  out = reinterpret_cast<Function>(FindLibraryFunction(module, name));
  return out != nullptr;
}

bool ResolveOmtEntryPoints(void* module, omt::EntryPoints& f) {
  Resolve(module, "omt_send_getaddress", f.send_getaddress);
  Resolve(module, "omt_shutdown", f.shutdown);
  // Every entry point is looked up, also after a missing one, so none is left stale.
  bool all = true;
  all = Resolve(module, "omt_discovery_getaddresses", f.discovery_getaddresses) && all;
  all = Resolve(module, "omt_receive_create", f.receive_create) && all;
  all = Resolve(module, "omt_receive_destroy", f.receive_destroy) && all;
  all = Resolve(module, "omt_receive", f.receive) && all;
  all = Resolve(module, "omt_send_create", f.send_create) && all;
  all = Resolve(module, "omt_send_destroy", f.send_destroy) && all;
  all = Resolve(module, "omt_send", f.send) && all;
  return all;
}

// The folder as one canonical path without a trailing separator.
std::filesystem::path CanonicalFolder(const std::filesystem::path& folder, std::error_code& error) {
  std::filesystem::path canonical = std::filesystem::weakly_canonical(folder, error);
  if (!canonical.has_filename() && canonical.has_parent_path() && canonical != canonical.root_path()) {
    canonical = canonical.parent_path();
  }
  return canonical;
}

// Reads the whole open file into `bytes`; false on a read error.
bool ReadWhole(int fd, std::uint64_t size, std::vector<std::uint8_t>& bytes) {
  bytes.resize(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The checks of one file, through one descriptor.
bool CheckOneLibrary(const std::string& folder, const PinnedOmtLibrary& pin,
                     const std::string& release, CheckedOmtLibrary& checked,
                     std::string& message) {
  namespace fs = std::filesystem;
  std::error_code folder_error;
  std::error_code file_error;
  const fs::path canonical_folder = CanonicalFolder(fs::path(folder), folder_error);
  const fs::path file = fs::weakly_canonical(fs::path(folder) / pin.file_name, file_error);
  if (folder_error || file_error || file.parent_path() != canonical_folder ||
      file.filename() != fs::path(pin.file_name)) {
    message = kNotBeside;
    return false;
  }
  // Not through a link (one placed at the name after the check above included), and not
  // blocking on a named pipe.
  UniqueFd fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    message = errno == ELOOP ? kNotBeside : kUnreadable;
    return false;
  }
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    message = kUnreadable;
    return false;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size == 0 || size > kMaxOmtLibraryBytes) {
    message = kBadSize;
    return false;
  }
  std::vector<std::uint8_t> bytes;
  if (!ReadWhole(fd.get(), size, bytes)) {
    message = kUnreadable;
    return false;
  }
  if (Sha256HexOfBytes(bytes.data(), bytes.size()) != pin.sha256) {
    message = DigestRefusal(release);
    return false;
  }
  ElfDependencies dependencies = ReadElfDependencies(bytes, kMaxDependencyNameBytes);
  if (dependencies.status == ElfDependencyStatus::kNotSharedObject) {
    message = kNotElf;
    return false;
  }
  if (dependencies.status == ElfDependencyStatus::kUnreadable) {
    message = kImportsUnreadable;
    return false;
  }
  checked.file_name = pin.file_name;
  checked.file = std::move(fd);
  checked.soname = std::move(dependencies.soname);
  checked.needed = std::move(dependencies.needed);
  return true;
}

// Orders `libraries` so that each follows the pinned libraries it needs; false when a dependency
// is neither a system library nor a pinned library of that name, or the pinned ones need each
// other in a circle.
bool OrderByDependencies(std::vector<CheckedOmtLibrary>& libraries) {
  std::set<std::string> pinned_names;
  for (const CheckedOmtLibrary& library : libraries) {
    if (!library.soname.empty()) pinned_names.insert(library.soname);
  }
  for (const CheckedOmtLibrary& library : libraries) {
    for (const std::string& name : library.needed) {
      if (!IsSystemOmtDependency(name) && pinned_names.count(name) == 0) return false;
    }
  }
  std::vector<CheckedOmtLibrary> ordered;
  std::set<std::string> loaded;
  while (!libraries.empty()) {
    const auto ready = std::find_if(libraries.begin(), libraries.end(), [&](const auto& library) {
      return std::all_of(library.needed.begin(), library.needed.end(), [&](const auto& name) {
        return IsSystemOmtDependency(name) || loaded.count(name) != 0;
      });
    });
    if (ready == libraries.end()) return false;
    if (!ready->soname.empty()) loaded.insert(ready->soname);
    ordered.push_back(std::move(*ready));
    libraries.erase(ready);
  }
  libraries = std::move(ordered);
  return true;
}

// The attempt itself.
bool AttemptLoad(OmtLibraryState& library, const OmtLibrarySetup& setup, std::string& message)
    REQUIRES(library.mutex) {
  std::vector<CheckedOmtLibrary> checked;
  if (!VerifyOmtLibraries(setup, checked, message)) return false;
  void* omt_module = nullptr;
  for (CheckedOmtLibrary& file : checked) {
    // A library that loaded stays loaded even when the next one fails.
    void* module = OpenSharedLibraryFromDescriptor(std::move(file.file));
    if (module == nullptr) {
      message = kNotLoaded;
      return false;
    }
    if (file.file_name == kOmtLibraryName) omt_module = module;
  }
  omt::EntryPoints functions;
  if (omt_module == nullptr || !ResolveOmtEntryPoints(omt_module, functions)) {
    message = kMissingEntryPoint;
    return false;
  }
  library.functions = functions;
  if (!library.exit_handler) {
    library.exit_handler = true;
    std::atexit(ShutDownAtExit);
  }
  return true;
}

}  // namespace

OmtLibrarySetup DefaultOmtLibrarySetup() {
  OmtLibrarySetup setup;
  setup.folder = ProgramFolder();
  setup.pins = {{kOmtVmxLibraryName, build::kOmtVmxSha256}, {kOmtLibraryName, build::kOmtSha256}};
  if (build::kOmtNetSha256[0] != '\0') setup.pins.push_back({"libomtnet.so", build::kOmtNetSha256});
  setup.release = build::kOmtRelease;
  return setup;
}

bool IsSystemOmtDependency(const std::string& name) {
  static const std::set<std::string> system = {
      "libc.so.6",       "libm.so.6",     "libdl.so.2",     "libpthread.so.0",
      "librt.so.1",      "libgcc_s.so.1", "libstdc++.so.6", "ld-linux-x86-64.so.2"};
  return system.count(name) != 0;
}

bool VerifyOmtLibraries(const OmtLibrarySetup& setup, std::vector<CheckedOmtLibrary>& checked,
                        std::string& message) {
  checked.clear();
  if (setup.folder.empty()) {
    message = kNoFolder;
    return false;
  }
  // Libraries that are simply not there are not installed, which says more than "could not be read".
  std::vector<std::string> files;
  bool absent = false;
  for (const PinnedOmtLibrary& pin : setup.pins) {
    files.push_back(pin.file_name);
    struct stat status {};
    if (lstat((std::filesystem::path(setup.folder) / pin.file_name).c_str(), &status) != 0 && errno == ENOENT) {
      absent = true;
    }
  }
  if (absent) {
    message = OmtNotInstalledMessage(setup.folder, files);
    return false;
  }
  for (const PinnedOmtLibrary& pin : setup.pins) {
    CheckedOmtLibrary library;
    if (!CheckOneLibrary(setup.folder, pin, setup.release, library, message)) return false;
    checked.push_back(std::move(library));
  }
  if (!OrderByDependencies(checked)) {
    message = kUnexpectedImport;
    return false;
  }
  return true;
}

bool LoadOmtLibrary(const OmtLibrarySetup& setup, std::string& message) {
  OmtLibraryState& library = Library();
  MutexLock lock(library.mutex);
  if (library.loaded) return true;
  if (library.attempted) {
    message = library.failure;
    return false;
  }
  library.attempted = true;
  library.loaded = AttemptLoad(library, setup, message);
  if (!library.loaded) library.failure = message;
  return library.loaded;
}

const omt::EntryPoints& OmtLibraryFunctions() { return Library().functions; }

}  // namespace tessvark
