#pragma once

#include <cstddef>

namespace tessvark {

// Fills `length` bytes from the kernel's random source (getrandom(2)), blocking until it is
// seeded. Returns false when the source fails; the buffer content is then unspecified.
bool FillRandomBytes(void* buffer, std::size_t length);

}  // namespace tessvark
