#pragma once

#include <optional>
#include <string_view>

namespace tessvark {

// The kinds of video source. The program reads the Example media, NDI, OMT and SRT; the other
// kinds come from earlier versions, whose stored configuration may still name them: the program
// keeps such a choice as it was read but cannot open it.
enum class SourceKind {
  kNone,
  kNdi,
  kOmt,
  kExample,
  kSrt,
  kRtsp,
  kIp,
  kIpCamera,
  kCapture,
  kCaptureDevice,
};

// The kind's text in the stored files and the API: "none", "ndi", "omt", "example", "srt",
// "rtsp", "ip", "ip_camera", "capture", "capture_device".
std::string_view SourceKindName(SourceKind kind);

// The kind whose text this is, compared byte for byte; nothing for any other text.
std::optional<SourceKind> ParseSourceKind(std::string_view text);

// Example media, NDI, OMT and SRT: the kinds the program can select.
bool IsSelectableKind(SourceKind kind);

// NDI, OMT and SRT: the kinds whose frames arrive through the frame slot.
bool IsLiveReceiverKind(SourceKind kind);

}  // namespace tessvark
