// Our stand-in for the NDI runtime library: discovery of a scripted sender list and receivers that
// deliver copies of scripted pictures at a steady pace, blocking in capture as the real library
// does. Everything is kept under one mutex; the test scripts it through stand_in_control.h.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sources/ndi_sdk.h"
#include "stand_in_control.h"
#include "stand_in_pacing.h"

#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace tessvark;
using stand_in::Clock;

struct Sender {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  int stride = 0;
  std::uint32_t fourcc = 0;
  std::chrono::milliseconds interval{40};
};

struct Finder {
  std::uint64_t seen_version = 0;
  std::vector<std::string> names;  // keep the texts of the last read alive
  std::vector<std::string> urls;
  std::vector<ndi::Source> records;
};

struct Receiver {
  std::optional<std::string> connected;
  Clock::time_point next_frame;
};

struct StandIn {
  std::mutex mutex;
  std::condition_variable changed;
  bool initialize_result = true;
  bool fail_finder = false;
  bool fail_receiver = false;
  std::vector<std::optional<std::string>> names;
  std::vector<std::optional<std::string>> urls;
  std::uint64_t version = 0;           // raised by announced list changes
  std::map<std::string, Sender> senders;
  int errors = 0;
  int audio = 0;
  int metadata = 0;
  std::int64_t dropped = 0;
  std::uint32_t next_index = 0;
  NdiStandInCounters counters{};
};

// Made when the library is loaded, before any thread can call into it (the library is built
// without ThreadSanitizer, which would not see a lazy initialisation's guard), and gone with it.
StandIn state;

StandIn& State() { return state; }

void CopyText(char* target, std::size_t size, const char* text) {
  std::snprintf(target, size, "%s", text == nullptr ? "(null)" : text);
}

std::optional<std::string> OptionalText(const char* text) {
  return text == nullptr ? std::nullopt : std::optional<std::string>(text);
}

// The next picture of the sender the receiver is connected to, when one is due.
bool TakeDueFrame(StandIn& s, Receiver& receiver, Clock::time_point now, ndi::VideoFrame* video,
                  Clock::time_point& wake_at) {
  if (!receiver.connected) return false;
  const auto sender = s.senders.find(*receiver.connected);
  if (sender == s.senders.end()) return false;
  const Sender& from = sender->second;
  if (!stand_in::TakeTurn(receiver.next_frame, now, from.interval, wake_at)) return false;
  const std::uint32_t index = s.next_index++;
  auto* data = new std::uint8_t[from.pixels.size()];
  std::memcpy(data, from.pixels.data(), from.pixels.size());
  stand_in::StampIndex(data, from.pixels.size(), index);
  *video = ndi::VideoFrame{};
  video->xres = from.width;
  video->yres = from.height;
  video->fourcc = from.fourcc;
  video->frame_rate_n = 30000;
  video->frame_rate_d = 1001;
  video->timecode = index;
  video->data = data;
  video->line_stride_in_bytes = from.stride;
  ++s.counters.video_sent;
  return true;
}

}  // namespace

STAND_IN_EXPORT bool NDIlib_initialize() {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.initialize_calls;
  return s.initialize_result;
}

STAND_IN_EXPORT void NDIlib_destroy() {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.destroy_calls;
}

STAND_IN_EXPORT void* NDIlib_find_create_v2(const void*) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.finder_creates;
  return s.fail_finder ? nullptr : new Finder;
}

STAND_IN_EXPORT void NDIlib_find_destroy(void* finder) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.finder_destroys;
  delete static_cast<Finder*>(finder);
}

STAND_IN_EXPORT bool NDIlib_find_wait_for_sources(void* handle, std::uint32_t timeout_ms) {
  StandIn& s = State();
  auto* finder = static_cast<Finder*>(handle);
  std::unique_lock<std::mutex> lock(s.mutex);
  if (timeout_ms == 0) ++s.counters.zero_waits;
  s.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                     [&] { return finder->seen_version != s.version; });
  const bool changed = finder->seen_version != s.version;
  finder->seen_version = s.version;
  return changed;
}

STAND_IN_EXPORT const ndi::Source* NDIlib_find_get_current_sources(void* handle,
                                                                  std::uint32_t* count) {
  StandIn& s = State();
  auto* finder = static_cast<Finder*>(handle);
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.source_reads;
  finder->names.assign(s.names.size(), std::string());
  finder->urls.assign(s.urls.size(), std::string());
  finder->records.assign(s.names.size(), ndi::Source{});
  for (std::size_t i = 0; i < s.names.size(); ++i) {
    if (s.names[i]) {
      finder->names[i] = *s.names[i];
      finder->records[i].ndi_name = finder->names[i].c_str();
    }
    if (s.urls[i]) {
      finder->urls[i] = *s.urls[i];
      finder->records[i].url_address = finder->urls[i].c_str();
    }
  }
  *count = static_cast<std::uint32_t>(finder->records.size());
  return finder->records.data();
}

STAND_IN_EXPORT void* NDIlib_recv_create_v3(const ndi::ReceiverSettings* settings) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.receiver_creates;
  s.counters.color_format = settings->color_format;
  s.counters.bandwidth = settings->bandwidth;
  s.counters.allow_video_fields = settings->allow_video_fields ? 1 : 0;
  CopyText(s.counters.receiver_name, sizeof s.counters.receiver_name, settings->receiver_name);
  return s.fail_receiver ? nullptr : new Receiver;
}

STAND_IN_EXPORT void NDIlib_recv_destroy(void* receiver) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.receiver_destroys;
  delete static_cast<Receiver*>(receiver);
}

STAND_IN_EXPORT void NDIlib_recv_connect(void* handle, const ndi::Source* source) {
  StandIn& s = State();
  auto* receiver = static_cast<Receiver*>(handle);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (source == nullptr || source->ndi_name == nullptr) {
    ++s.counters.disconnects;
    receiver->connected.reset();
    CopyText(s.counters.connected_name, sizeof s.counters.connected_name, "");
    return;
  }
  ++s.counters.connects;
  receiver->connected = source->ndi_name;
  receiver->next_frame = Clock::now();
  CopyText(s.counters.connected_name, sizeof s.counters.connected_name, source->ndi_name);
  CopyText(s.counters.connected_url, sizeof s.counters.connected_url, source->url_address);
  s.changed.notify_all();
}

STAND_IN_EXPORT ndi::FrameType NDIlib_recv_capture_v3(void* handle, ndi::VideoFrame* video,
                                                     ndi::AudioFrame* audio,
                                                     ndi::MetadataFrame* metadata,
                                                     std::uint32_t timeout_ms) {
  StandIn& s = State();
  auto* receiver = static_cast<Receiver*>(handle);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(s.mutex);
  while (true) {
    if (s.errors > 0) {
      --s.errors;
      return ndi::kFrameError;
    }
    if (s.audio > 0) {
      --s.audio;
      *audio = ndi::AudioFrame{};
      return ndi::kFrameAudio;
    }
    if (s.metadata > 0) {
      --s.metadata;
      *metadata = ndi::MetadataFrame{};
      return ndi::kFrameMetadata;
    }
    const Clock::time_point now = Clock::now();
    Clock::time_point wake_at = deadline;
    if (TakeDueFrame(s, *receiver, now, video, wake_at)) return ndi::kFrameVideo;
    if (now >= deadline) return ndi::kFrameNone;
    s.changed.wait_until(lock, wake_at);
  }
}

STAND_IN_EXPORT void NDIlib_recv_free_video_v2(void*, const ndi::VideoFrame* video) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.video_freed;
  delete[] video->data;
}

STAND_IN_EXPORT void NDIlib_recv_free_audio_v3(void*, const ndi::AudioFrame*) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.audio_freed;
}

STAND_IN_EXPORT void NDIlib_recv_free_metadata(void*, const ndi::MetadataFrame*) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.metadata_freed;
}

#ifndef NDI_STAND_IN_WITHOUT_PERFORMANCE
STAND_IN_EXPORT void NDIlib_recv_get_performance(void*, ndi::ReceiverPerformance* total,
                                                 ndi::ReceiverPerformance* dropped) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (total != nullptr) *total = ndi::ReceiverPerformance{s.counters.video_sent, 0, 0};
  if (dropped != nullptr) *dropped = ndi::ReceiverPerformance{s.dropped, 0, 0};
}
#endif

STAND_IN_EXPORT void ndi_stand_in_set_initialize_result(bool result) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.initialize_result = result;
}

STAND_IN_EXPORT void ndi_stand_in_fail_creation(bool finder, bool receiver) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fail_finder = finder;
  s.fail_receiver = receiver;
}

STAND_IN_EXPORT void ndi_stand_in_set_sources(const char* const* names, const char* const* urls,
                                              int count, bool announce) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.names.clear();
  s.urls.clear();
  for (int i = 0; i < count; ++i) {
    s.names.push_back(OptionalText(names[i]));
    s.urls.push_back(OptionalText(urls == nullptr ? nullptr : urls[i]));
  }
  if (announce) {
    ++s.version;
    s.changed.notify_all();
  }
}

STAND_IN_EXPORT void ndi_stand_in_send(const char* name, const std::uint8_t* pixels, int width,
                                       int height, int stride, std::uint32_t fourcc,
                                       int interval_ms) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  Sender& sender = s.senders[name];
  sender.pixels.assign(pixels, pixels + static_cast<std::size_t>(stride) * height);
  sender.width = width;
  sender.height = height;
  sender.stride = stride;
  sender.fourcc = fourcc;
  sender.interval = std::chrono::milliseconds(interval_ms);
  s.changed.notify_all();
}

STAND_IN_EXPORT void ndi_stand_in_stop_sending(const char* name) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.senders.erase(name);
}

STAND_IN_EXPORT void ndi_stand_in_queue(int errors, int audio, int metadata) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.errors += errors;
  s.audio += audio;
  s.metadata += metadata;
  s.changed.notify_all();
}

STAND_IN_EXPORT void ndi_stand_in_set_dropped(std::int64_t dropped) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.dropped = dropped;
}

STAND_IN_EXPORT void ndi_stand_in_read(NdiStandInCounters* out) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  *out = s.counters;
}
