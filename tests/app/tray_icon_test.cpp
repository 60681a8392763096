#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <string>

#include "app/tray_icon.h"
#include "core/version.h"

namespace tessvark {
namespace {

// The tray shows the same picture as the interface's favicon; the 64-pixel icon is the same
// picture at twice the size. Pixels are A, R, G, B as the tray protocol carries them.
TEST(TrayIconTest, ProgramIconIsTheFaviconInArgbOrder) {
  const cv::Mat favicon =
      cv::imread(TESSVARK_SOURCE_DIR "/resources/ui/assets/favicon.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(favicon.type(), CV_8UC4);
  const std::vector<TrayPixmap> icon = ProgramIconPixmaps();
  ASSERT_EQ(icon.size(), 2u);
  for (const TrayPixmap& pixmap : icon) {
    const int scale = pixmap.width / favicon.cols;
    SCOPED_TRACE(pixmap.width);
    ASSERT_GE(scale, 1);
    ASSERT_EQ(pixmap.width, favicon.cols * scale);
    ASSERT_EQ(pixmap.height, favicon.rows * scale);
    ASSERT_EQ(pixmap.argb.size(), static_cast<std::size_t>(pixmap.width * pixmap.height * 4));
    int differing = 0;
    for (int y = 0; y < pixmap.height; ++y) {
      for (int x = 0; x < pixmap.width; ++x) {
        const cv::Vec4b bgra = favicon.at<cv::Vec4b>(y / scale, x / scale);
        const std::uint8_t* argb = &pixmap.argb[static_cast<std::size_t>(y * pixmap.width + x) * 4];
        if (argb[0] != bgra[3] || argb[1] != bgra[2] || argb[2] != bgra[1] || argb[3] != bgra[0]) {
          ++differing;
        }
      }
    }
    EXPECT_EQ(differing, 0);
  }
}

TEST(TrayIconTest, TitleNamesVersionPrereleaseAndPlatform) {
  EXPECT_EQ(WindowTitle(), std::string("Tessvark ") + kProgramVersion + " Beta \u2014 Linux");
  const TrayIconSettings tray = ProgramTrayIcon();
  EXPECT_EQ(tray.id, "tessvark");
  EXPECT_EQ(tray.title, WindowTitle());
  EXPECT_TRUE(tray.bus_address.empty()) << "the user's own session bus";
}

}  // namespace
}  // namespace tessvark
