#include "stand_in_fixture.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

#include "core/sha256.h"
#include "platform/shared_library.h"
#include "tests/support/temp_folder.h"

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
    owned_.emplace("scenario");
    path_ = owned_->path();
    setenv(kScenarioFolderVariable, owned_->path().c_str(), 1);
  }
  ~ScenarioFolder() {
    if (owned_) unsetenv(kScenarioFolderVariable);
  }
  ScenarioFolder(const ScenarioFolder&) = delete;
  ScenarioFolder& operator=(const ScenarioFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  // Only the process that made the folder removes it.
  std::optional<TempFolder> owned_;
  std::filesystem::path path_;
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

std::string Sha256OfFile(const std::filesystem::path& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  return Sha256HexOfBytes(bytes.data(), bytes.size());
}

InstalledNdi::InstalledNdi(const std::filesystem::path& folder, const char* built)
    : library_(folder / "ndi-runtime/libndi.so.6") {
  CopyFileWithMode(StandInPath(built), library_);
  setenv("NDI_RUNTIME_DIR_V6", library_.parent_path().c_str(), 1);
}

NdiStandInCounters InstalledNdi::Read() const {
  NdiStandInCounters counters{};
  Get<NdiStandInRead>("ndi_stand_in_read")(&counters);
  return counters;
}

void InstalledNdi::SetSources(const std::vector<std::pair<const char*, const char*>>& sources,
                              bool announce) const {
  std::vector<const char*> names;
  std::vector<const char*> urls;
  for (const auto& [name, url] : sources) {
    names.push_back(name);
    urls.push_back(url);
  }
  Get<NdiStandInSetSources>("ndi_stand_in_set_sources")(names.data(), urls.data(),
                                                        static_cast<int>(names.size()), announce);
}

void InstalledNdi::Send(const char* name, const std::vector<std::uint8_t>& pixels, int width,
                        int height, std::uint32_t fourcc, int interval_ms) const {
  Get<NdiStandInSend>("ndi_stand_in_send")(name, pixels.data(), width, height, width * 4, fourcc,
                                           interval_ms);
}

void InstalledNdi::SendGradient(const char* name, std::uint32_t fourcc) const {
  Send(name, GradientBgra(kGradientWidth, kGradientHeight), kGradientWidth, kGradientHeight, fourcc,
       20);
}

void InstalledNdi::StopSending(const char* name) const {
  Get<NdiStandInStopSending>("ndi_stand_in_stop_sending")(name);
}

InstalledOmt::InstalledOmt(const std::filesystem::path& folder, const char* omt)
    : program_(folder / "program") {
  CopyFileWithMode(StandInPath("omt/libvmx.so"), program_ / "libvmx.so");
  CopyFileWithMode(StandInPath(omt), program_ / "libomt.so");
}

std::string OmtAbsentNote(const std::filesystem::path& program) {
  return "The OMT runtime is not installed: Tessvark looked for libvmx.so and libomt.so in " + program.string() +
         ". Examples remain available.";
}

std::string ExpectedOmtRefusal(const char* message, const std::filesystem::path& program) {
  return std::string(message) == kOmtAbsent ? OmtAbsentNote(program) : std::string(message);
}

OmtLibrarySetup InstalledOmt::Pin() const {
  OmtLibrarySetup setup{program_.string(), {}, "v-test"};
  for (const char* name : {"libvmx.so", "libomt.so"}) {
    const bool present = std::filesystem::exists(program_ / name);
    setup.pins.push_back({name, present ? Sha256OfFile(program_ / name) : std::string()});
  }
  return setup;
}

OmtStandInCounters InstalledOmt::Read() const {
  OmtStandInCounters counters{};
  Get<OmtStandInRead>("omt_stand_in_read")(&counters);
  return counters;
}

void InstalledOmt::SetAddresses(const std::vector<const char*>& addresses) const {
  Get<OmtStandInSetAddresses>("omt_stand_in_set_addresses")(addresses.data(),
                                                            static_cast<int>(addresses.size()));
}

void InstalledOmt::Send(const char* address, std::uint32_t format, int width, int height,
                        const std::vector<std::uint8_t>& pixels, int stride, int data_length,
                        int frame_type, int interval_ms) const {
  Get<OmtStandInSend>("omt_stand_in_send")(address, frame_type, format, width, height, stride,
                                           data_length, pixels.data(),
                                           static_cast<int>(pixels.size()), interval_ms);
}

void InstalledOmt::SendGradient(const char* address) const {
  const std::vector<std::uint8_t> pixels = GradientBgra(kGradientWidth, kGradientHeight);
  Send(address, omt::kFormatBgra, kGradientWidth, kGradientHeight, pixels, kGradientWidth * 4,
       static_cast<int>(pixels.size()));
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
