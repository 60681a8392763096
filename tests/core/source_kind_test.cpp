// Source kinds as the stored files and the API name them.

#include "core/source_kind.h"

#include <gtest/gtest.h>

#include <string>

namespace tessvark {
namespace {

TEST(SourceKind, EachKindReadsBackFromItsText) {
  const struct {
    SourceKind kind;
    const char* text;
    bool selectable;
    bool live;
  } cases[] = {
      {SourceKind::kNone, "none", false, false},
      {SourceKind::kNdi, "ndi", true, true},
      {SourceKind::kOmt, "omt", true, true},
      {SourceKind::kExample, "example", true, false},
      {SourceKind::kSrt, "srt", true, true},
      {SourceKind::kRtsp, "rtsp", false, false},
      {SourceKind::kIp, "ip", false, false},
      {SourceKind::kIpCamera, "ip_camera", false, false},
      {SourceKind::kCapture, "capture", false, false},
      {SourceKind::kCaptureDevice, "capture_device", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SourceKindName(c.kind), c.text);
    EXPECT_EQ(ParseSourceKind(c.text), c.kind);
    EXPECT_EQ(IsSelectableKind(c.kind), c.selectable);
    EXPECT_EQ(IsLiveReceiverKind(c.kind), c.live);
  }
}

TEST(SourceKind, OtherTextNamesNoKind) {
  const std::string texts[] = {"",           "NDI", "ndi ",           " srt",    "example-1",
                               "omt\n",      std::string("ndi\0", 4), "capture-device",
                               "ipcamera"};
  for (const std::string& text : texts) {
    EXPECT_FALSE(ParseSourceKind(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace tessvark
