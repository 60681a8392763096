#include "app/url_file.h"

#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/atomic_file.h"

namespace tessvark {
namespace {

constexpr char kUrlPrefix[] = "http://127.0.0.1:";
constexpr std::size_t kUrlPrefixLength = sizeof(kUrlPrefix) - 1;

}  // namespace

std::string UiUrlForPort(std::int32_t port) {
  return kUrlPrefix + std::to_string(port) + "/";
}

bool IsUiUrl(const std::string& text) {
  // One to five digits between the prefix and the closing slash.
  if (text.size() < kUrlPrefixLength + 2 || text.size() > kUrlPrefixLength + 6) return false;
  if (text.compare(0, kUrlPrefixLength, kUrlPrefix) != 0 || text.back() != '/') return false;
  std::int32_t port = 0;
  for (std::size_t i = kUrlPrefixLength; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    port = port * 10 + (text[i] - '0');
  }
  return port >= 1 && port <= 65535;
}

bool WriteUrlFile(const std::string& path, const std::string& url) {
  if (path.empty() || url.empty()) return false;
  return ReplaceFileWithText(path, url) == ReplaceFileStatus::kReplaced;
}

void RemoveUrlFile(const std::string& path) {
  if (!path.empty()) unlink(path.c_str());
}

UrlFileReading ReadUrlFile(const std::string& path, std::string& url) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return UrlFileReading::kNotYet;
  if (line.size() < kUrlPrefixLength || line.compare(0, kUrlPrefixLength, kUrlPrefix) != 0) {
    return UrlFileReading::kNotYet;
  }
  if (!IsUiUrl(line)) return UrlFileReading::kMalformed;
  url = line;
  return UrlFileReading::kAddress;
}

bool HandOverToRunningInstance(const std::string& url_file_path,
                               const std::function<void(const std::string&)>& open_url,
                               int attempts, std::chrono::milliseconds pause) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    std::string url;
    const UrlFileReading reading = ReadUrlFile(url_file_path, url);
    if (reading == UrlFileReading::kAddress) open_url(url);
    if (reading != UrlFileReading::kNotYet) return true;
    std::this_thread::sleep_for(pause);
  }
  return false;
}

}  // namespace tessvark
