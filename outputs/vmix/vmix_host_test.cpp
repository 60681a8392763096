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
    std::lock_guard<std::mutex> lock(mutex_);
    config = config_;
  }

  bool ok = false;
  // Kept unescaped: it is escaped once, where a reply or the status document is written.
  std::string message;
  std::string reply;
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
        reply = "{\"ok\":true,\"name\":" + OptionalTextJson(document.computer_name) +
                ",\"version\":" + OptionalTextJson(document.version) +
                ",\"edition\":" + OptionalTextJson(document.edition) + ",\"host\":" + QuotedVmixJsonText(config.host) +
                ",\"port\":" + std::to_string(config.port) + ",\"message\":" + QuotedVmixJsonText(message);
      }
    }
  }
  if (!ok) reply = "{\"ok\":false,\"message\":" + QuotedVmixJsonText(message);

  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = ok;
  if (ok) {
    last_success_ = UtcTimestampMicros();
    last_error_.reset();
  } else {
    last_error_ = message;
  }
  reply += ",\"status\":" + StatusObjectJsonLocked() + "}";
  return reply;
}

std::string VmixOutputController::DiscoverInputs(const VmixOutputConfig& config) {
  const auto failure = [](const std::string& message) {
    return "{\"ok\":false,\"message\":" + QuotedVmixJsonText(message) + ",\"inputs\":[]}";
  };
  if (config.host.empty()) return failure("vMix host is required");
  const VmixHttpResult result = VmixHttpGet(config.host, config.port, "/api/", kApiTimeoutSeconds, nullptr);
  if (!result.error.empty()) return failure(result.error);
  const VmixApiResponse document = ReadVmixApiResponse(result.body, false);
  if (document.error == "not well-formed") return failure("not well-formed");
  std::string reply = "{\"ok\":true,\"version\":" + OptionalTextJson(document.version) +
                      ",\"edition\":" + OptionalTextJson(document.edition) + ",\"inputs\":";
  WriteJsonPretty(document.inputs, reply, 0, 0);
  reply += ",\"computer_name\":" + OptionalTextJson(document.computer_name);
  reply += ",\"message\":\"vMix inputs discovered\"}";
  return reply;
}

}  // namespace tessvark
