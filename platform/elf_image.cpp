#include "platform/elf_image.h"

#include <cstring>
#include <optional>

namespace tessvark {
namespace {

constexpr std::size_t kHeaderBytes = 64;
constexpr std::uint16_t kTypeSharedObject = 3;  // ET_DYN
constexpr std::uint16_t kMachineX86_64 = 62;    // EM_X86_64
constexpr std::size_t kProgramHeaderBytes = 56;
constexpr std::uint32_t kSegmentLoad = 1;       // PT_LOAD
constexpr std::uint32_t kSegmentDynamic = 2;    // PT_DYNAMIC
constexpr std::size_t kDynamicEntryBytes = 16;
constexpr std::int64_t kTagNull = 0;
constexpr std::int64_t kTagNeeded = 1;
constexpr std::int64_t kTagStringTable = 5;
constexpr std::int64_t kTagStringTableSize = 10;
constexpr std::int64_t kTagSharedObjectName = 14;

template <typename T>
T ReadLittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset) {
  T value{};
  std::memcpy(&value, bytes.data() + offset, sizeof(T));  // the host is little-endian x86-64
  return value;
}

// True when [offset, offset + length) lies within `size` without overflowing.
bool WithinBytes(std::uint64_t offset, std::uint64_t length, std::size_t size) {
  return offset <= size && length <= size - offset;
}

struct LoadSegment {
  std::uint64_t offset;
  std::uint64_t address;
  std::uint64_t file_size;
};

// The file offset of a virtual address that a loaded segment holds from the file.
std::optional<std::uint64_t> FileOffsetOf(const std::vector<LoadSegment>& loads,
                                          std::uint64_t address) {
  for (const LoadSegment& load : loads) {
    if (address >= load.address && address - load.address < load.file_size) {
      return load.offset + (address - load.address);
    }
  }
  return std::nullopt;
}

}  // namespace

bool IsElf64X86SharedObject(std::span<const std::uint8_t> head) {
  if (head.size() < kHeaderBytes) return false;
  static constexpr std::uint8_t kMagic[] = {0x7F, 'E', 'L', 'F', 2 /* 64-bit */, 1 /* LE */};
  if (std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return false;
  return ReadLittleEndian<std::uint16_t>(head, 16) == kTypeSharedObject &&
         ReadLittleEndian<std::uint16_t>(head, 18) == kMachineX86_64;
}

ElfDependencies ReadElfDependencies(std::span<const std::uint8_t> image,
                                    std::size_t max_name_bytes) {
  ElfDependencies result;
  if (!IsElf64X86SharedObject(image)) return result;
  const auto table = ReadLittleEndian<std::uint64_t>(image, 32);
  const auto entry_size = ReadLittleEndian<std::uint16_t>(image, 54);
  const auto count = ReadLittleEndian<std::uint16_t>(image, 56);
  if (entry_size != kProgramHeaderBytes || count == 0 ||
      !WithinBytes(table, std::uint64_t{count} * kProgramHeaderBytes, image.size())) {
    return result;
  }

  std::vector<LoadSegment> loads;
  std::optional<LoadSegment> dynamic;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t at = static_cast<std::size_t>(table) + i * kProgramHeaderBytes;
    const auto type = ReadLittleEndian<std::uint32_t>(image, at);
    const LoadSegment segment{ReadLittleEndian<std::uint64_t>(image, at + 8),
                              ReadLittleEndian<std::uint64_t>(image, at + 16),
                              ReadLittleEndian<std::uint64_t>(image, at + 32)};
    if (type == kSegmentLoad) loads.push_back(segment);
    if (type == kSegmentDynamic && !dynamic) dynamic = segment;
  }
  result.status = ElfDependencyStatus::kRead;
  if (!dynamic || dynamic->file_size == 0) return result;
  if (!WithinBytes(dynamic->offset, dynamic->file_size, image.size())) {
    result.status = ElfDependencyStatus::kUnreadable;
    return result;
  }

  std::vector<std::uint64_t> name_offsets;
  std::optional<std::uint64_t> soname_offset;
  std::optional<std::uint64_t> strings_address;
  std::optional<std::uint64_t> strings_size;
  for (std::uint64_t at = dynamic->offset;
       at + kDynamicEntryBytes <= dynamic->offset + dynamic->file_size; at += kDynamicEntryBytes) {
    const auto tag = ReadLittleEndian<std::int64_t>(image, static_cast<std::size_t>(at));
    const auto value = ReadLittleEndian<std::uint64_t>(image, static_cast<std::size_t>(at + 8));
    if (tag == kTagNull) break;
    if (tag == kTagNeeded) name_offsets.push_back(value);
    if (tag == kTagSharedObjectName && !soname_offset) soname_offset = value;
    if (tag == kTagStringTable) strings_address = value;
    if (tag == kTagStringTableSize) strings_size = value;
  }
  if (name_offsets.empty() && !soname_offset) return result;

  result.status = ElfDependencyStatus::kUnreadable;
  const std::optional<std::uint64_t> strings =
      strings_address ? FileOffsetOf(loads, *strings_address) : std::nullopt;
  if (!strings || *strings >= image.size()) return result;
  std::uint64_t strings_end = image.size();
  if (strings_size && WithinBytes(*strings, *strings_size, image.size())) {
    strings_end = *strings + *strings_size;
  }
  // One name, whole: it must end with its zero byte inside the table and the length limit.
  const auto read_name = [&](std::uint64_t offset, std::string& name) {
    if (offset >= strings_end - *strings) return false;
    const std::size_t begin = static_cast<std::size_t>(*strings + offset);
    std::size_t end = begin;
    while (end < strings_end && end - begin <= max_name_bytes && image[end] != 0) ++end;
    if (end == strings_end || end - begin > max_name_bytes) return false;
    name.assign(reinterpret_cast<const char*>(image.data() + begin), end - begin);
    return true;
  };
  for (const std::uint64_t offset : name_offsets) {
    std::string name;
    if (!read_name(offset, name)) {
      result.needed.clear();
      return result;
    }
    result.needed.push_back(std::move(name));
  }
  if (soname_offset && !read_name(*soname_offset, result.soname)) {
    result.needed.clear();
    return result;
  }
  result.status = ElfDependencyStatus::kRead;
  return result;
}

}  // namespace tessvark
