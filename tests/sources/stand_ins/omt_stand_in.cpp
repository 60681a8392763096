// Our stand-in for the OMT library "libomt.so": discovery of a scripted address list and receivers
// that hand out frame records of scripted pictures at a steady pace, blocking in receive as the
// real library does. It depends on our "libvmx.so" stand-in, as the real library on its partner.
// Everything is kept under one mutex; the test scripts it through stand_in_control.h.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sources/omt_sdk.h"
#include "stand_in_control.h"
#include "stand_in_pacing.h"

#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" int vmx_stand_in_version();

namespace {

using namespace tessvark;
using stand_in::Clock;

struct Sender {
  int frame_type = omt::kFrameTypeVideo;
  std::uint32_t format = 0;
  int width = 0;
  int height = 0;
  int stride = 0;
  int data_length = 0;
  std::vector<std::uint8_t> pixels;
  std::chrono::milliseconds interval{40};
};

struct Receiver {
  std::string address;
  Clock::time_point next_frame = Clock::now();
  std::uint8_t record[96] = {};
  std::vector<std::uint8_t> pixels;  // valid until the next receive call
};

struct StandIn {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> addresses;
  std::vector<bool> present;         // false: a null entry
  std::vector<std::string> handed;   // the texts of the last discovery call
  std::vector<char*> handed_pointers;
  bool fail_creation = false;
  std::map<std::string, Sender> senders;
  std::uint32_t next_index = 0;
  std::string shutdown_marker;
  OmtStandInCounters counters{};
};

// Made when the library is loaded, before any thread can call into it (the library is built
// without ThreadSanitizer, which would not see a lazy initialisation's guard), and gone with it.
StandIn state;

StandIn& State() { return state; }

template <typename T>
void PutField(std::uint8_t* record, std::size_t offset, T value) {
  std::memcpy(record + offset, &value, sizeof(T));
}

bool TakeDueFrame(StandIn& s, Receiver& receiver, Clock::time_point now,
                  Clock::time_point& wake_at) {
  const auto sender = s.senders.find(receiver.address);
  if (sender == s.senders.end()) return false;
  const Sender& from = sender->second;
  if (!stand_in::TakeTurn(receiver.next_frame, now, from.interval, wake_at)) return false;
  const std::uint32_t index = s.next_index++;
  receiver.pixels = from.pixels;
  if (from.format == omt::kFormatBgra || from.format == omt::kFormatBgrx) {
    stand_in::StampIndex(receiver.pixels.data(), receiver.pixels.size(), index);
  }
  std::memset(receiver.record, 0, sizeof receiver.record);
  PutField<std::int32_t>(receiver.record, omt::kFrameTypeAt, from.frame_type);
  PutField<std::int64_t>(receiver.record, omt::kTimestampAt, index);
  PutField<std::uint32_t>(receiver.record, omt::kPixelFormatAt, from.format);
  PutField<std::int32_t>(receiver.record, omt::kWidthAt, from.width);
  PutField<std::int32_t>(receiver.record, omt::kHeightAt, from.height);
  PutField<std::int32_t>(receiver.record, omt::kStrideAt, from.stride);
  PutField<std::int32_t>(receiver.record, omt::kFrameRateNAt, 50);
  PutField<std::int32_t>(receiver.record, omt::kFrameRateDAt, 1);
  PutField<const std::uint8_t*>(receiver.record, omt::kDataAt, receiver.pixels.data());
  PutField<std::int32_t>(receiver.record, omt::kDataLengthAt, from.data_length);
  ++s.counters.frames_sent;
  return true;
}

}  // namespace

STAND_IN_EXPORT char** omt_discovery_getaddresses(int* count) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.discovery_calls;
  s.handed = s.addresses;
  s.handed_pointers.clear();
  for (std::size_t i = 0; i < s.handed.size(); ++i) {
    s.handed_pointers.push_back(s.present[i] ? s.handed[i].data() : nullptr);
  }
  *count = static_cast<int>(s.handed_pointers.size());
  return s.handed_pointers.empty() ? nullptr : s.handed_pointers.data();
}

STAND_IN_EXPORT void* omt_receive_create(const char* address, int frame_types, int format,
                                         int flags) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.receiver_creates;
  s.counters.create_frame_types = frame_types;
  s.counters.create_format = format;
  s.counters.create_flags = flags;
  std::snprintf(s.counters.created_address, sizeof s.counters.created_address, "%s", address);
  if (s.fail_creation || vmx_stand_in_version() != 1) return nullptr;
  ++s.counters.live_receivers;
  auto* receiver = new Receiver;
  receiver->address = address;
  return receiver;
}

STAND_IN_EXPORT void omt_receive_destroy(void* receiver) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.counters.receiver_destroys;
  --s.counters.live_receivers;
  delete static_cast<Receiver*>(receiver);
}

STAND_IN_EXPORT const void* omt_receive(void* handle, int frame_types, int timeout_ms) {
  StandIn& s = State();
  auto* receiver = static_cast<Receiver*>(handle);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> lock(s.mutex);
  s.counters.receive_frame_types = frame_types;
  s.counters.receive_timeout_ms = timeout_ms;
  while (true) {
    const Clock::time_point now = Clock::now();
    Clock::time_point wake_at = deadline;
    if (TakeDueFrame(s, *receiver, now, wake_at)) return receiver->record;
    if (now >= deadline) return nullptr;
    s.changed.wait_until(lock, wake_at);
  }
}

// Present only so that the library is complete; the receiver never sends.
STAND_IN_EXPORT void* omt_send_create(const char*, int) { return nullptr; }
STAND_IN_EXPORT const char* omt_send_getaddress(void*) { return ""; }
STAND_IN_EXPORT void omt_send_destroy(void*) {}
#ifndef OMT_STAND_IN_WITHOUT_SEND
STAND_IN_EXPORT int omt_send(void*, const void*) { return 0; }
#endif

STAND_IN_EXPORT void omt_shutdown() {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.shutdown_marker.empty()) return;
  if (std::FILE* marker = std::fopen(s.shutdown_marker.c_str(), "w")) std::fclose(marker);
}

STAND_IN_EXPORT void omt_stand_in_set_addresses(const char* const* addresses, int count) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.addresses.clear();
  s.present.clear();
  for (int i = 0; i < count; ++i) {
    s.addresses.emplace_back(addresses[i] == nullptr ? "" : addresses[i]);
    s.present.push_back(addresses[i] != nullptr);
  }
}

STAND_IN_EXPORT void omt_stand_in_fail_creation(bool fail) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fail_creation = fail;
}

STAND_IN_EXPORT void omt_stand_in_send(const char* address, int frame_type, std::uint32_t format,
                                       int width, int height, int stride, int data_length,
                                       const std::uint8_t* pixels, int pixel_bytes,
                                       int interval_ms) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  Sender& sender = s.senders[address];
  sender.frame_type = frame_type;
  sender.format = format;
  sender.width = width;
  sender.height = height;
  sender.stride = stride;
  sender.data_length = data_length;
  sender.pixels.assign(pixels, pixels + pixel_bytes);
  sender.interval = std::chrono::milliseconds(interval_ms);
  s.changed.notify_all();
}

STAND_IN_EXPORT void omt_stand_in_stop_sending(const char* address) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.senders.erase(address);
}

STAND_IN_EXPORT void omt_stand_in_set_shutdown_marker(const char* path) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.shutdown_marker = path;
}

STAND_IN_EXPORT void omt_stand_in_read(OmtStandInCounters* out) {
  StandIn& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  *out = s.counters;
}
