#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sources/omt_sdk.h"

namespace tessvark {

// The OMT libraries "libvmx.so" and "libomt.so", which must lie in the program's own folder and
// match one pinned build byte for byte before they are loaded, at most once per process.

inline constexpr char kOmtVmxLibraryName[] = "libvmx.so";
inline constexpr char kOmtLibraryName[] = "libomt.so";
inline constexpr std::uint64_t kMaxOmtLibraryBytes = 64ull * 1024 * 1024;
// A library may name at most this many dependencies before the rest go unchecked.
inline constexpr std::size_t kMaxOmtDependencies = 64;

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

// The program's folder and the build-time table ("libvmx.so", then "libomt.so").
OmtLibrarySetup DefaultOmtLibrarySetup();

// True when a library may depend on `name`: the C and C++ runtime libraries of the system and the
// OMT libraries themselves.
bool IsAllowedOmtDependency(const std::string& name);

// Checks one file of the table in `folder`: that it is that file itself (not a link elsewhere),
// its size, its digest, its ELF header and its dependencies. False with the refusal in `message`.
bool VerifyOmtLibrary(const std::string& folder, const PinnedOmtLibrary& pin,
                      const std::string& release, std::string& message);

// Verifies and loads both libraries and resolves their functions. The first call in a process
// decides, with its `setup`; every later call returns the same outcome (and message) at once.
// Registers, once, an exit handler that shuts the library down.
bool LoadOmtLibrary(const OmtLibrarySetup& setup, std::string& message);

// The libraries' functions; to be called only after LoadOmtLibrary succeeded.
const omt::EntryPoints& OmtLibraryFunctions();

}  // namespace tessvark
