#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tessvark {

// "http://127.0.0.1:" + port in decimal + "/".
std::string UiUrlForPort(std::int32_t port);

// Whether `text` is exactly an interface address as UiUrlForPort makes it.
bool IsUiUrl(const std::string& text);

// Writes the URL file: exactly `url`, no line end. The file is replaced in one step, so that a
// second instance reading it meanwhile never sees half an address. False when it failed.
bool WriteUrlFile(const std::string& path, const std::string& url);

// Deletes the URL file; a missing file or a failure is ignored. Nothing for an empty path.
void RemoveUrlFile(const std::string& path);

// What one look at a running instance's URL file found.
enum class UrlFileReading {
  kNotYet = 0,    // no file, or no line that starts like an interface address
  kAddress = 1,   // an interface address, in `url`
  kMalformed = 2  // a line that starts like one but is not an exact interface address
};
UrlFileReading ReadUrlFile(const std::string& path, std::string& url);

// The running instance as its record tells it.
struct RunningInstance {
  std::string url;          // an interface address
  std::string pid;          // its process id in decimal; empty when only its URL file was read
  std::string data_folder;  // empty when it has none, or only its URL file was read
};

// The instance record beside the instance lock, which any start of the same user finds whatever
// its data folder: three lines, the interface address, the process id and the data folder. It is
// replaced in one step and written readable by its owner only. False when it failed.
bool WriteInstanceRecord(const std::string& path, const RunningInstance& instance);

// Reads the instance record: only a regular file of this user, never through a link, counts (the
// fallback place in /tmp is shared with every other user).
UrlFileReading ReadInstanceRecord(const std::string& path, RunningInstance& instance);

// Hands the start over to the running instance: reads its record at `record_path`, then the URL
// file at `url_file_path` (either path may be empty), up to `attempts` times, `pause` apart, and
// calls `open` with the first interface address found. True when a record or URL file was found
// (also when its address was malformed and nothing was opened); false when none appeared in time.
bool HandOverToRunningInstance(const std::string& record_path, const std::string& url_file_path,
                               const std::function<void(const RunningInstance&)>& open,
                               int attempts = 25,
                               std::chrono::milliseconds pause = std::chrono::milliseconds(200));

}  // namespace tessvark
