#include "app/update_status.h"

#include "core/json_text.h"
#include "core/version.h"

namespace tessvark {
namespace {

std::string Quoted(std::string_view text) { return QuotedJsonText(text, JsonEscapeSet::kState); }

}  // namespace

std::string WriteUpdateStatusJson(const UpdateState& state) {
  const UpdateManifest& manifest = state.manifest;
  std::string out = "{\"state\":" + Quoted(state.state);
  out += ",\"update_available\":";
  out += state.update_pending ? "true" : "false";
  out += ",\"presentation\":" + Quoted(kPlatformPresentation);
  out += ",\"installable\":";
  out += state.state == "ready_to_install" ? "true" : "false";
  out += ",\"version\":" + Quoted(manifest.version);
  out += ",\"build\":" + std::to_string(manifest.build);
  out += ",\"current_version\":" + Quoted(kProgramVersion);
  out += ",\"current_build\":" + std::to_string(kProgramBuild);
  out += ",\"notes\":" + Quoted(manifest.notes);
  out += ",\"download_url\":" + Quoted(manifest.url);
  out += ",\"bytes_total\":" + std::to_string(manifest.size);
  out += ",\"bytes_downloaded\":" + std::to_string(state.bytes_downloaded);
  out += ",\"phase\":" + Quoted(state.phase);
  out += ",\"error\":" + (state.error.empty() ? std::string("null") : Quoted(state.error));
  out += ",\"size\":" + std::to_string(manifest.size) + "}";
  return out;
}

}  // namespace tessvark
