// Zone previews: the zone as cut from the working image, its prepared picture and each digit
// slot, made exactly as the analysis makes them, for a stored zone or one still being drawn.

#include "session/session_zones.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "ocr/role_readers.h"

namespace tessvark {
namespace {

constexpr const char* kZoneNotFound = "Zone not found";
constexpr const char* kNoPreviewFrame = "No preview frame";
constexpr const char* kGeometryInvalid = "Preview geometry must be four finite numbers";
constexpr const char* kSlotNotFound = "Slot not found";
constexpr std::int32_t kCropQuality = 95;

struct PreviewRect {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
};

std::optional<PreviewRect> ClampPreviewRect(double x, double y, double width, double height) {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(width) || !std::isfinite(height)) {
    return std::nullopt;
  }
  PreviewRect rect;
  rect.x = std::min(std::max(x, 0.0), 1.0);
  rect.y = std::min(std::max(y, 0.0), 1.0);
  rect.width = std::max(0.0, std::min(width, 1.0 - rect.x));
  rect.height = std::max(0.0, std::min(height, 1.0 - rect.y));
  if (!(rect.width > 0.0 && rect.height > 0.0)) return std::nullopt;
  return rect;
}

std::string EncodePng(const cv::Mat& picture) {
  if (picture.empty()) return {};
  std::vector<unsigned char> bytes;
  try {
    if (!cv::imencode(".png", picture, bytes)) return {};
  } catch (const cv::Exception&) {
    return {};
  }
  return std::string(bytes.begin(), bytes.end());
}

RuntimeResponse MakeImageResponse(std::string&& bytes, const char* content_type) {
  if (bytes.empty()) return MakeErrorResponse(500, "Could not encode preview");
  RuntimeResponse reply;
  reply.body = std::move(bytes);
  reply.content_type = content_type;
  return reply;
}

// Digit slot `index` (digit slots only, in layout order) of the picture the readers read, as PNG
// bytes: the slots placed on the ink, in the prepared picture stood upright where it leans.
RuntimeResponse SlotPreview(const OcrZone& zone, const cv::Mat& cut, std::int32_t index) {
  const InkLayout layout = ReadingLayout(cut, zone.role, ProcessingOrDefaults(zone), zone.clock_format);
  std::vector<DigitSlot> digits;
  for (const DigitSlot& slot : layout.slots) {
    if (slot.kind == "digit") digits.push_back(slot);
  }
  if (index < 0 || static_cast<std::size_t>(index) >= digits.size()) {
    return MakeErrorResponse(404, kSlotNotFound);
  }
  const DigitSlot& slot = digits[static_cast<std::size_t>(index)];
  const cv::Rect area = cv::Rect(slot.left, slot.top, slot.right - slot.left + 1,
                                 slot.bottom - slot.top + 1) &
                        cv::Rect(0, 0, layout.picture.cols, layout.picture.rows);
  if (area.empty()) return MakeErrorResponse(404, kSlotNotFound);
  return MakeImageResponse(EncodePng(layout.picture(area).clone()), "image/png");
}

// The zone to preview: the stored one, or one being drawn (its role from the query, the
// defaults otherwise), with the query's rectangle and corners laid over it; the refusal when
// there is none or the query is unusable.
std::optional<RuntimeResponse> PreviewZone(SessionEngine& engine, const std::string& zone_id,
                                           const ZonePreviewOptions& options, OcrZone& zone)
    REQUIRES(engine.mutex) {
  if (!IsValidZoneId(zone_id)) return MakeErrorResponse(404, kZoneNotFound);
  const bool any_geometry = options.has_x || options.has_y || options.has_width || options.has_height;
  const bool all_geometry = options.has_x && options.has_y && options.has_width && options.has_height;
  if (any_geometry && !(all_geometry && options.numbers_valid)) {
    return MakeErrorResponse(422, kGeometryInvalid);
  }
  const std::optional<PreviewRect> query_rect =
      any_geometry ? ClampPreviewRect(options.x, options.y, options.width, options.height)
                   : std::nullopt;

  const std::vector<OcrZone> zones = ZonesFor(engine.zones, engine.selection);
  const auto stored = std::find_if(zones.begin(), zones.end(),
                                   [&](const OcrZone& candidate) { return candidate.id == zone_id; });
  if (stored != zones.end()) {
    zone = *stored;
    if (any_geometry && !query_rect) return MakeErrorResponse(404, kNoPreviewFrame);
  } else {
    const std::optional<ZoneRoleRow> row = FindZoneRole(options.role);
    if (!any_geometry || !row || !query_rect) return MakeErrorResponse(404, kZoneNotFound);
    zone.role = row->role;
    zone.type = row->type;
  }
  if (query_rect) {
    zone.x = query_rect->x;
    zone.y = query_rect->y;
    zone.width = query_rect->width;
    zone.height = query_rect->height;
  }

  if (options.perspective_set) {
    zone.perspective_enabled = options.perspective;
    if (options.perspective) {
      if (!(options.corners_complete && options.numbers_valid)) {
        return MakeErrorResponse(422, "Perspective preview requires four corners");
      }
      // Passed on as given: the cut checks and clamps the corners itself.
      for (std::size_t i = 0; i < zone.corners.size(); ++i) {
        zone.corners[i] = GeometryPoint{options.corner_x[i], options.corner_y[i]};
      }
    }
  }
  return std::nullopt;
}

}  // namespace

RuntimeResponse SessionZones::GetZonePreview(const std::string& zone_id, const std::string& kind,
                                              std::int32_t slot_index,
                                              const ZonePreviewOptions& options) {
  if (kind != "crop" && kind != "processed-preview" && kind != "slot-preview") {
    return MakeErrorResponse(404, "Not Found");
  }
  OcrZone zone;
  WorkingView view;
  {
    MutexLock engine(engine_.mutex);
    if (!WorkingPictureShown(engine_.pictures)) {
      return MakeErrorResponse(503, "No working frame available");
    }
    if (std::optional<RuntimeResponse> refused = PreviewZone(engine_, zone_id, options, zone)) {
      return *refused;
    }
    view.source = engine_.pictures.source_image;
    view.geometry = engine_.CurrentSetup()->geometry;
  }
  // The cut, its preparation and the encoding run without the engine mutex.
  view = MakeWorkingView(view.source, view.geometry);
  const ZoneCrop crop = CutZone(view, zone.x, zone.y, zone.width, zone.height,
                                zone.perspective_enabled ? std::optional<CornerQuad>(zone.corners)
                                                         : std::nullopt,
                                zone_id);
  if (crop.failed) {
    return MakeErrorResponse(422, crop.error.empty() ? "Perspective shape is invalid" : crop.error);
  }
  if (crop.image.empty()) return MakeErrorResponse(404, kNoPreviewFrame);

  if (kind == "crop") return MakeImageResponse(EncodeJpeg(crop.image, kCropQuality), "image/jpeg");
  if (kind == "processed-preview") {
    return MakeImageResponse(EncodePng(PreprocessZoneImage(crop.image, ProcessingOrDefaults(zone))), "image/png");
  }
  return SlotPreview(zone, crop.image, slot_index);
}

}  // namespace tessvark
