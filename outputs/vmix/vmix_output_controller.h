#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json_writer.h"
#include "core/mutex.h"
#include "core/state_value.h"
#include "outputs/vmix/vmix_field_check.h"
#include "outputs/vmix/vmix_lan_search.h"
#include "outputs/vmix/vmix_output_config.h"
#include "platform/network_adapters.h"

namespace tessvark {

// The value last written successfully into one field. `key` is the output id, a line feed and
// the field name.
struct VmixLastSent {
  std::string key;
  bool has_value = false;
  StateValue value;
};

// What the interface shows for one mapping.
struct VmixMappingStatus {
  std::string output_id;
  std::optional<std::string> input;
  std::string field;
  std::string source;
  bool output_enabled = true;
  std::string last_status = "idle";  // "idle", "disabled", "sending", "success" or "error"
  std::optional<std::string> last_success;
  std::optional<std::string> last_error;
  std::optional<StateValue> last_value;
  std::optional<std::int64_t> last_sequence;
};

// Returns the current scoreboard state document with its display values.
using VmixValueProvider = std::function<StateValue()>;
// Lists the computer's IPv4 adapters for the network search; tests install their own list.
using VmixAdapterLister = std::function<std::vector<Ipv4AdapterAddress>()>;

// How long the stop waits at most for a blanking that is being sent.
inline constexpr std::chrono::milliseconds kVmixStopClearWait{800};

// "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ" of the system clock in UTC, microseconds always written.
std::string UtcTimestampMicros();

// Adds the display values a sport's sources imply: "period_display" for "period", and
// "down_display" and "down_distance" for "down".
void AddDerivedVmixSources(std::vector<std::string>& sources);

// Carries recognised values into vMix title text fields from its own sender thread ("vmix"), and
// offers the host test, the input listing and the network search (on a thread "vmix-search"). Every
// public operation is safe from any thread and never throws because of vMix. No lock of the
// controller is held while it calls the value provider or talks to vMix; callers may hold their own
// locks (the session's engine mutex) when they call in, so those come before the controller's.
class VmixOutputController {
 public:
  // `lan_probe_timeout` bounds each probe of the network search.
  VmixOutputController(VmixValueProvider provider, VmixAdapterLister adapter_lister,
                       std::chrono::milliseconds stop_clear_wait,
                       std::chrono::milliseconds lan_probe_timeout = kVmixLanProbeTimeout);
  VmixOutputController(const VmixOutputController&) = delete;
  VmixOutputController& operator=(const VmixOutputController&) = delete;
  // StopSender: blanks what the run wrote, ends a network search and joins the sender.
  ~VmixOutputController();

  void StartSender() EXCLUDES(mutex_);
  // Blanks the fields written during the run, ends a running network search and joins the sender
  // thread. It waits (at most the stop's clear wait) only while the sender has a blanking to try
  // now: not without a sender, without a host or while backing off after a failed attempt. May
  // be called again after the sender ended; it then returns at once.
  void StopSender() EXCLUDES(mutex_);

  void ApplyConfig(VmixOutputConfig config) EXCLUDES(mutex_);
  VmixOutputConfig GetConfig() EXCLUDES(mutex_);
  std::string StatusJson() EXCLUDES(mutex_);

  void PublishValues(StateValue values) EXCLUDES(mutex_);
  // Restricts sending to the given sources (plus derived ones) and holds it until ReleaseHold
  // with `id`; without a list the restriction and the hold end.
  void SetActiveSources(std::optional<std::vector<std::string>> sources, std::uint64_t id) EXCLUDES(mutex_);
  void ReleaseHold(std::uint64_t id) EXCLUDES(mutex_);
  void RequestClear() EXCLUDES(mutex_);

  // Asks the host for its API document; reports success or the reason as JSON text and records
  // the outcome as the connection status. Without a configuration the one in force is tested.
  std::string TestConnection(const std::optional<VmixOutputConfig>& config) EXCLUDES(mutex_);
  // Lists the host's inputs and their text fields as JSON text; reads and changes nothing here.
  std::string DiscoverInputs(const VmixOutputConfig& config) EXCLUDES(mutex_);
  // The mappings of `config` that its host cannot show (FindUnknownVmixFields), asked of the host
  // now; none when no host is set, the host does not answer or its answer is not vMix's. The
  // host test's reply carries the same list as "field_warnings" when it is not empty.
  std::vector<VmixFieldWarning> CheckMappedFields(const VmixOutputConfig& config) EXCLUDES(mutex_);

  std::string StartLanSearch(const std::string& host, std::int32_t port)
      EXCLUDES(search_.thread_mutex, search_.state_mutex);
  std::string LanSearchStatusJson() EXCLUDES(search_.thread_mutex, search_.state_mutex);
  std::string CancelLanSearch() EXCLUDES(search_.thread_mutex, search_.state_mutex);

 private:
  struct PassItem {
    // Empty for a field that no mapping writes any more.
    std::string output_id;
    std::string field;
    std::string input;
    StateValue value;
    bool blank = false;  // sends empty text instead of the value
  };
  enum class SendOutcome { kSent = 0, kFailed = 1, kAbandoned = 2 };

  void RunSender() EXCLUDES(mutex_);
  void SendValues(const VmixOutputConfig& cfg, const StateValue& snapshot, bool all, std::uint64_t gen)
      EXCLUDES(mutex_);
  // Blanks every mapped field and the retired ones; a field whose value is `known` (published
  // since the clear was asked for) gets that value instead.
  void ClearMappedFields(const VmixOutputConfig& cfg, const std::optional<StateValue>& known, std::uint64_t gen)
      EXCLUDES(mutex_);
  void BlankRetiredFields(const VmixOutputConfig& cfg, std::uint64_t gen) EXCLUDES(mutex_);
  // Queues one blank for each field `before` wrote text into that `after` no longer writes.
  void RetireFieldsOutOfUse(const VmixOutputConfig& before, const VmixOutputConfig& after) REQUIRES(mutex_);
  bool IsActiveSource(const std::string& source) const REQUIRES(mutex_);
  SendOutcome SendValue(const VmixOutputConfig& cfg, std::uint64_t gen, const PassItem& item, bool clearing)
      EXCLUDES(mutex_);
  void NoteMissingHost() EXCLUDES(mutex_);
  void RecordPassSuccess(const StateValue& snapshot, bool any_sent) REQUIRES(mutex_);
  void RememberSentValue(const std::string& output_id, const std::string& field, const StateValue& value)
      REQUIRES(mutex_);
  const VmixLastSent* FindLastSent(const std::string& output_id, const std::string& field) const
      REQUIRES(mutex_);
  VmixMappingStatus* FindMappingStatus(const std::string& output_id, const std::string& field)
      REQUIRES(mutex_);
  VmixMappingStatus* ShownStatus(const VmixOutputConfig& cfg, const PassItem& item, bool clearing)
      REQUIRES(mutex_);
  void RebuildMappingStatuses() REQUIRES(mutex_);
  void ResetStatusesOf(const std::vector<std::string>* output_ids) REQUIRES(mutex_);
  void WriteStatusObjectLocked(JsonWriter& out) const REQUIRES(mutex_);
  std::string StatusJsonLocked() REQUIRES(mutex_);
  std::string LanSearchStatusJsonLocked() REQUIRES(search_.state_mutex);
  void RunLanSearch(std::vector<VmixLanTarget> targets, std::vector<std::string> own_addresses,
                    std::int64_t started_at) EXCLUDES(search_.state_mutex);

  const VmixValueProvider provider_;
  const VmixAdapterLister adapter_lister_;
  const std::chrono::milliseconds stop_clear_wait_;
  const std::chrono::milliseconds lan_probe_timeout_;

  // The controller lock. Never held while the provider runs or a request to vMix is in flight.
  // It and the search's mutexes (search_) are never held together, which no annotation can
  // say: StopSender releases the search's before it takes this one.
  Mutex mutex_;
  CondVar wake_{mutex_};
  VmixOutputConfig config_ GUARDED_BY(mutex_);
  bool clear_requested_ GUARDED_BY(mutex_) = false;
  // The generation of the newest clear pass that has ended, however it ended.
  std::uint64_t clear_pass_ended_ GUARDED_BY(mutex_) = 0;
  bool pending_valid_ GUARDED_BY(mutex_) = false;
  bool queued_valid_ GUARDED_BY(mutex_) = false;
  StateValue pending_values_ GUARDED_BY(mutex_);
  StateValue queued_values_ GUARDED_BY(mutex_);
  bool send_all_ GUARDED_BY(mutex_) = true;
  double retry_at_ GUARDED_BY(mutex_) = 0.0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool started_ GUARDED_BY(mutex_) = false;
  std::uint64_t generation_ GUARDED_BY(mutex_) = 1;
  bool restrict_sources_ GUARDED_BY(mutex_) = false;
  bool held_ GUARDED_BY(mutex_) = false;
  std::uint64_t hold_id_ GUARDED_BY(mutex_) = 0;
  std::vector<std::string> active_sources_ GUARDED_BY(mutex_);
  std::vector<VmixLastSent> last_sent_ GUARDED_BY(mutex_);
  // Fields a saved configuration took out of use that still show text, each to be blanked once.
  std::vector<PassItem> retired_ GUARDED_BY(mutex_);
  std::vector<VmixMappingStatus> mapping_statuses_ GUARDED_BY(mutex_);
  bool connected_ GUARDED_BY(mutex_) = false;
  std::optional<std::string> last_success_ GUARDED_BY(mutex_);
  std::optional<std::string> last_error_ GUARDED_BY(mutex_);
  std::optional<std::int64_t> last_sequence_sent_ GUARDED_BY(mutex_);
  std::thread sender_ GUARDED_BY(mutex_);

  // Set by StopSender without the lock so that a request in flight ends within one poll slice.
  std::atomic<bool> request_stop_{false};

  VmixLanSearchState search_;
};

using VmixOutputControllerPtr = std::unique_ptr<VmixOutputController>;

// Makes a controller with the default configuration; no thread runs yet. Without an adapter
// lister the network search reads the computer's adapters.
VmixOutputControllerPtr MakeVmixOutputController(VmixValueProvider provider,
                                                 VmixAdapterLister adapter_lister = {},
                                                 std::chrono::milliseconds stop_clear_wait = kVmixStopClearWait,
                                                 std::chrono::milliseconds lan_probe_timeout = kVmixLanProbeTimeout);

}  // namespace tessvark
