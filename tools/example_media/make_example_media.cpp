// Makes the Example media of the user interface from our own synthetic scoreboards:
//   3.mp4                  the looping ice-hockey clip (H.264, 1280x720, 25 fps, 16 s)
//   3-poster.jpg           the clip's first picture
//   1.jpg                  the American-football still
//   factory-defaults.json  source geometry and zones for both
// Usage: make_example_media OUTPUT_FOLDER   (needs the ffmpeg command with libx264 in PATH)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "core/json_text.h"
#include "core/agent_roles.h"
#include "sources/ffmpeg_video_decoder.h"
#include "tools/example_media/example_scenes.h"

extern char** environ;

namespace tessvark {
namespace {

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Pipes every picture of the clip as raw BGR into the ffmpeg command, which encodes it.
bool EncodeClip(const std::string& path) {
  const std::string size = std::to_string(kExampleWidth) + "x" + std::to_string(kExampleHeight);
  const std::vector<std::string> arguments = {
      "ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "rawvideo", "-pixel_format", "bgr24",
      "-video_size", size, "-framerate", std::to_string(kExampleFps), "-i", "-", "-an",
      "-c:v", "libx264", "-preset", "slow", "-crf", "20", "-pix_fmt", "yuv420p", "-g", "50",
      "-fflags", "+bitexact", "-flags:v", "+bitexact", "-map_metadata", "-1", "-movflags", "+faststart", path};
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[0]);
  if (spawned != 0) {
    close(pipe_fds[1]);
    std::cerr << "make_example_media: cannot run ffmpeg\n";
    return false;
  }
  bool fed = true;
  for (int frame = 0; frame < kExampleVideoFrames && fed; ++frame) {
    const cv::Mat picture = RenderHockeyScene(frame).image;
    fed = picture.isContinuous() && WriteAll(pipe_fds[1], picture.data, picture.total() * picture.elemSize());
  }
  close(pipe_fds[1]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !fed) {
    std::cerr << "make_example_media: ffmpeg could not encode " << path << "\n";
    return false;
  }
  return true;
}

// Reads the clip back through the program's own decoder, checks it and keeps its first picture.
bool WritePoster(const std::string& clip, const std::string& poster) {
  auto decoder = MakeFfmpegVideoDecoder();
  std::string error;
  if (!decoder->Open(clip, error) || decoder->FrameCount() != kExampleVideoFrames ||
      decoder->FramesPerSecond() != kExampleFps || decoder->Width() != kExampleWidth ||
      decoder->Height() != kExampleHeight || decoder->CodecName() != "H.264") {
    std::cerr << "make_example_media: " << clip << " does not read back as made\n";
    return false;
  }
  cv::Mat first;
  double pts = 0.0;
  if (!decoder->ReadFrame(first, pts, error)) return false;
  return cv::imwrite(poster, first, {cv::IMWRITE_JPEG_QUALITY, 90});
}


// One profile of the factory defaults: the zones in the session's zone JSON, one per field, and
// the board's corners as the source geometry.
bool AppendProfile(std::string& out, const std::string& source_id, const ExampleScene& scene) {
  out += "    {\"source_type\": \"example\", \"source_id\": " + QuotedJsonText(source_id) + ",\n     \"zones\": [\n";
  int sequence = 0;
  for (const FieldTruth& field : scene.fields) {
    ++sequence;
    const AgentRole* row = FindAgentRole(field.name);
    if (row == nullptr) {
      std::cerr << "make_example_media: no role for field " << field.name << "\n";
      return false;
    }
    out += std::string(sequence == 1 ? "" : ",\n") + "      {\"id\":" + QuotedJsonText(field.name) +
           ",\"role\":" + QuotedJsonText(row->role) + ",\"name\":" + QuotedJsonText(row->display_name) + ",\"type\":" + QuotedJsonText(row->zone_type) +
           ",\"x\":" + FormatJsonNumber(field.x) + ",\"y\":" + FormatJsonNumber(field.y) +
           ",\"width\":" + FormatJsonNumber(field.width) + ",\"height\":" + FormatJsonNumber(field.height) +
           ",\"processing\":null,\"created_sequence\":" + std::to_string(sequence) + "}";
  }
  static const char* const kCornerNames[4] = {"top_left", "top_right", "bottom_right", "bottom_left"};
  out += "\n     ],\n     \"geometry\": {\"points\": {";
  for (int i = 0; i < 4; ++i) {
    out += std::string(i == 0 ? "" : ", ") + QuotedJsonText(kCornerNames[i]) + ": {\"x\": " +
           FormatJsonNumber(scene.corners[i].x) + ", \"y\": " + FormatJsonNumber(scene.corners[i].y) + "}";
  }
  out += "}}}";
  return true;
}

bool WriteFactoryDefaults(const std::string& path, const ExampleScene& video, const ExampleScene& still) {
  std::string out = "{\n  \"version\": 1,\n  \"profiles\": [\n";
  if (!AppendProfile(out, "example-1", video)) return false;
  out += ",\n";
  if (!AppendProfile(out, "example-2", still)) return false;
  out += "\n  ]\n}\n";
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << out;
  return static_cast<bool>(file.flush());
}

int Run(const std::string& folder) {
  signal(SIGPIPE, SIG_IGN);  // a failing ffmpeg shows as a failed write, not as our death
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  const std::string clip = folder + "/3.mp4";
  if (!EncodeClip(clip)) return 1;
  if (!WritePoster(clip, folder + "/3-poster.jpg")) return 1;
  const ExampleScene still = RenderFootballScene();
  if (!cv::imwrite(folder + "/1.jpg", still.image, {cv::IMWRITE_JPEG_QUALITY, 92})) {
    std::cerr << "make_example_media: cannot write 1.jpg\n";
    return 1;
  }
  if (!WriteFactoryDefaults(folder + "/factory-defaults.json", RenderHockeyScene(0), still)) {
    std::cerr << "make_example_media: cannot write factory-defaults.json\n";
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace tessvark

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_example_media OUTPUT_FOLDER\n";
    return 2;
  }
  return tessvark::Run(argv[1]);
}
