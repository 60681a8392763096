#include "media_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace tessvark::testing {

cv::Mat MakeIndexedPicture(int index, int width, int height, cv::Scalar ground) {
  cv::Mat picture(height, width, CV_8UC3, ground);
  const int cell = width / 8;
  for (int bit = 0; bit < 8; ++bit) {
    const bool on = (index >> (7 - bit)) & 1;
    picture(cv::Rect(bit * cell, 0, cell, height / 2)).setTo(on ? cv::Scalar(255, 255, 255) : cv::Scalar(0, 0, 0));
  }
  return picture;
}

int ReadPictureIndex(const cv::Mat& picture) {
  if (picture.empty() || picture.type() != CV_8UC3) return -1;
  const int cell = picture.cols / 8;
  int index = 0;
  for (int bit = 0; bit < 8; ++bit) {
    const cv::Vec3b centre = picture.at<cv::Vec3b>(picture.rows / 4, bit * cell + cell / 2);
    const int level = (centre[0] + centre[1] + centre[2]) / 3;
    if (level > 40 && level < 215) return -1;
    index = index * 2 + (level >= 215 ? 1 : 0);
  }
  return index;
}

bool MakeIndexedClip(const std::string& path, const ClipSpec& spec) {
  const std::string raw = path + ".bgr";
  {
    std::ofstream out(raw, std::ios::binary);
    for (int i = 0; i < spec.frames; ++i) {
      const cv::Mat picture = MakeIndexedPicture(i, spec.width, spec.height, cv::Scalar(40, 90, 200));
      out.write(reinterpret_cast<const char*>(picture.data), static_cast<std::streamsize>(picture.total() * 3));
    }
  }
  const std::string size = std::to_string(spec.width) + "x" + std::to_string(spec.height);
  std::vector<std::string> command = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error",
                                      "-f", "rawvideo", "-pixel_format", "bgr24", "-video_size", size,
                                      "-framerate", std::to_string(spec.fps), "-i", raw};
  if (spec.audio_seconds > 0.0) {
    command.insert(command.end(), {"-f", "lavfi", "-t", std::to_string(spec.audio_seconds), "-i",
                                   "sine=frequency=440:sample_rate=8000", "-c:a", "aac"});
  }
  command.insert(command.end(), {"-c:v", spec.codec});
  if (spec.codec == "libx264rgb" || spec.codec == "libx264") command.insert(command.end(), {"-qp", "0"});
  command.push_back(path);
  const bool made = RunProgram(command) == 0 && std::filesystem::exists(path);
  std::remove(raw.c_str());
  return made;
}

int FreeLoopbackUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace tessvark::testing
