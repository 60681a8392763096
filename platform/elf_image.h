#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessvark {

// The parts of an ELF file that the checks of a vendor library read before it is loaded: the
// stand-in for reading the header and the import table of a Windows library. Only 64-bit
// little-endian x86-64 shared objects are accepted; the bytes are never trusted, every offset is
// checked against their length.

// True when `head` (the first 64 bytes of a file or more) is the header of a 64-bit little-endian
// x86-64 shared object.
bool IsElf64X86SharedObject(std::span<const std::uint8_t> head);

enum class ElfDependencyStatus : std::int32_t {
  kRead = 0,             // the names (possibly none) were read
  kNotSharedObject = 1,  // no such header, or its program header table lies outside the bytes
  kUnreadable = 2,       // the dynamic segment, its string table or a name cannot be reached
};

struct ElfDependencies {
  ElfDependencyStatus status = ElfDependencyStatus::kNotSharedObject;
  std::vector<std::string> needed;  // the DT_NEEDED names in table order
  std::string soname;               // the DT_SONAME name; empty when it has none
};

// Reads the libraries that a whole image names as its dependencies, and its own name. An image
// without a dynamic segment names none. Every name is read whole or the image is unreadable: one
// that does not end within the string table, or within `max_name_bytes`, is never cut short.
ElfDependencies ReadElfDependencies(std::span<const std::uint8_t> image,
                                    std::size_t max_name_bytes);

}  // namespace tessvark
