// The status object of an Example selection or of no selection.

#include "session/session_sources.h"

#include <cmath>

#include "core/json_writer.h"

namespace tessvark {
namespace {

struct RationalRate {
  long long numerator = 0;
  long long denominator = 0;
};

// 23.976 and whole rates within 0.02 as fractions; other rates have none.
std::optional<RationalRate> RationalFrameRate(double fps) {
  if (!(fps > 0.0)) return std::nullopt;
  if (std::fabs(fps - 23.976023976023978) < 0.02) return RationalRate{24000, 1001};
  if (fps >= 9.2e18) return std::nullopt;
  const long long rounded = std::llround(fps);
  if (rounded > 0 && std::fabs(fps - static_cast<double>(rounded)) < 0.02) {
    return RationalRate{rounded, 1};
  }
  return std::nullopt;
}

}  // namespace

std::string SignalName(std::int32_t code) {
  switch (code) {
    case 0: return "connecting";
    case 1: return "live";
    case 2: return "stale";
    case 3: return "offline";
    default: return "stopped";
  }
}

void WriteExampleStatus(SessionEngine& engine, JsonWriter& out) {
  SourceSelection& selection = engine.selection;
  ExampleInfo& example = engine.example;
  cv::Mat& source_image = engine.pictures.source_image;
  const bool selected = selection.selected;
  const bool image = !source_image.empty();
  const bool video = example.video_active;
  const bool video_error = video && !example.error.empty();
  const bool still_missing = selected && !video && !image;
  const bool problem = video_error || still_missing;

  out.Key("running").Bool(true);
  out.Key("source_type").String(SourceKindName(selected ? selection.type : SourceKind::kNone));
  const std::optional<std::string> id = selected ? std::optional(selection.id) : std::nullopt;
  const std::optional<std::string> name = selected ? std::optional(selection.name) : std::nullopt;
  out.Key("source_id").OptionalString(id).Key("source_name").OptionalString(name);
  out.Key("selected_source_id").OptionalString(id).Key("selected_source_name").OptionalString(name);
  out.Key("source_discovered").Bool(selected && !problem);
  out.Key("source_online").Bool(selected && image);
  out.Key("receiver_state").String(!selected ? "no_source" : image ? "connected" : "error");
  out.Key("resolution");
  if (selected && image) {
    const int width = video && example.width > 0 ? example.width : source_image.cols;
    const int height = video && example.height > 0 ? example.height : source_image.rows;
    out.BeginObject().Key("width").Int(width).Key("height").Int(height).EndObject();
  } else {
    out.Null();
  }
  const double fps = example.fps;
  const std::optional<RationalRate> rate = video ? RationalFrameRate(fps) : std::nullopt;
  if (rate) {
    out.Key("frame_rate_n").Int(rate->numerator).Key("frame_rate_d").Int(rate->denominator);
  } else {
    out.Key("frame_rate_n").Null().Key("frame_rate_d").Null();
  }
  out.Key("frame_rate");
  if (video && fps > 0.0) {
    out.Double(fps);
  } else {
    out.Null();
  }
  out.Key("source_format");
  if (selected) {
    out.String(video ? "MP4" : "JPEG");
  } else {
    out.Null();
  }
  out.Key("ndi_format").Null();
  out.Key("frame_age_seconds").Null();
  out.Key("error");
  if (video_error) {
    out.String(example.error);
  } else if (still_missing) {
    out.String("Bundled Example source is unavailable");
  } else {
    out.Null();
  }
  out.Key("ndi").Bool(false);
  out.Key("status").String(!selected ? "waiting" : image ? "online" : "stale");
  out.Key("lan_ipv4").Null();
}

std::string ExampleStatusJson(SessionEngine& engine) {
  JsonWriter out(kApiJson);
  out.BeginObject();
  WriteExampleStatus(engine, out);
  return out.EndObject().Take();
}

}  // namespace tessvark
