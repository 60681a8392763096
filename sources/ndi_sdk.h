#pragma once

// Our own declarations of the records and functions of the NDI runtime library that the program
// calls, in the C layout that library uses. Only what the receiver reads or passes is named.

#include <cstdint>

#include "sources/four_cc.h"

namespace tessvark::ndi {

// A sender as discovery lists it and as a receiver connects to it; either text may be null.
struct Source {
  const char* ndi_name = nullptr;
  const char* url_address = nullptr;
};

inline constexpr std::int32_t kColorFormatBgrxBgra = 0;
inline constexpr std::int32_t kBandwidthHighest = 100;

struct ReceiverSettings {
  Source source_to_connect_to;
  std::int32_t color_format = kColorFormatBgrxBgra;
  std::int32_t bandwidth = kBandwidthHighest;
  bool allow_video_fields = false;
  const char* receiver_name = nullptr;
};

inline constexpr std::uint32_t kFourCcBgrx = FourCc('B', 'G', 'R', 'X');
inline constexpr std::uint32_t kFourCcBgra = FourCc('B', 'G', 'R', 'A');

struct VideoFrame {
  std::int32_t xres = 0;
  std::int32_t yres = 0;
  std::uint32_t fourcc = 0;
  std::int32_t frame_rate_n = 0;
  std::int32_t frame_rate_d = 0;
  float picture_aspect_ratio = 0.0f;
  std::int32_t frame_format_type = 0;
  std::int64_t timecode = 0;
  std::uint8_t* data = nullptr;
  std::int32_t line_stride_in_bytes = 0;
  const char* metadata = nullptr;
  std::int64_t timestamp = 0;
};

struct AudioFrame {
  std::int32_t sample_rate = 0;
  std::int32_t channels = 0;
  std::int32_t samples = 0;
  std::int64_t timecode = 0;
  std::uint32_t fourcc = 0;
  std::uint8_t* data = nullptr;
  std::int32_t channel_stride_in_bytes = 0;
  const char* metadata = nullptr;
  std::int64_t timestamp = 0;
};

struct MetadataFrame {
  std::int32_t length = 0;
  std::int64_t timecode = 0;
  char* data = nullptr;
};

struct ReceiverPerformance {
  std::int64_t video_frames = 0;
  std::int64_t audio_frames = 0;
  std::int64_t metadata_frames = 0;
};

// What a capture returned.
enum FrameType : std::int32_t {
  kFrameNone = 0,
  kFrameVideo = 1,
  kFrameAudio = 2,
  kFrameMetadata = 3,
  kFrameError = 4,
};

using FindHandle = void*;
using ReceiverHandle = void*;

extern "C" {
using InitializeFunction = bool (*)();
using DestroyFunction = void (*)();
using FindCreateFunction = FindHandle (*)(const void* settings);
using FindDestroyFunction = void (*)(FindHandle finder);
using FindWaitFunction = bool (*)(FindHandle finder, std::uint32_t timeout_ms);
using FindCurrentSourcesFunction = const Source* (*)(FindHandle finder, std::uint32_t* count);
using ReceiverCreateFunction = ReceiverHandle (*)(const ReceiverSettings* settings);
using ReceiverDestroyFunction = void (*)(ReceiverHandle receiver);
using ReceiverConnectFunction = void (*)(ReceiverHandle receiver, const Source* source);
using CaptureFunction = FrameType (*)(ReceiverHandle receiver, VideoFrame* video, AudioFrame* audio,
                                      MetadataFrame* metadata, std::uint32_t timeout_ms);
using FreeVideoFunction = void (*)(ReceiverHandle receiver, const VideoFrame* video);
using FreeAudioFunction = void (*)(ReceiverHandle receiver, const AudioFrame* audio);
using FreeMetadataFunction = void (*)(ReceiverHandle receiver, const MetadataFrame* metadata);
using PerformanceFunction = void (*)(ReceiverHandle receiver, ReceiverPerformance* total,
                                     ReceiverPerformance* dropped);
}

// The library's functions, resolved together or not at all.
struct EntryPoints {
  InitializeFunction initialize = nullptr;
  DestroyFunction destroy = nullptr;
  FindCreateFunction find_create = nullptr;
  FindDestroyFunction find_destroy = nullptr;
  FindWaitFunction find_wait_for_sources = nullptr;
  FindCurrentSourcesFunction find_get_current_sources = nullptr;
  ReceiverCreateFunction recv_create = nullptr;
  ReceiverDestroyFunction recv_destroy = nullptr;
  ReceiverConnectFunction recv_connect = nullptr;
  CaptureFunction recv_capture = nullptr;
  FreeVideoFunction recv_free_video = nullptr;
  FreeAudioFunction recv_free_audio = nullptr;
  FreeMetadataFunction recv_free_metadata = nullptr;
  PerformanceFunction recv_get_performance = nullptr;
};

}  // namespace tessvark::ndi
