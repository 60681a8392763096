#include "app/update_status.h"

#include "core/json_writer.h"
#include "core/version.h"

namespace tessvark {

std::string WriteUpdateStatusJson(const UpdateState& state) {
  const UpdateManifest& manifest = state.manifest;
  JsonWriter out(kStateJson);
  out.BeginObject();
  out.Key("state").String(state.state);
  out.Key("update_available").Bool(state.update_pending);
  out.Key("presentation").String(kPlatformPresentation);
  out.Key("installable").Bool(state.state == "ready_to_install");
  out.Key("version").String(manifest.version);
  out.Key("build").Int(manifest.build);
  out.Key("current_version").String(kProgramVersion);
  out.Key("current_build").Int(kProgramBuild);
  out.Key("notes").String(manifest.notes);
  out.Key("download_url").String(manifest.url);
  out.Key("bytes_total").Int(manifest.size);
  out.Key("bytes_downloaded").Int(state.bytes_downloaded);
  out.Key("phase").String(state.phase);
  out.Key("error").StringOrNull(state.error);
  out.Key("size").Int(manifest.size);
  return out.EndObject().Take();
}

}  // namespace tessvark
