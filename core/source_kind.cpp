#include "core/source_kind.h"

#include <array>
#include <utility>

namespace tessvark {
namespace {

constexpr std::array<std::pair<SourceKind, std::string_view>, 10> kNames = {{
    {SourceKind::kNone, "none"},
    {SourceKind::kNdi, "ndi"},
    {SourceKind::kOmt, "omt"},
    {SourceKind::kExample, "example"},
    {SourceKind::kSrt, "srt"},
    {SourceKind::kRtsp, "rtsp"},
    {SourceKind::kIp, "ip"},
    {SourceKind::kIpCamera, "ip_camera"},
    {SourceKind::kCapture, "capture"},
    {SourceKind::kCaptureDevice, "capture_device"},
}};

}  // namespace

std::string_view SourceKindName(SourceKind kind) {
  for (const auto& [named, name] : kNames) {
    if (named == kind) return name;
  }
  return "none";
}

std::optional<SourceKind> ParseSourceKind(std::string_view text) {
  for (const auto& [kind, name] : kNames) {
    if (name == text) return kind;
  }
  return std::nullopt;
}

bool IsSelectableKind(SourceKind kind) {
  return kind == SourceKind::kExample || IsLiveReceiverKind(kind);
}

bool IsLiveReceiverKind(SourceKind kind) {
  return kind == SourceKind::kNdi || kind == SourceKind::kOmt || kind == SourceKind::kSrt;
}

}  // namespace tessvark
