#include "app/update_status.h"

#include "app/version.h"
#include "core/json_text.h"

namespace tessvark {
namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  out += EscapeJsonText(text);
  out += '"';
  return out;
}

}  // namespace

std::string WriteUpdateStatusJson(const UpdateState& state) {
  std::string out = "{\"state\":" + Quoted(state.state);
  out += ",\"update_available\":";
  out += state.update_pending ? "true" : "false";
  out += ",\"presentation\":\"windows\",\"installable\":";
  out += state.state == "ready_to_install" ? "true" : "false";
  out += ",\"version\":" + Quoted(state.version);
  out += ",\"build\":" + std::to_string(state.build);
  out += ",\"current_version\":" + Quoted(kProgramVersion);
  out += ",\"current_build\":" + std::to_string(kProgramBuild);
  out += ",\"notes\":" + Quoted(state.notes);
  out += ",\"download_url\":" + Quoted(state.download_url);
  out += ",\"bytes_total\":" + std::to_string(state.size);
  out += ",\"bytes_downloaded\":" + std::to_string(state.bytes_downloaded);
  out += ",\"phase\":" + Quoted(state.phase);
  out += ",\"error\":" + (state.error.empty() ? std::string("null") : Quoted(state.error));
  out += ",\"size\":" + std::to_string(state.size) + "}";
  return out;
}

}  // namespace tessvark
