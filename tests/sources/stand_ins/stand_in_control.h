#pragma once

// The extra functions of our NDI and OMT stand-in libraries through which a test scripts them
// and reads back what the program did with them. The tests find them in the loaded library by
// name; the stand-ins define them.

#include <cstdint>

extern "C" {

// Calls into the NDI stand-in and what they were given.
struct NdiStandInCounters {
  std::int64_t initialize_calls;
  std::int64_t destroy_calls;
  std::int64_t finder_creates;
  std::int64_t finder_destroys;
  std::int64_t zero_waits;          // discovery waits with a time-out of 0
  std::int64_t source_reads;        // reads of the current source list
  std::int64_t receiver_creates;
  std::int64_t receiver_destroys;
  std::int64_t connects;            // connections to a source
  std::int64_t disconnects;         // connects with no source
  std::int64_t video_sent;
  std::int64_t video_freed;
  std::int64_t audio_freed;
  std::int64_t metadata_freed;
  std::int32_t color_format;        // of the last receiver created
  std::int32_t bandwidth;
  std::int32_t allow_video_fields;
  char receiver_name[32];
  char connected_name[128];         // the last source connected to ("" after a disconnect)
  char connected_url[128];          // its URL address as passed ("(null)" for none)
};

using NdiStandInSetInitializeResult = void (*)(bool result);
using NdiStandInFailCreation = void (*)(bool finder, bool receiver);
// Replaces the discovery list; `names` and `urls` may hold null entries. When `announce` is
// false, a waiting finder is not told: only a full read sees the new list.
using NdiStandInSetSources = void (*)(const char* const* names, const char* const* urls,
                                      int count, bool announce);
// Makes `name` send a copy of `pixels` (height rows of `stride` bytes in `fourcc`) every
// `interval_ms`, each copy with its index in the first pixel's first three bytes (low byte first).
using NdiStandInSend = void (*)(const char* name, const std::uint8_t* pixels, int width,
                                int height, int stride, std::uint32_t fourcc, int interval_ms);
using NdiStandInStopSending = void (*)(const char* name);
// The next captures return this many errors, audio frames and metadata frames first.
using NdiStandInQueue = void (*)(int errors, int audio, int metadata);
using NdiStandInSetDropped = void (*)(std::int64_t dropped);
using NdiStandInRead = void (*)(NdiStandInCounters* out);

// Calls into the OMT stand-in and what they were given.
struct OmtStandInCounters {
  std::int64_t discovery_calls;
  std::int64_t receiver_creates;    // calls, successful or not
  std::int64_t receiver_destroys;
  std::int64_t live_receivers;
  std::int64_t frames_sent;
  std::int32_t create_frame_types;  // the arguments of the last receiver creation
  std::int32_t create_format;
  std::int32_t create_flags;
  std::int32_t receive_frame_types; // the arguments of the last receive call
  std::int32_t receive_timeout_ms;
  char created_address[128];
};

using OmtStandInSetAddresses = void (*)(const char* const* addresses, int count);
using OmtStandInFailCreation = void (*)(bool fail);
// Makes `address` send a copy of `pixels` every `interval_ms` as a record of `frame_type` with
// this format, size, stride (as the record gives it) and data length; a BGRA or BGRX copy carries
// its index in the first pixel's first three bytes (low byte first).
using OmtStandInSend = void (*)(const char* address, int frame_type, std::uint32_t format,
                                int width, int height, int stride, int data_length,
                                const std::uint8_t* pixels, int pixel_bytes, int interval_ms);
using OmtStandInStopSending = void (*)(const char* address);
// A file that the library's shutdown call creates.
using OmtStandInSetShutdownMarker = void (*)(const char* path);
using OmtStandInRead = void (*)(OmtStandInCounters* out);

}  // extern "C"
