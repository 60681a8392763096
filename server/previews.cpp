#include <cmath>
#include <cstdlib>
#include <string>

#include "server/server_state.h"

namespace tessvark {
namespace {

// One numeric query parameter: absent changes nothing; present sets the flag and the value as
// strtod reads it, and anything but a whole finite number clears numbers_valid.
void ReadNumericQuery(const httplib::Request& req, ZonePreviewOptions& options,
                      const std::string& name, bool& present, double& value) {
  if (!req.has_param(name)) return;
  present = true;
  const std::string text = req.get_param_value(name);
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) options.numbers_valid = false;
}

}  // namespace

ZonePreviewOptions ReadZonePreviewOptions(const httplib::Request& req) {
  ZonePreviewOptions options;
  ReadNumericQuery(req, options, "x", options.has_x, options.x);
  ReadNumericQuery(req, options, "y", options.has_y, options.y);
  ReadNumericQuery(req, options, "width", options.has_width, options.width);
  ReadNumericQuery(req, options, "height", options.has_height, options.height);
  if (req.has_param("perspective")) {
    options.perspective_set = true;
    const std::string value = req.get_param_value("perspective");
    options.perspective = value == "1" || value == "true";
  }
  int complete = 0;
  for (int i = 0; i < 4; ++i) {
    const char digit = static_cast<char>('0' + i);
    const std::string x_name{'c', digit, 'x'};
    const std::string y_name{'c', digit, 'y'};
    // A corner counts only with both coordinates; a lone one is not read at all.
    if (!req.has_param(x_name) || !req.has_param(y_name)) continue;
    bool present = false;
    ReadNumericQuery(req, options, x_name, present, options.corner_x[i]);
    ReadNumericQuery(req, options, y_name, present, options.corner_y[i]);
    ++complete;
  }
  options.corners_complete = complete == 4;
  if (req.has_param("role")) {
    options.has_role = true;
    options.role = req.get_param_value("role");
  }
  return options;
}

void ServeSourcePreview(LocalHttpServer::Impl& impl, httplib::Response& res, bool working) {
  OcrRuntime* runtime = impl.runtime.load();
  if (runtime == nullptr) {
    res.status = 503;
    res.set_content(working ? "Waiting for working frame..." : "Waiting for source...",
                    "text/html; charset=utf-8");
    return;
  }
  RuntimeResponse reply = runtime->GetPreview(working);
  res.status = reply.status;
  SetMovedContent(res, std::move(reply.body), reply.content_type);
  res.set_header("Cache-Control", "no-store");
}

void ServeZonePreview(LocalHttpServer::Impl& impl, const httplib::Request& req,
                      httplib::Response& res, const std::string& kind, std::int32_t slot_index) {
  const ZonePreviewOptions options = ReadZonePreviewOptions(req);
  const std::string zone_id = req.matches[1].str();
  CallRuntime(impl, res, [&](OcrRuntime& runtime) {
    return runtime.GetZonePreview(zone_id, kind, slot_index, options);
  });
  if (res.status == 200) res.set_header("Cache-Control", "no-store");
}

void ServeSlotPreview(LocalHttpServer::Impl& impl, const httplib::Request& req,
                      httplib::Response& res) {
  const std::string text = req.matches[2].str();
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  // Taken as unsigned, so that negative numbers are out of range too.
  if (end == text.c_str() || *end != '\0' || static_cast<unsigned long>(value) > 16) {
    SendJsonError(res, 404, "Slot not found");
    return;
  }
  ServeZonePreview(impl, req, res, "slot-preview", static_cast<std::int32_t>(value));
}

void ServeExampleImage(const LocalHttpServer::Impl& impl, const httplib::Request& req,
                       httplib::Response& res) {
  const std::string source_id = req.matches[1].str();
  const char* file = nullptr;
  if (source_id == "example-1") {
    file = "/assets/example/3-poster.jpg";
  } else if (source_id == "example-2") {
    file = "/assets/example/1.jpg";
  } else {
    SendJsonError(res, 404, "Unknown Example source id");
    return;
  }
  ServeUiFile(res, impl.options.ui_root + file, "image/jpeg", "public, max-age=86400");
}

}  // namespace tessvark
