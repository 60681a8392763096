#include "session/session_outputs.h"

#include <cmath>

#include "core/json_writer.h"
#include "core/text.h"
#include "outputs/vmix/vmix_api_document.h"
#include "outputs/vmix/vmix_output_config.h"

namespace tessvark {
namespace {

RuntimeResponse NoController() {
  return MakeErrorResponse(503, "This local function is not available in the native prototype.");
}

RuntimeResponse NotSaved() { return MakeErrorResponse(500, "Configuration could not be saved"); }

// Writes the output document (kept in memory only without a data folder); false when the file
// could not be written, the stored text then unchanged. The file is written without the engine
// mutex; the caller holds the settings mutex, so no other change of the stored text runs between.
bool SaveOutputConfiguration(SessionEngine& engine, const std::string& text) {
  ConfigStore* store = nullptr;
  {
    MutexLock lock(engine.mutex);
    store = engine.zones.config_store.get();
  }
  std::string error;
  if (store != nullptr && !store->SaveOutputConfig(text, error)) return false;
  MutexLock lock(engine.mutex);
  ZoneBook& book = engine.zones;
  if (store != nullptr) book.stored.output_config_loaded = true;
  book.stored.output_config_text = text;
  return true;
}

// The named member when it is a bool, `fallback` when it is absent; false for any other kind.
bool ReadOptionalBool(const JsonValue& object, const char* name, bool fallback, bool& value) {
  const JsonValue* member = object.Find(name);
  if (member == nullptr) {
    value = fallback;
    return true;
  }
  if (member->kind != JsonKind::kBool) return false;
  value = member->bool_value;
  return true;
}

}  // namespace

SessionOutputs::SessionOutputs(SessionEngine& engine, SessionServer& server, Mutex& settings)
    : engine_(engine), server_(server), settings_(settings) {}

void SessionOutputs::Start(VmixValueProvider provider, const std::string& stored_document) {
  vmix_ = MakeVmixOutputController(std::move(provider));
  if (!stored_document.empty()) vmix_->ApplyConfig(ParseVmixOutputConfigFile(stored_document));
  vmix_->StartSender();
}

void SessionOutputs::StopSender() {
  if (vmix_) vmix_->StopSender();
}

void SessionOutputs::PublishValues(StateValue values) {
  if (vmix_) vmix_->PublishValues(std::move(values));
}

void SessionOutputs::ReleaseHold(std::uint64_t generation) {
  if (vmix_) vmix_->ReleaseHold(generation);
}

void SessionOutputs::RequestClear() {
  if (vmix_) vmix_->RequestClear();
}

void SessionOutputs::SetActiveSources(const std::vector<std::string>& roles,
                                      std::uint64_t generation) {
  if (vmix_) vmix_->SetActiveSources(roles, generation);
}

bool SessionOutputs::StoreVmixConfig(const VmixOutputConfig& config) {
  std::string previous;
  {
    MutexLock engine(engine_.mutex);
    previous = engine_.zones.stored.output_config_text;
  }
  if (!SaveOutputConfiguration(engine_, BuildOutputConfigDocument(previous, config))) return false;
  vmix_->ApplyConfig(config);
  server_.SetOutputEnabled("vmix", config.enabled);
  return true;
}

RuntimeResponse SessionOutputs::GetVmixOutput() {
  if (!vmix_) return NoController();
  return MakeOkResponse(vmix_->StatusJson());
}

RuntimeResponse SessionOutputs::SetVmixOutput(const std::string& body) {
  if (!vmix_) return NoController();
  VmixOutputConfig config;
  std::int32_t status = 400;
  std::string message;
  if (!ParseVmixConfigRequest(body, config, status, message)) {
    return MakeErrorResponse(status, message);
  }
  {
    MutexLock settings(settings_);
    if (!StoreVmixConfig(config)) return NotSaved();
  }
  // vMix takes text for a field its title lacks without a word: the saved mappings are checked
  // against the host's inputs, outside the settings lock since it asks the host.
  const std::vector<VmixFieldWarning> warnings = vmix_->CheckMappedFields(config);
  std::string reply = vmix_->StatusJson();
  if (!warnings.empty()) {
    JsonWriter list(kStateJson);
    WriteVmixFieldWarnings(warnings, list);
    reply.pop_back();  // the status object's closing brace
    reply += ",\"field_warnings\":" + list.Take() + "}";
  }
  return MakeOkResponse(std::move(reply));
}

RuntimeResponse SessionOutputs::SetOutputSwitches(const std::string& body) {
  if (!vmix_) return NoController();
  RuntimeResponse refused;
  const std::optional<JsonValue> request = ParseRequestObject(body, refused);
  if (!request) return refused;
  for (const JsonMember& member : request->members) {
    if (member.key != "vmix" && member.key != "sse" && member.key != "rest" &&
        member.key != "rss") {
      return MakeErrorResponse(422, "Unknown output switch");
    }
  }
  // The switch is read against the configuration in force and saved with it in one step, so a
  // configuration saved by a request running beside this one is not written back over.
  MutexLock settings(settings_);
  VmixOutputConfig config = vmix_->GetConfig();
  bool vmix = config.enabled;
  bool unused = false;
  if (!ReadOptionalBool(*request, "vmix", config.enabled, vmix) ||
      !ReadOptionalBool(*request, "sse", false, unused) ||
      !ReadOptionalBool(*request, "rest", false, unused) ||
      !ReadOptionalBool(*request, "rss", false, unused)) {
    return MakeErrorResponse(422, "Output switches must be booleans");
  }
  config.enabled = vmix;
  if (!StoreVmixConfig(config)) return NotSaved();
  JsonWriter reply(kApiJson);
  reply.BeginObject();
  reply.Key("enabled").BeginObject().Key("vmix").Bool(vmix).EndObject();
  reply.Key("vmix").Raw(vmix_->StatusJson());
  return MakeOkResponse(reply.EndObject().Take());
}

RuntimeResponse SessionOutputs::TestVmixOutput(const std::string& body) {
  if (!vmix_) return NoController();
  if (TrimAsciiWhitespace(body).empty()) return MakeOkResponse(vmix_->TestConnection(std::nullopt));
  VmixOutputConfig config;
  std::int32_t status = 400;
  std::string message;
  if (!ParseVmixConfigRequest(body, config, status, message)) {
    return MakeErrorResponse(status, message);
  }
  return MakeOkResponse(vmix_->TestConnection(config));
}

RuntimeResponse SessionOutputs::DiscoverVmixInputs(const std::string& body) {
  if (!vmix_) return NoController();
  VmixOutputConfig config = vmix_->GetConfig();
  if (body.find_first_not_of(" \t\r\n") != std::string::npos) {
    RuntimeResponse refused;
    const std::optional<JsonValue> request = ParseRequestObject(body, refused);
    if (!request) return refused;
    if (!HasExactKeys(*request, {"host", "port"})) {
      return MakeErrorResponse(422, "vMix discovery accepts only host and port");
    }
    const JsonValue& host = *request->Find("host");
    const std::optional<double> port = request->Find("port")->FiniteNumber();
    if (host.kind != JsonKind::kString) return MakeErrorResponse(422, "vMix host must be a string");
    if (!port || std::trunc(*port) != *port) {
      return MakeErrorResponse(422, "vMix port must be an integer");
    }
    config.host = host.text;
    // Any port outside 1..65535 is refused by the target check; converting one that does not
    // fit an int32 would be undefined, so it becomes 0.
    config.port = *port >= 1.0 && *port <= 65535.0 ? static_cast<std::int32_t>(*port) : 0;
  }
  std::string message;
  if (!ValidateVmixDiscoveryTarget(config.host, config.port, message)) {
    return MakeErrorResponse(422, message);
  }
  return MakeOkResponse(vmix_->DiscoverInputs(config));
}

RuntimeResponse SessionOutputs::StartVmixLanSearch() {
  if (!vmix_) return NoController();
  const VmixOutputConfig config = vmix_->GetConfig();
  return MakeOkResponse(vmix_->StartLanSearch(config.host, config.port));
}

RuntimeResponse SessionOutputs::GetVmixLanSearch() {
  if (!vmix_) return NoController();
  return MakeOkResponse(vmix_->LanSearchStatusJson());
}

RuntimeResponse SessionOutputs::CancelVmixLanSearch() {
  if (!vmix_) return NoController();
  return MakeOkResponse(vmix_->CancelLanSearch());
}

}  // namespace tessvark
