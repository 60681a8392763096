// The host test and the input listing of VmixOutputController.
#include <string>

#include "outputs/vmix/vmix_api_document.h"
#include "outputs/vmix/vmix_http_client.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_output_controller.h"

namespace tessvark {
namespace {

constexpr double kApiTimeoutSeconds = 1.0;

}  // namespace

std::string VmixOutputController::TestConnection(const std::optional<VmixOutputConfig>& given) {
  VmixOutputConfig config;
  if (given) {
    config = *given;
  } else {
    MutexLock lock(mutex_);
    config = config_;
  }

  bool ok = false;
  // Kept unescaped: it is escaped once, where a reply or the status document is written.
  std::string message;
  JsonWriter reply(kStateJson);
  reply.BeginObject();
  if (config.host.empty()) {
    message = "vMix host is required";
  } else {
    const VmixHttpResult result = VmixHttpGet(config.host, config.port, "/api/", kApiTimeoutSeconds, nullptr);
    if (!result.error.empty()) {
      message = result.error;
    } else {
      const VmixApiResponse document = ReadVmixApiResponse(result.body, true);
      if (!document.ok) {
        message = document.error;
      } else {
        ok = true;
        message = "vMix detected";
        reply.Key("ok").Bool(true);
        reply.Key("name").OptionalString(document.computer_name);
        reply.Key("version").OptionalString(document.version);
        reply.Key("edition").OptionalString(document.edition);
        reply.Key("host").String(config.host);
        reply.Key("port").Int(config.port);
        reply.Key("message").String(message);
        const std::vector<VmixFieldWarning> warnings =
            FindUnknownVmixFields(config, document.inputs);
        if (!warnings.empty()) WriteVmixFieldWarnings(warnings, reply.Key("field_warnings"));
      }
    }
  }
  if (!ok) reply.Key("ok").Bool(false).Key("message").String(message);

  MutexLock lock(mutex_);
  connected_ = ok;
  if (ok) {
    last_success_ = UtcTimestampMicros();
    last_error_.reset();
  } else {
    last_error_ = message;
  }
  reply.Key("status");
  WriteStatusObjectLocked(reply);
  return reply.EndObject().Take();
}

std::vector<VmixFieldWarning> VmixOutputController::CheckMappedFields(
    const VmixOutputConfig& config) {
  if (config.host.empty()) return {};
  const VmixHttpResult result = VmixHttpGet(config.host, config.port, "/api/", kApiTimeoutSeconds, nullptr);
  if (!result.error.empty()) return {};
  const VmixApiResponse document = ReadVmixApiResponse(result.body, true);
  if (!document.ok) return {};
  return FindUnknownVmixFields(config, document.inputs);
}

std::string VmixOutputController::DiscoverInputs(const VmixOutputConfig& config) {
  const auto failure = [](const std::string& message) {
    return JsonWriter(kStateJson)
        .BeginObject()
        .Key("ok").Bool(false)
        .Key("message").String(message)
        .Key("inputs").BeginArray().EndArray()
        .EndObject()
        .Take();
  };
  if (config.host.empty()) return failure("vMix host is required");
  const VmixHttpResult result = VmixHttpGet(config.host, config.port, "/api/", kApiTimeoutSeconds, nullptr);
  if (!result.error.empty()) return failure(result.error);
  const VmixApiResponse document = ReadVmixApiResponse(result.body, false);
  if (document.error == "not well-formed") return failure("not well-formed");
  JsonWriter reply(kStateJson);
  reply.BeginObject();
  reply.Key("ok").Bool(true);
  reply.Key("version").OptionalString(document.version);
  reply.Key("edition").OptionalString(document.edition);
  reply.Key("inputs").Raw(JsonWriter(kVmixListingJson).Value(document.inputs).Take());
  reply.Key("computer_name").OptionalString(document.computer_name);
  reply.Key("message").String("vMix inputs discovered");
  return reply.EndObject().Take();
}

}  // namespace tessvark
