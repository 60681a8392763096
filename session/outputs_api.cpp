// The vMix output operations: its configuration and on/off switch (saved as
// "output_config.json"), the host test, the input listing and the network search.

#include <cmath>

#include "core/text.h"
#include "outputs/vmix/vmix_api_document.h"
#include "session/native_session.h"

namespace tessvark {
namespace {

RuntimeResponse NoController() {
  return MakeErrorResponse(503, "This local function is not available in the native prototype.");
}

RuntimeResponse NotSaved() { return MakeErrorResponse(500, "Configuration could not be saved"); }

// Writes the output document (kept in memory only without a data folder); false when the file
// could not be written, the stored text then unchanged.
bool SaveOutputConfiguration(SessionState& state, const std::string& text) {
  std::lock_guard<std::mutex> engine(state.engine_mutex);
  if (state.config_store) {
    std::string error;
    if (!state.config_store->SaveOutputConfig(text, error)) return false;
    state.stored_configuration.output_config_loaded = true;
  }
  state.stored_configuration.output_config_text = text;
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

bool NativeSession::StoreVmixConfig(const VmixOutputConfig& config) {
  std::string previous;
  {
    std::lock_guard<std::mutex> engine(state_->engine_mutex);
    previous = state_->stored_configuration.output_config_text;
  }
  if (!SaveOutputConfiguration(*state_, BuildOutputConfigDocument(previous, config))) return false;
  vmix_->ApplyConfig(config);
  server_.SetOutputEnabled("vmix", config.enabled);
  return true;
}

RuntimeResponse NativeSession::GetVmixOutput() {
  if (!vmix_) return NoController();
  return MakeOkResponse(vmix_->StatusJson());
}

RuntimeResponse NativeSession::SetVmixOutput(const std::string& body) {
  if (!vmix_) return NoController();
  VmixOutputConfig config;
  std::int32_t status = 400;
  std::string message;
  if (!ParseVmixConfigRequest(body, config, status, message)) {
    return MakeErrorResponse(status, message);
  }
  std::lock_guard<std::mutex> settings(settings_mutex_);
  if (!StoreVmixConfig(config)) return NotSaved();
  return MakeOkResponse(vmix_->StatusJson());
}

RuntimeResponse NativeSession::SetOutputSwitches(const std::string& body) {
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
  std::lock_guard<std::mutex> settings(settings_mutex_);
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
  std::string reply = "{\"enabled\":{\"vmix\":";
  reply += vmix ? "true" : "false";
  reply += "},\"vmix\":" + vmix_->StatusJson() + "}";
  return MakeOkResponse(std::move(reply));
}

RuntimeResponse NativeSession::TestVmixOutput(const std::string& body) {
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

RuntimeResponse NativeSession::DiscoverVmixInputs(const std::string& body) {
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

RuntimeResponse NativeSession::StartVmixLanSearch() {
  if (!vmix_) return NoController();
  const VmixOutputConfig config = vmix_->GetConfig();
  return MakeOkResponse(vmix_->StartLanSearch(config.host, config.port));
}

RuntimeResponse NativeSession::GetVmixLanSearch() {
  if (!vmix_) return NoController();
  return MakeOkResponse(vmix_->LanSearchStatusJson());
}

RuntimeResponse NativeSession::CancelVmixLanSearch() {
  if (!vmix_) return NoController();
  return MakeOkResponse(vmix_->CancelLanSearch());
}

}  // namespace tessvark
