#include "app/update_status.h"

#include "app/version.h"
#include "core/json_text.h"

namespace tessvark {
namespace {


}  // namespace

std::string WriteUpdateStatusJson(const UpdateState& state) {
  std::string out = "{\"state\":" + QuotedJsonText(state.state);
  out += ",\"update_available\":";
  out += state.update_pending ? "true" : "false";
  out += ",\"presentation\":\"windows\",\"installable\":";
  out += state.state == "ready_to_install" ? "true" : "false";
  out += ",\"version\":" + QuotedJsonText(state.version);
  out += ",\"build\":" + std::to_string(state.build);
  out += ",\"current_version\":" + QuotedJsonText(kProgramVersion);
  out += ",\"current_build\":" + std::to_string(kProgramBuild);
  out += ",\"notes\":" + QuotedJsonText(state.notes);
  out += ",\"download_url\":" + QuotedJsonText(state.download_url);
  out += ",\"bytes_total\":" + std::to_string(state.size);
  out += ",\"bytes_downloaded\":" + std::to_string(state.bytes_downloaded);
  out += ",\"phase\":" + QuotedJsonText(state.phase);
  out += ",\"error\":" + (state.error.empty() ? std::string("null") : QuotedJsonText(state.error));
  out += ",\"size\":" + std::to_string(state.size) + "}";
  return out;
}

}  // namespace tessvark
