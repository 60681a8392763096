#include "platform/sealed_copy.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tessvark {
namespace {

constexpr int kSeals = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;
// Kernels that can forbid running a memfd want it asked for (MFD_EXEC, newer than the headers of
// some systems); older ones refuse the flag and run any memfd.
constexpr unsigned kMemfdExec = 0x0010U;
constexpr std::size_t kCopyChunk = 1 << 16;

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies from the start of `from`, whatever its offset.
bool CopyAll(int from, int to) {
  std::vector<char> buffer(kCopyChunk);
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(from, buffer.data(), buffer.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n))) return false;
    offset += n;
  }
}

}  // namespace

UniqueFd MakeSealedCopy(int fd, const std::string& name) {
  UniqueFd copy(memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING | kMemfdExec));
  if (!copy.valid() && errno == EINVAL) {
    copy.Reset(memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
  }
  if (!copy.valid() || fchmod(copy.get(), 0500) != 0 || !CopyAll(fd, copy.get()) ||
      fcntl(copy.get(), F_ADD_SEALS, kSeals) != 0 ||
      (fcntl(copy.get(), F_GET_SEALS) & kSeals) != kSeals) {
    return UniqueFd();
  }
  // The descriptor memfd_create gave may write (until the seal refuses it) and would keep the
  // copy from being run; a read-only one takes its place.
  return UniqueFd(
      open(("/proc/self/fd/" + std::to_string(copy.get())).c_str(), O_RDONLY | O_CLOEXEC));
}

}  // namespace tessvark
