#include "sources/omt_library.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "core/sha256.h"
#include "platform/elf_image.h"
#include "platform/module_path.h"
#include "platform/shared_library.h"
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
  std::mutex mutex;  // held for a whole load attempt
  bool attempted = false;
  bool loaded = false;
  std::string failure;
  omt::EntryPoints functions;
  bool exit_handler = false;
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
    std::lock_guard<std::mutex> lock(library.mutex);
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

// The attempt itself; the library mutex is held.
bool AttemptLoad(OmtLibraryState& library, const OmtLibrarySetup& setup, std::string& message) {
  if (setup.folder.empty()) {
    message = kNoFolder;
    return false;
  }
  for (const PinnedOmtLibrary& pin : setup.pins) {
    if (!VerifyOmtLibrary(setup.folder, pin, setup.release, message)) return false;
  }
  void* omt_module = nullptr;
  for (const PinnedOmtLibrary& pin : setup.pins) {
    // A library that loaded stays loaded even when the next one fails.
    void* module = OpenSharedLibrary((std::filesystem::path(setup.folder) / pin.file_name).string());
    if (module == nullptr) {
      message = kNotLoaded;
      return false;
    }
    if (pin.file_name == kOmtLibraryName) omt_module = module;
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
  setup.release = build::kOmtRelease;
  return setup;
}

bool IsAllowedOmtDependency(const std::string& name) {
  static const std::set<std::string> allowed = {
      "libc.so.6",      "libm.so.6",      "libdl.so.2",    "libpthread.so.0",
      "librt.so.1",     "libgcc_s.so.1",  "libstdc++.so.6", "ld-linux-x86-64.so.2",
      "libomt.so",      "libvmx.so",      "libomtnet.so"};
  return allowed.count(name) != 0;
}

bool VerifyOmtLibrary(const std::string& folder, const PinnedOmtLibrary& pin,
                      const std::string& release, std::string& message) {
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

  std::ifstream stream(file, std::ios::binary | std::ios::ate);
  if (!stream) {
    message = kUnreadable;
    return false;
  }
  const std::streamoff size = stream.tellg();
  if (size < 0) {
    message = kUnreadable;
    return false;
  }
  if (size == 0 || static_cast<std::uint64_t>(size) > kMaxOmtLibraryBytes) {
    message = kBadSize;
    return false;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  stream.seekg(0);
  if (!stream.read(reinterpret_cast<char*>(bytes.data()), size)) {
    message = kUnreadable;
    return false;
  }

  if (Sha256HexOfBytes(bytes.data(), bytes.size()) != pin.sha256) {
    message = DigestRefusal(release);
    return false;
  }
  const ElfDependencies dependencies =
      ReadElfDependencies(bytes, kMaxOmtDependencies, kMaxDependencyNameBytes);
  if (dependencies.status == ElfDependencyStatus::kNotSharedObject) {
    message = kNotElf;
    return false;
  }
  if (dependencies.status == ElfDependencyStatus::kUnreadable) {
    message = kImportsUnreadable;
    return false;
  }
  for (const std::string& name : dependencies.needed) {
    if (!IsAllowedOmtDependency(name)) {
      message = kUnexpectedImport;
      return false;
    }
  }
  return true;
}

bool LoadOmtLibrary(const OmtLibrarySetup& setup, std::string& message) {
  OmtLibraryState& library = Library();
  std::lock_guard<std::mutex> lock(library.mutex);
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
