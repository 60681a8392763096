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

// Hands the start over to the running instance: reads its URL file up to `attempts` times,
// `pause` apart, and opens the address once found. True when a URL file was found (also when its
// address was malformed and nothing was opened); false when none appeared in time.
bool HandOverToRunningInstance(const std::string& url_file_path,
                               const std::function<void(const std::string&)>& open_url,
                               int attempts = 25,
                               std::chrono::milliseconds pause = std::chrono::milliseconds(200));

}  // namespace tessvark
