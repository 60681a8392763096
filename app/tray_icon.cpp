#include "app/tray_icon.h"

#include <cstdint>

#include "core/version.h"

namespace tessvark {
namespace {

constexpr std::int32_t kDesignSize = 32;

// The favicon on its 32-pixel grid: the background, then the three lit segments of the 7.
struct Rect {
  std::int32_t x;
  std::int32_t y;
  std::int32_t width;
  std::int32_t height;
};
constexpr std::uint8_t kBackground[4] = {0xff, 0x11, 0x18, 0x27};  // A, R, G, B
constexpr std::uint8_t kSegment[4] = {0xff, 0xfa, 0xcc, 0x15};
constexpr Rect kSegments[] = {{12, 5, 8, 3}, {20, 8, 3, 8}, {20, 17, 3, 7}};

// The picture at `scale` times the design size; its one-pixel corners (scaled) stay clear.
TrayPixmap DrawIcon(std::int32_t scale) {
  TrayPixmap pixmap;
  pixmap.width = kDesignSize * scale;
  pixmap.height = kDesignSize * scale;
  pixmap.argb.assign(static_cast<std::size_t>(pixmap.width * pixmap.height) * 4, 0);
  auto fill = [&](const Rect& rect, const std::uint8_t (&colour)[4]) {
    for (std::int32_t y = rect.y * scale; y < (rect.y + rect.height) * scale; ++y) {
      for (std::int32_t x = rect.x * scale; x < (rect.x + rect.width) * scale; ++x) {
        std::uint8_t* pixel = &pixmap.argb[static_cast<std::size_t>(y * pixmap.width + x) * 4];
        for (int byte = 0; byte < 4; ++byte) pixel[byte] = colour[byte];
      }
    }
  };
  const std::int32_t last = kDesignSize - 1;
  fill({1, 0, kDesignSize - 2, 1}, kBackground);
  fill({0, 1, kDesignSize, kDesignSize - 2}, kBackground);
  fill({1, last, kDesignSize - 2, 1}, kBackground);
  for (const Rect& segment : kSegments) fill(segment, kSegment);
  return pixmap;
}

}  // namespace

std::string WindowTitle() {
  std::string prerelease = kProgramPrerelease;
  if (!prerelease.empty() && prerelease[0] >= 'a' && prerelease[0] <= 'z') {
    prerelease[0] = static_cast<char>(prerelease[0] - 'a' + 'A');
  }
  std::string title = std::string("Tessvark ") + kProgramVersion;
  if (!prerelease.empty()) title += " " + prerelease;
  return title + " \u2014 " + kPlatformName;
}

std::vector<TrayPixmap> ProgramIconPixmaps() { return {DrawIcon(1), DrawIcon(2)}; }

TrayIconSettings ProgramTrayIcon() {
  TrayIconSettings settings;
  settings.id = "tessvark";
  settings.title = WindowTitle();
  settings.icon = ProgramIconPixmaps();
  settings.menu = {{"Open Tessvark", HostAction::kOpen},
                   {"Check for Updates", HostAction::kCheckUpdates},
                   {"", std::nullopt},
                   {"Quit Tessvark", HostAction::kQuit}};
  return settings;
}

}  // namespace tessvark
