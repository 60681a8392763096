#include "stand_in_fixture.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/shared_library.h"

namespace tessvark::testing {
namespace {

constexpr char kScenarioFolderVariable[] = "TESSVARK_TEST_SCENARIO_FOLDER";

// The scenario's folder: made by the test program that starts the scenario and handed to the new
// process through the environment, which runs the test from its start again.
class ScenarioFolder {
 public:
  ScenarioFolder() {
    if (const char* inherited = std::getenv(kScenarioFolderVariable)) {
      path_ = inherited;
      return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tessvark-scenario-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scenario folder");
    path_ = pattern;
    owner_ = true;
    setenv(kScenarioFolderVariable, pattern.c_str(), 1);
  }
  ~ScenarioFolder() {
    if (!owner_) return;
    unsetenv(kScenarioFolderVariable);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScenarioFolder(const ScenarioFolder&) = delete;
  ScenarioFolder& operator=(const ScenarioFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool owner_ = false;
};

// A scenario's process reports nothing by itself, so its failures (on any thread) are collected
// and written where the starting test shows them: to its standard error.
[[noreturn]] void RunAndExit(const ScenarioStep& body, const std::filesystem::path& folder) {
  ::testing::TestPartResultArray results;
  {
    const ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
    try {
      body(folder);
    } catch (const std::exception& error) {
      ADD_FAILURE() << "exception: " << error.what();
    }
  }
  int failures = 0;
  for (int i = 0; i < results.size(); ++i) {
    const ::testing::TestPartResult& result = results.GetTestPartResult(i);
    if (!result.failed()) continue;
    ++failures;
    std::fprintf(stderr, "%s:%d: %s\n", result.file_name() ? result.file_name() : "?",
                 result.line_number(), result.message());
  }
  std::fflush(stderr);
  std::exit(failures == 0 ? 0 : 1);
}

}  // namespace

void RunInOwnProcess(const ScenarioStep& body, const ScenarioStep& after) {
  // The new process runs this program again up to here, so it loads nothing this one loaded.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScenarioFolder folder;
  EXPECT_EXIT(RunAndExit(body, folder.path()), ::testing::ExitedWithCode(0), "");
  if (after) after(folder.path());
}

std::filesystem::path StandInPath(const std::string& relative) {
  return std::filesystem::path(TESSVARK_BINARY_DIR) / "tests/sources/stand_ins" / relative;
}

void CopyFileWithMode(const std::filesystem::path& from, const std::filesystem::path& target,
                      std::filesystem::perms mode) {
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(from, target, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(target, mode);
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {});
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool PatchBytes(const std::filesystem::path& path, const std::string& from, const std::string& to) {
  std::vector<std::uint8_t> bytes = ReadBytes(path);
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  if (at == bytes.end() || from.size() != to.size()) return false;
  std::copy(to.begin(), to.end(), at);
  WriteBytes(path, bytes);
  return true;
}

void* StandInFunction(const std::filesystem::path& path, const char* name) {
  // The handle is kept: the library stays loaded for the whole process anyway.
  return FindLibraryFunction(OpenSharedLibrary(path.string()), name);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<std::uint8_t> GradientBgra(int width, int height) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      pixel[0] = static_cast<std::uint8_t>(x);
      pixel[1] = static_cast<std::uint8_t>(y);
      pixel[2] = static_cast<std::uint8_t>(x + y);
      pixel[3] = 255;
    }
  }
  return pixels;
}

std::vector<std::uint8_t> ToBgra(const cv::Mat& bgr) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(bgr.cols) * bgr.rows * 4);
  for (int y = 0; y < bgr.rows; ++y) {
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Vec3b colour = bgr.at<cv::Vec3b>(y, x);
      std::uint8_t* pixel = &pixels[(static_cast<std::size_t>(y) * bgr.cols + x) * 4];
      pixel[0] = colour[0];
      pixel[1] = colour[1];
      pixel[2] = colour[2];
      pixel[3] = 255;
    }
  }
  return pixels;
}

std::uint32_t FrameIndexOf(const cv::Mat& bgr) {
  const cv::Vec3b first = bgr.at<cv::Vec3b>(0, 0);
  return first[0] | static_cast<std::uint32_t>(first[1]) << 8 | static_cast<std::uint32_t>(first[2]) << 16;
}

void RuntimeRecorder::Attach(NdiRuntime& runtime) {
  runtime.SetLinkCallback([this](const NdiLinkSnapshot& snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back(snapshot);
    link_threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
  });
  runtime.SetFrameCallback([this](const NdiFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
    changed_.notify_all();
  });
}

int RuntimeRecorder::WaitForLink(const std::string& state, std::size_t after,
                                 std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  int found = -1;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = after; i < links_.size(); ++i) {
      if (links_[i].state == state) {
        found = static_cast<int>(i);
        return true;
      }
    }
    return false;
  });
  return found;
}

bool RuntimeRecorder::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

std::vector<NdiLinkSnapshot> RuntimeRecorder::Links() {
  std::lock_guard<std::mutex> lock(mutex_);
  return links_;
}

std::vector<NdiFrame> RuntimeRecorder::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::size_t RuntimeRecorder::LinkCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return links_.size();
}

std::size_t RuntimeRecorder::LinksOnThisThread() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(
      std::count(link_threads_.begin(), link_threads_.end(), std::this_thread::get_id()));
}

}  // namespace tessvark::testing
