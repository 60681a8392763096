#include "outputs/vmix/vmix_output_controller.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>

#include "core/steady_clock.h"
#include "outputs/vmix/vmix_http_client.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_set_text.h"
#include "platform/thread_name.h"

namespace tessvark {
namespace {

constexpr double kRequestTimeoutSeconds = 1.0;
constexpr double kRetryDelaySeconds = 2.0;

std::string LastSentKey(const std::string& output_id, const std::string& field) {
  return output_id + "\n" + field;
}

std::optional<std::int64_t> SequenceOf(const StateValue& snapshot, bool accept_double) {
  if (snapshot.kind != StateKind::kObject) return std::nullopt;
  const StateValue* sequence = snapshot.Find("sequence");
  if (sequence == nullptr) return std::nullopt;
  if (sequence->kind == StateKind::kInt) return sequence->int_value;
  if (accept_double && sequence->kind == StateKind::kDouble) {
    const double value = sequence->double_value;
    // Only values an int64 can hold are converted.
    if (value > -9.2e18 && value < 9.2e18) return static_cast<std::int64_t>(value);
  }
  return std::nullopt;
}

std::string StateJsonOrNull(const StateValue& value) {
  try {
    return value.ToJson(false);
  } catch (const std::exception&) {
    // A value that cannot be written as JSON (a non-finite number) is shown as unknown.
    return "null";
  }
}

// One field the sender writes: the mapping of an enabled output with an input.
struct WrittenField {
  const VmixOutput* output;
  const VmixMapping* mapping;
  const std::string* input;
};

// Each field of each input once, the first mapping that writes it winning: a file stored before
// such mappings were refused may map one field twice, and vMix takes each value once.
std::vector<WrittenField> WrittenFields(const VmixOutputConfig& cfg) {
  std::vector<WrittenField> fields;
  for (const VmixOutput& output : cfg.outputs) {
    const std::optional<std::string>& input = VmixInputReference(output);
    if (!output.enabled || !input) continue;
    for (const VmixMapping& mapping : output.mappings) {
      const bool written = std::any_of(fields.begin(), fields.end(), [&](const WrittenField& field) {
        return *field.input == *input && field.mapping->field == mapping.field;
      });
      if (!written) fields.push_back(WrittenField{&output, &mapping, &*input});
    }
  }
  return fields;
}

bool WritesField(const std::vector<WrittenField>& fields, const std::string& input, const std::string& field) {
  return std::any_of(fields.begin(), fields.end(), [&](const WrittenField& written) {
    return *written.input == input && written.mapping->field == field;
  });
}

void WriteOptionalInt(const std::optional<std::int64_t>& value, JsonWriter& out) {
  if (value) {
    out.Int(*value);
  } else {
    out.Null();
  }
}

}  // namespace

std::string UtcTimestampMicros() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::int64_t seconds = micros / 1000000;
  std::int64_t fraction = micros % 1000000;
  if (fraction < 0) {
    fraction += 1000000;
    seconds -= 1;
  }
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(fraction));
  return buffer;
}

void AddDerivedVmixSources(std::vector<std::string>& sources) {
  const auto has = [&sources](const char* name) {
    return std::find(sources.begin(), sources.end(), name) != sources.end();
  };
  if (has("period") && !has("period_display")) sources.emplace_back("period_display");
  if (has("down")) {
    if (!has("down_display")) sources.emplace_back("down_display");
    if (!has("down_distance")) sources.emplace_back("down_distance");
  }
}

VmixOutputController::VmixOutputController(VmixValueProvider provider, VmixAdapterLister adapter_lister,
                                           std::chrono::milliseconds stop_clear_wait,
                                           std::chrono::milliseconds lan_probe_timeout)
    : provider_(std::move(provider)),
      adapter_lister_(adapter_lister ? std::move(adapter_lister) : VmixAdapterLister(ListIpv4Adapters)),
      stop_clear_wait_(stop_clear_wait),
      lan_probe_timeout_(lan_probe_timeout) {
  MutexLock lock(mutex_);
  RebuildMappingStatuses();
}

VmixOutputController::~VmixOutputController() { StopSender(); }

VmixOutputControllerPtr MakeVmixOutputController(VmixValueProvider provider, VmixAdapterLister adapter_lister,
                                                 std::chrono::milliseconds stop_clear_wait,
                                                 std::chrono::milliseconds lan_probe_timeout) {
  return std::make_unique<VmixOutputController>(std::move(provider), std::move(adapter_lister), stop_clear_wait,
                                                lan_probe_timeout);
}

void VmixOutputController::RebuildMappingStatuses() {
  std::vector<VmixMappingStatus> rebuilt;
  for (const VmixOutput& output : config_.outputs) {
    for (const VmixMapping& mapping : output.mappings) {
      VmixMappingStatus status;
      status.output_id = output.id;
      status.input = VmixInputReference(output);
      status.field = mapping.field;
      status.source = mapping.source;
      status.output_enabled = output.enabled;
      if (const VmixMappingStatus* previous = FindMappingStatus(output.id, mapping.field)) {
        status.last_status = previous->last_status;
        status.last_success = previous->last_success;
        status.last_error = previous->last_error;
        status.last_value = previous->last_value;
        status.last_sequence = previous->last_sequence;
      } else {
        status.last_status = config_.enabled && output.enabled ? "idle" : "disabled";
      }
      rebuilt.push_back(std::move(status));
    }
  }
  mapping_statuses_ = std::move(rebuilt);
}

// Resets the status word of every mapping (or of the mappings of the given outputs).
void VmixOutputController::ResetStatusesOf(const std::vector<std::string>* output_ids) {
  for (VmixMappingStatus& status : mapping_statuses_) {
    if (output_ids != nullptr &&
        std::find(output_ids->begin(), output_ids->end(), status.output_id) == output_ids->end()) {
      continue;
    }
    status.last_status = status.output_enabled ? "idle" : "disabled";
  }
}

VmixMappingStatus* VmixOutputController::FindMappingStatus(const std::string& output_id, const std::string& field) {
  for (VmixMappingStatus& status : mapping_statuses_) {
    if (status.output_id == output_id && status.field == field) return &status;
  }
  return nullptr;
}

const VmixLastSent* VmixOutputController::FindLastSent(const std::string& output_id, const std::string& field) const {
  const std::string key = LastSentKey(output_id, field);
  for (const VmixLastSent& entry : last_sent_) {
    if (entry.key == key) return &entry;
  }
  return nullptr;
}

void VmixOutputController::RememberSentValue(const std::string& output_id, const std::string& field,
                                             const StateValue& value) {
  const std::string key = LastSentKey(output_id, field);
  for (VmixLastSent& entry : last_sent_) {
    if (entry.key == key) {
      entry.has_value = true;
      entry.value = value;
      return;
    }
  }
  last_sent_.push_back(VmixLastSent{key, true, value});
}

void VmixOutputController::StartSender() {
  bool fetch = false;
  {
    MutexLock lock(mutex_);
    if (started_) return;
    fetch = static_cast<bool>(provider_);
  }
  std::optional<StateValue> snapshot;
  if (fetch) snapshot = provider_();
  MutexLock lock(mutex_);
  if (started_) return;
  stopping_ = false;
  request_stop_ = false;
  started_ = true;
  if (snapshot) {
    pending_values_ = *snapshot;
    pending_valid_ = true;
    if (config_.enabled) {
      queued_values_ = *snapshot;
      queued_valid_ = true;
    }
  }
  sender_ = std::thread(&VmixOutputController::RunSender, this);
}

void VmixOutputController::StopSender() {
  search_.cancel = true;
  {
    MutexLock lock(search_.thread_mutex);
    if (search_.thread.joinable()) search_.thread.join();
  }
  MutexLock lock(mutex_);
  if (config_.enabled && !last_sent_.empty()) {
    clear_requested_ = true;
    queued_valid_ = false;
    // Without this the pass after the clear would re-send the pending snapshot in full and
    // leave the values standing in vMix after the stop.
    pending_valid_ = false;
    retry_at_ = 0.0;
    ++generation_;
  }
  wake_.SignalAll();
  // Waiting makes sense only for a clear the sender tries now or is trying; without a sender, a
  // host, or while it backs off after a failed attempt, no blanking can come, and one attempt
  // that fails ends the wait as well.
  if (started_ && !stopping_ && clear_requested_ && !config_.host.empty() && retry_at_ <= SteadyClockSeconds()) {
    const std::uint64_t awaited = generation_;
    const auto deadline = std::chrono::steady_clock::now() + stop_clear_wait_;
    while (clear_requested_ && clear_pass_ended_ < awaited && wake_.WaitUntil(deadline)) {
    }
  }
  stopping_ = true;
  request_stop_ = true;
  wake_.SignalAll();
  std::thread sender = std::move(sender_);
  lock.Unlock();
  if (sender.joinable()) sender.join();
  MutexLock ended(mutex_);
  started_ = false;
}

void VmixOutputController::ApplyConfig(VmixOutputConfig config) {
  bool fetch = false;
  {
    MutexLock lock(mutex_);
    fetch = !pending_valid_ && provider_;
  }
  std::optional<StateValue> fetched;
  if (fetch) fetched = provider_();
  MutexLock lock(mutex_);

  const VmixOutputConfig old = std::move(config_);
  const bool host_changed = old.host != config.host || old.port != config.port;
  const bool enabled_changed = old.enabled != config.enabled;
  std::vector<std::string> changed_ids;
  for (const VmixOutput& before : old.outputs) {
    const auto namesake = std::find_if(config.outputs.begin(), config.outputs.end(),
                                       [&before](const VmixOutput& after) { return after.id == before.id; });
    if (namesake == config.outputs.end() || !VmixOutputEquals(*namesake, before)) changed_ids.push_back(before.id);
  }
  for (const VmixOutput& after : config.outputs) {
    const bool known = std::any_of(old.outputs.begin(), old.outputs.end(),
                                   [&after](const VmixOutput& before) { return before.id == after.id; });
    if (!known) changed_ids.push_back(after.id);
  }

  if (host_changed) {
    retired_.clear();  // the fields of another host
  } else if (old.enabled) {
    RetireFieldsOutOfUse(old, config);
  }
  config_ = std::move(config);
  if (host_changed || enabled_changed || !changed_ids.empty()) ++generation_;
  RebuildMappingStatuses();

  if (config_.enabled) {
    bool queue = true;
    if (!old.enabled || host_changed) {
      ResetStatusesOf(nullptr);
      send_all_ = true;
      retry_at_ = 0.0;
    } else if (changed_ids.empty()) {
      queue = false;
    } else {
      std::erase_if(last_sent_, [&changed_ids](const VmixLastSent& entry) {
        const std::string id = entry.key.substr(0, entry.key.find('\n'));
        return std::find(changed_ids.begin(), changed_ids.end(), id) != changed_ids.end();
      });
      ResetStatusesOf(&changed_ids);
    }
    if (queue) {
      if (!pending_valid_ && fetched) {
        pending_values_ = std::move(*fetched);
        pending_valid_ = true;
      }
      // Without a provider nothing is known to send until the next publication.
      if (pending_valid_) {
        queued_values_ = pending_values_;
        queued_valid_ = true;
      }
    }
  } else {
    queued_valid_ = false;
    if (old.enabled) {
      clear_requested_ = true;
      retry_at_ = 0.0;
      ++generation_;
    }
    for (VmixMappingStatus& status : mapping_statuses_) status.last_status = "disabled";
  }
  wake_.SignalAll();
}

VmixOutputConfig VmixOutputController::GetConfig() {
  MutexLock lock(mutex_);
  return config_;
}

void VmixOutputController::PublishValues(StateValue values) {
  MutexLock lock(mutex_);
  if (held_) {
    pending_values_ = std::move(values);
    pending_valid_ = true;
    queued_valid_ = false;
    return;
  }
  pending_values_ = values;
  pending_valid_ = true;
  queued_values_ = std::move(values);
  queued_valid_ = true;
  wake_.SignalAll();
}

void VmixOutputController::SetActiveSources(std::optional<std::vector<std::string>> sources, std::uint64_t id) {
  if (sources) AddDerivedVmixSources(*sources);
  MutexLock lock(mutex_);
  if (sources) {
    restrict_sources_ = true;
    active_sources_ = std::move(*sources);
    held_ = true;
    hold_id_ = id;
    pending_valid_ = false;
    send_all_ = true;
    retry_at_ = 0.0;
  } else {
    restrict_sources_ = false;
    active_sources_.clear();
    held_ = false;
  }
  queued_valid_ = false;
  ++generation_;
  wake_.SignalAll();
}

void VmixOutputController::ReleaseHold(std::uint64_t id) {
  MutexLock lock(mutex_);
  if (!held_ || hold_id_ != id) return;
  held_ = false;
  pending_valid_ = false;
  queued_valid_ = false;
}

void VmixOutputController::RequestClear() {
  MutexLock lock(mutex_);
  if (stopping_ || !config_.enabled) return;
  queued_valid_ = false;
  pending_valid_ = false;
  clear_requested_ = true;
  retry_at_ = 0.0;
  ++generation_;
  wake_.SignalAll();
}

void VmixOutputController::RunSender() {
  NameThisThread("vmix");
  for (;;) {
    MutexLock lock(mutex_);
    enum class Pass { kNone, kClear, kRetire, kSend } pass = Pass::kNone;
    StateValue snapshot;
    for (;;) {
      if (stopping_) return;
      const double now = SteadyClockSeconds();
      if (clear_requested_ && now >= retry_at_) {
        pass = Pass::kClear;
      } else if (!retired_.empty() && config_.enabled && now >= retry_at_) {
        pass = Pass::kRetire;
      } else if (!held_ && config_.enabled) {
        if (queued_valid_) {
          snapshot = queued_values_;
          queued_valid_ = false;
          pass = Pass::kSend;
        } else if (send_all_ && pending_valid_ && now >= retry_at_) {
          snapshot = pending_values_;
          pass = Pass::kSend;
        }
      }
      if (pass != Pass::kNone) break;
      if (!clear_requested_ && (retired_.empty() || !config_.enabled) &&
          (held_ || !config_.enabled || !send_all_ || !pending_valid_)) {
        wake_.Wait();
      } else {
        const double wait = std::max(retry_at_ - now, 0.01);
        wake_.WaitFor(std::chrono::duration<double>(wait));
      }
    }
    const bool all = send_all_;
    const VmixOutputConfig cfg = config_;
    const std::uint64_t gen = generation_;
    std::optional<StateValue> known;
    if (pass == Pass::kClear && pending_valid_ && config_.enabled && !held_) known = pending_values_;
    lock.Unlock();
    if (pass == Pass::kRetire) {
      BlankRetiredFields(cfg, gen);
    } else if (pass == Pass::kClear) {
      ClearMappedFields(cfg, known, gen);
      MutexLock ended(mutex_);
      clear_pass_ended_ = std::max(clear_pass_ended_, gen);
      wake_.SignalAll();  // StopSender waits for this
    } else {
      SendValues(cfg, snapshot, all, gen);
    }
  }
}

void VmixOutputController::NoteMissingHost() {
  MutexLock lock(mutex_);
  connected_ = false;
  last_error_ = "vMix host is required";
  send_all_ = true;
  retry_at_ = SteadyClockSeconds() + kRetryDelaySeconds;
}

void VmixOutputController::SendValues(const VmixOutputConfig& cfg, const StateValue& snapshot, bool all,
                                      std::uint64_t gen) {
  if (cfg.host.empty()) {
    NoteMissingHost();
    return;
  }
  std::vector<PassItem> items;
  {
    MutexLock lock(mutex_);
    if (generation_ != gen || held_) return;
    for (const WrittenField& written : WrittenFields(cfg)) {
      const VmixMapping& mapping = *written.mapping;
      if (!IsActiveSource(mapping.source)) continue;
      StateValue value = VmixSourceValue(snapshot, mapping.source);
      if (!all) {
        const VmixLastSent* last = FindLastSent(written.output->id, mapping.field);
        if (last != nullptr && last->has_value && last->value.Equals(value)) continue;
      }
      items.push_back(PassItem{written.output->id, mapping.field, *written.input, std::move(value), false});
    }
    if (items.empty()) {
      RecordPassSuccess(snapshot, false);
      return;
    }
  }
  for (const PassItem& item : items) {
    if (SendValue(cfg, gen, item, false) != SendOutcome::kSent) return;
  }
  MutexLock lock(mutex_);
  if (generation_ == gen) RecordPassSuccess(snapshot, true);
}

void VmixOutputController::RecordPassSuccess(const StateValue& snapshot, bool any_sent) {
  connected_ = connected_ || any_sent;
  last_success_ = UtcTimestampMicros();
  last_error_.reset();
  last_sequence_sent_ = SequenceOf(snapshot, true);
  send_all_ = false;
  retry_at_ = 0.0;
}

void VmixOutputController::ClearMappedFields(const VmixOutputConfig& cfg, const std::optional<StateValue>& known,
                                             std::uint64_t gen) {
  if (cfg.host.empty()) {
    NoteMissingHost();
    return;
  }
  std::vector<PassItem> items;
  {
    MutexLock lock(mutex_);
    items = retired_;
    for (const WrittenField& written : WrittenFields(cfg)) {
      const VmixMapping& mapping = *written.mapping;
      // A value published since the clear was asked for is what the field should show: writing
      // a blank first would flash it empty on air.
      if (known && IsActiveSource(mapping.source)) {
        items.push_back(
            PassItem{written.output->id, mapping.field, *written.input, VmixSourceValue(*known, mapping.source), false});
      } else {
        items.push_back(PassItem{written.output->id, mapping.field, *written.input, StateValue(), true});
      }
    }
  }
  for (const PassItem& item : items) {
    if (SendValue(cfg, gen, item, true) != SendOutcome::kSent) return;
  }
  MutexLock lock(mutex_);
  if (generation_ != gen) return;
  clear_requested_ = false;
  if (known) {
    RecordPassSuccess(*known, !items.empty());
    return;
  }
  connected_ = connected_ || !items.empty();
  last_success_ = UtcTimestampMicros();
  last_error_.reset();
  last_sequence_sent_.reset();
  send_all_ = true;
  retry_at_ = 0.0;
}

void VmixOutputController::BlankRetiredFields(const VmixOutputConfig& cfg, std::uint64_t gen) {
  if (cfg.host.empty()) {
    NoteMissingHost();
    return;
  }
  std::vector<PassItem> items;
  {
    MutexLock lock(mutex_);
    items = retired_;
  }
  for (const PassItem& item : items) {
    if (SendValue(cfg, gen, item, false) != SendOutcome::kSent) return;
  }
}

bool VmixOutputController::IsActiveSource(const std::string& source) const {
  return !restrict_sources_ || std::find(active_sources_.begin(), active_sources_.end(), source) != active_sources_.end();
}

void VmixOutputController::RetireFieldsOutOfUse(const VmixOutputConfig& before, const VmixOutputConfig& after) {
  const std::vector<WrittenField> in_use = WrittenFields(after);
  std::erase_if(retired_, [&in_use](const PassItem& item) { return WritesField(in_use, item.input, item.field); });
  for (const WrittenField& written : WrittenFields(before)) {
    if (WritesField(in_use, *written.input, written.mapping->field)) continue;
    // Only a field this run wrote text into shows anything that could stay frozen.
    const VmixLastSent* last = FindLastSent(written.output->id, written.mapping->field);
    if (last == nullptr || !last->has_value || FormatSetTextValue(last->value).empty()) continue;
    const bool queued = std::any_of(retired_.begin(), retired_.end(), [&written](const PassItem& item) {
      return item.input == *written.input && item.field == written.mapping->field;
    });
    if (!queued) retired_.push_back(PassItem{std::string(), written.mapping->field, *written.input, StateValue(), true});
  }
}

// The blanking that follows a switch-off leaves the mappings showing "disabled".
VmixMappingStatus* VmixOutputController::ShownStatus(const VmixOutputConfig& cfg, const PassItem& item,
                                                    bool clearing) {
  if ((clearing && !cfg.enabled) || item.output_id.empty()) return nullptr;
  return FindMappingStatus(item.output_id, item.field);
}

VmixOutputController::SendOutcome VmixOutputController::SendValue(const VmixOutputConfig& cfg, std::uint64_t gen,
                                                                  const PassItem& item, bool clearing) {
  {
    MutexLock lock(mutex_);
    if (stopping_ || generation_ != gen) return SendOutcome::kAbandoned;
    if (VmixMappingStatus* status = ShownStatus(cfg, item, clearing)) {
      status->last_status = "sending";
      status->last_error.reset();
    }
  }
  const std::string text = item.blank ? std::string() : FormatSetTextValue(item.value);
  const std::string path = BuildSetTextPath(item.input, item.field, text);
  const VmixHttpResult result = VmixHttpGet(cfg.host, cfg.port, path, kRequestTimeoutSeconds, &request_stop_);

  MutexLock lock(mutex_);
  if (result.error.empty()) {
    // Blanked once, whatever happens to the pass: a field out of use never gets a second blank.
    std::erase_if(retired_, [&item](const PassItem& retired) {
      return retired.input == item.input && retired.field == item.field;
    });
  }
  if (result.error == "stopped" || stopping_ || generation_ != gen) return SendOutcome::kAbandoned;
  VmixMappingStatus* status = ShownStatus(cfg, item, clearing);
  if (!result.error.empty()) {
    connected_ = false;
    last_error_ = result.error;
    send_all_ = true;
    retry_at_ = SteadyClockSeconds() + kRetryDelaySeconds;
    if (status != nullptr) {
      status->last_status = "error";
      status->last_error = result.error;
    }
    return SendOutcome::kFailed;
  }
  if (item.output_id.empty()) return SendOutcome::kSent;  // a field no mapping writes any more
  const StateValue sent = item.blank ? StateValue::MakeString(std::string()) : item.value;
  RememberSentValue(item.output_id, item.field, sent);
  if (status != nullptr) {
    status->last_status = "success";
    status->last_success = UtcTimestampMicros();
    status->last_error.reset();
    status->last_value = sent;
    status->last_sequence.reset();
    if (!item.blank) status->last_sequence = SequenceOf(pending_values_, false);
  }
  return SendOutcome::kSent;
}

void VmixOutputController::WriteStatusObjectLocked(JsonWriter& out) const {
  out.BeginObject();
  out.Key("enabled").Bool(config_.enabled);
  out.Key("connected").Bool(connected_);
  out.Key("last_success").OptionalString(last_success_);
  out.Key("last_error").OptionalString(last_error_);
  out.Key("last_sequence_sent");
  WriteOptionalInt(last_sequence_sent_, out);
  out.EndObject();
}

std::string VmixOutputController::StatusJsonLocked() {
  JsonWriter out(kStateJson);
  out.BeginObject();
  out.Key("config").Raw(JsonWriter(kVmixListingJson).Value(VmixOutputConfigToJson(config_)).Take());
  out.Key("status");
  WriteStatusObjectLocked(out);
  out.Key("mapping_statuses").BeginArray();
  for (const VmixMappingStatus& status : mapping_statuses_) {
    out.BeginObject();
    out.Key("output_id").String(status.output_id);
    out.Key("input").OptionalString(status.input);
    out.Key("field").String(status.field);
    out.Key("source").String(status.source);
    out.Key("output_enabled").Bool(status.output_enabled);
    out.Key("last_status").String(status.last_status);
    out.Key("last_success").OptionalString(status.last_success);
    out.Key("last_error").OptionalString(status.last_error);
    out.Key("last_value").Raw(status.last_value ? StateJsonOrNull(*status.last_value) : "null");
    out.Key("last_sequence");
    WriteOptionalInt(status.last_sequence, out);
    out.EndObject();
  }
  out.EndArray();
  out.EndObject();
  return out.Take();
}

std::string VmixOutputController::StatusJson() {
  MutexLock lock(mutex_);
  return StatusJsonLocked();
}

}  // namespace tessvark
