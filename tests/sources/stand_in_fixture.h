#pragma once

// Running the real library loaders against our stand-in libraries: each scenario in a process of
// its own (a library is loaded at most once per process), the stand-ins copied where the program
// looks for them, and waiting on what the runtimes report.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sources/ndi_runtime.h"
#include "sources/ndi_sdk.h"
#include "sources/omt_library.h"
#include "stand_ins/stand_in_control.h"
#include "tests/support/wait_until.h"

namespace tessvark::testing {

// Runs `body` in a new process of this test program and expects it to end without a failure.
// `body` gets a fresh folder of its own; once that process has ended, `after` (when given) looks
// at the folder in this process, and then the folder is removed. Failures inside `body` are
// printed by its process.
using ScenarioStep = std::function<void(const std::filesystem::path& folder)>;
void RunInOwnProcess(const ScenarioStep& body, const ScenarioStep& after = {});

// A built stand-in library: "ndi/libndi.so", "ndi_incomplete/libndi.so", "omt/libvmx.so",
// "omt/libomt.so", "omt_incomplete/libomt.so".
std::filesystem::path StandInPath(const std::string& relative);
// Copies a file to `target` (its folder made) with the mode `mode`.
void CopyFileWithMode(const std::filesystem::path& from, const std::filesystem::path& target,
                      std::filesystem::perms mode = std::filesystem::perms(0755));
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
// Replaces the first occurrence of `from` in the file by `to` (of the same length); false when it
// does not occur.
bool PatchBytes(const std::filesystem::path& path, const std::string& from, const std::string& to);

// A function the test finds in a loaded stand-in (the library at `path` is opened again, which
// gives the same loaded copy); null when it has none.
void* StandInFunction(const std::filesystem::path& path, const char* name);

// The SHA-256 of a file's bytes.
std::string Sha256OfFile(const std::filesystem::path& path);

// The size of the gradient pictures the stand-ins send unless told otherwise.
inline constexpr int kGradientWidth = 64;
inline constexpr int kGradientHeight = 48;

// The NDI stand-in installed as the runtime in `folder`/ndi-runtime, the folder that
// NDI_RUNTIME_DIR_V6 is set to, and its scripting (which loads it).
class InstalledNdi {
 public:
  explicit InstalledNdi(const std::filesystem::path& folder, const char* built = "ndi/libndi.so");
  const std::filesystem::path& library() const { return library_; }

  template <typename Function>
  Function Get(const char* name) const {
    return reinterpret_cast<Function>(StandInFunction(library_, name));
  }
  NdiStandInCounters Read() const;
  void SetSources(const std::vector<std::pair<const char*, const char*>>& sources,
                  bool announce = true) const;
  // `name` sends `pixels` (rows packed, four bytes a pixel) every `interval_ms`.
  void Send(const char* name, const std::vector<std::uint8_t>& pixels, int width, int height,
            std::uint32_t fourcc, int interval_ms) const;
  // `name` sends the gradient every 20 ms.
  void SendGradient(const char* name, std::uint32_t fourcc = ndi::kFourCcBgra) const;
  void StopSending(const char* name) const;

 private:
  std::filesystem::path library_;
};

// What the Source tab says when the two stand-ins are not both in `program`.
std::string OmtAbsentNote(const std::filesystem::path& program);
// A refusal of a case table: kOmtAbsent stands for OmtAbsentNote(program), any other text for itself.
inline constexpr char kOmtAbsent[] = "(the OMT libraries are absent)";
std::string ExpectedOmtRefusal(const char* message, const std::filesystem::path& program);

// The two OMT stand-ins copied into `folder`/program, and their scripting (which loads them).
class InstalledOmt {
 public:
  explicit InstalledOmt(const std::filesystem::path& folder, const char* omt = "omt/libomt.so");
  const std::filesystem::path& program() const { return program_; }
  // The setup that pins both files as they lie there now (a missing file gets no digest).
  OmtLibrarySetup Pin() const;

  template <typename Function>
  Function Get(const char* name) const {
    return reinterpret_cast<Function>(StandInFunction(program_ / "libomt.so", name));
  }
  OmtStandInCounters Read() const;
  void SetAddresses(const std::vector<const char*>& addresses) const;
  // `address` sends a record of `frame_type` with this picture every `interval_ms`; stride and
  // data length are written into the record as given.
  void Send(const char* address, std::uint32_t format, int width, int height,
            const std::vector<std::uint8_t>& pixels, int stride, int data_length,
            int frame_type = 2, int interval_ms = 20) const;
  // `address` sends the gradient as BGRA every 20 ms.
  void SendGradient(const char* address) const;

 private:
  std::filesystem::path program_;
};

// A BGRA picture of `width` x `height` whose pixel (x, y) is (x, y, x + y, 255) modulo 256.
std::vector<std::uint8_t> GradientBgra(int width, int height);
// A BGR picture as packed BGRA rows (the fourth byte 255).
std::vector<std::uint8_t> ToBgra(const cv::Mat& bgr);
// The index a stand-in wrote into the first pixel of a picture.
std::uint32_t FrameIndexOf(const cv::Mat& bgr);

// Everything a runtime told through its callbacks, for a test to wait on. Declare it before the
// runtime, so that it outlives the runtime's threads.
class RuntimeRecorder {
 public:
  // Installs both callbacks on `runtime`.
  void Attach(NdiRuntime& runtime);

  // Waits until a link snapshot with this state word (and, when given, message) has been
  // published after the first `after` publications; returns its position, or -1 after the time-out.
  int WaitForLink(const std::string& state, std::size_t after = 0,
                  std::chrono::milliseconds timeout = kPatience);
  // Waits until at least `count` frames arrived.
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout = kPatience);

  std::vector<NdiLinkSnapshot> Links();
  std::vector<NdiFrame> Frames();
  std::size_t LinkCount();
  // Publications made on the thread that calls this.
  std::size_t LinksOnThisThread();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<NdiLinkSnapshot> links_;
  std::vector<std::thread::id> link_threads_;
  std::vector<NdiFrame> frames_;
};

}  // namespace tessvark::testing
