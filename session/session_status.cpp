// The status object of an Example selection or of no selection, the base of the SRT status.

#include "session/session_sources.h"

#include <cmath>

#include "core/json_text.h"
#include "session/reply_json.h"

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

std::string ExampleStatusJson(SessionEngine& engine) {
  SourceSelection& selection = engine.selection;
  ExampleInfo& example = engine.example;
  cv::Mat& source_image = engine.pictures.source_image;
  const bool selected = selection.selected;
  const bool image = !source_image.empty();
  const bool video = example.video_active;
  const bool video_error = video && !example.error.empty();
  const bool still_missing = selected && !video && !image;
  const bool problem = video_error || still_missing;

  std::string out = "{\"running\":true,\"source_type\":";
  out += QuotedJsonText(selected ? selection.type : "none");
  const std::string id = selected ? QuotedJsonText(selection.id) : "null";
  const std::string name = selected ? QuotedJsonText(selection.name) : "null";
  out += ",\"source_id\":" + id + ",\"source_name\":" + name;
  out += ",\"selected_source_id\":" + id + ",\"selected_source_name\":" + name;
  out += ",\"source_discovered\":";
  out += JsonBool(selected && !problem);
  out += ",\"source_online\":";
  out += JsonBool(selected && image);
  out += ",\"receiver_state\":";
  out += !selected ? "\"no_source\"" : image ? "\"connected\"" : "\"error\"";
  out += ",\"resolution\":";
  if (selected && image) {
    const int width = video && example.width > 0 ? example.width : source_image.cols;
    const int height =
        video && example.height > 0 ? example.height : source_image.rows;
    out += "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) + "}";
  } else {
    out += "null";
  }
  const double fps = example.fps;
  const std::optional<RationalRate> rate = video ? RationalFrameRate(fps) : std::nullopt;
  out += ",\"frame_rate_n\":" + (rate ? std::to_string(rate->numerator) : std::string("null"));
  out += ",\"frame_rate_d\":" + (rate ? std::to_string(rate->denominator) : std::string("null"));
  out += ",\"frame_rate\":" + (video && fps > 0.0 ? FormatJsonNumber(fps) : std::string("null"));
  out += ",\"source_format\":";
  out += !selected ? "null" : video ? "\"MP4\"" : "\"JPEG\"";
  out += ",\"ndi_format\":null,\"frame_age_seconds\":null,\"error\":";
  if (video_error) {
    out += QuotedJsonText(example.error);
  } else if (still_missing) {
    out += "\"Bundled Example source is unavailable\"";
  } else {
    out += "null";
  }
  out += ",\"ndi\":false,\"status\":";
  out += !selected ? "\"waiting\"" : image ? "\"online\"" : "\"stale\"";
  out += ",\"lan_ipv4\":null}";
  return out;
}

}  // namespace tessvark
