#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "sources/omt_sdk.h"

namespace tessvark {

// The OMT libraries "libvmx.so" and "libomt.so", which must lie in the program's own folder and
// match one pinned build byte for byte before they are loaded, at most once per process.

inline constexpr char kOmtVmxLibraryName[] = "libvmx.so";
inline constexpr char kOmtLibraryName[] = "libomt.so";
inline constexpr std::uint64_t kMaxOmtLibraryBytes = 64ull * 1024 * 1024;

// One library file and the SHA-256 of its approved build (64 lower-case hex digits).
struct PinnedOmtLibrary {
  std::string file_name;
  std::string sha256;
};

struct OmtLibrarySetup {
  std::string folder;                  // where both files must lie
  std::vector<PinnedOmtLibrary> pins;  // in verification and load order; "libomt.so" among them
  std::string release;                 // the approved release, named in the digest refusal
};

// The program's folder and the build-time table ("libvmx.so", then "libomt.so", then
// "libomtnet.so" when the build pins it).
OmtLibrarySetup DefaultOmtLibrarySetup();

// True when `name` is one of the system's C and C++ runtime libraries, which any library may
// depend on. Every other dependency must be one of the pinned libraries.
bool IsSystemOmtDependency(const std::string& name);

// One pinned file as checked: still open, so that it is loaded from the descriptor the checks
// read, with its own name (DT_SONAME) and the libraries it names.
struct CheckedOmtLibrary {
  std::string file_name;
  UniqueFd file;
  std::string soname;
  std::vector<std::string> needed;
};

// Checks every file of the table in `folder`, each opened once: that it is that file itself
// (not a link), its size, its digest, its ELF header and that its dependency list can be read
// whole; then that each dependency is a system library or a pinned library that carries that
// name, so that a copy of an unpinned library placed beside them never loads. On success
// `checked` holds the files in an order in which each comes after the pinned libraries it needs.
// False with the first refusal in `message`.
bool VerifyOmtLibraries(const OmtLibrarySetup& setup, std::vector<CheckedOmtLibrary>& checked,
                        std::string& message);

// Verifies and loads the libraries, each from the descriptor that was checked, and resolves
// their functions. The first call in a process decides, with its `setup`; every later call
// returns the same outcome (and message) at once. Registers, once, an exit handler that shuts
// the library down.
bool LoadOmtLibrary(const OmtLibrarySetup& setup, std::string& message);

// The libraries' functions; to be called only after LoadOmtLibrary succeeded.
const omt::EntryPoints& OmtLibraryFunctions();

}  // namespace tessvark
