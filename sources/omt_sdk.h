#pragma once

// Our own declarations of the functions of the OMT libraries that the program calls, and of the
// fields of their frame record that it reads (by byte offset, in the library's C layout).

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sources/four_cc.h"

namespace tessvark::omt {

using ReceiverHandle = void*;

extern "C" {
using DiscoveryFunction = char** (*)(int* count);
using ReceiveCreateFunction = ReceiverHandle (*)(const char* address, int frame_types,
                                                 int preferred_format, int flags);
using ReceiveDestroyFunction = void (*)(ReceiverHandle receiver);
using ReceiveFunction = const void* (*)(ReceiverHandle receiver, int frame_types, int timeout_ms);
using ShutdownFunction = void (*)();
using AnyFunction = void (*)();
}

// The picture formats the receiver converts.
inline constexpr std::uint32_t kFormatBgra = FourCc('B', 'G', 'R', 'A');
inline constexpr std::uint32_t kFormatBgrx = FourCc('B', 'G', 'R', 'X');
inline constexpr std::uint32_t kFormatUyvy = FourCc('U', 'Y', 'V', 'Y');

// The arguments the receiver passes: video frames only, in the library's preferred picture form.
inline constexpr int kFrameTypeVideo = 2;
inline constexpr int kPreferredVideoFormat = 2;
inline constexpr int kReceiveFlags = 0;

// Fields of a frame record: byte offset and type.
inline constexpr std::size_t kFrameTypeAt = 0;        // int32
inline constexpr std::size_t kTimestampAt = 8;        // int64
inline constexpr std::size_t kPixelFormatAt = 16;     // int32 four-character code
inline constexpr std::size_t kWidthAt = 20;           // int32
inline constexpr std::size_t kHeightAt = 24;          // int32
inline constexpr std::size_t kStrideAt = 28;          // int32, 0 or less: not given
inline constexpr std::size_t kFrameRateNAt = 36;      // int32
inline constexpr std::size_t kFrameRateDAt = 40;      // int32
inline constexpr std::size_t kDataAt = 64;            // pointer to the pixels
inline constexpr std::size_t kDataLengthAt = 72;      // int32
inline constexpr std::size_t kFrameRecordBytes = 76;  // what the receiver reads of a record

template <typename T>
T FrameField(const void* record, std::size_t offset) {
  T value{};
  std::memcpy(&value, static_cast<const std::uint8_t*>(record) + offset, sizeof(T));
  return value;
}

// The libraries' functions. The send functions are never called; a library without them is
// refused all the same. Discovery, receiving and shutdown are what the receiver uses.
struct EntryPoints {
  DiscoveryFunction discovery_getaddresses = nullptr;
  ReceiveCreateFunction receive_create = nullptr;
  ReceiveDestroyFunction receive_destroy = nullptr;
  ReceiveFunction receive = nullptr;
  AnyFunction send_create = nullptr;
  AnyFunction send_getaddress = nullptr;  // optional
  AnyFunction send_destroy = nullptr;
  AnyFunction send = nullptr;
  ShutdownFunction shutdown = nullptr;    // optional
};

}  // namespace tessvark::omt
