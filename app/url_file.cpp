#include "app/url_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/unique_fd.h"

namespace tessvark {
namespace {

constexpr char kUrlPrefix[] = "http://127.0.0.1:";
constexpr std::size_t kUrlPrefixLength = sizeof(kUrlPrefix) - 1;

// A record holds an address, a process id and a folder path: far less than this.
constexpr std::size_t kMaxRecordBytes = 8192;

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

namespace {

// A first line that does not even start like an interface address may be one half written.
UrlFileReading JudgeAddressLine(const std::string& line) {
  if (line.size() < kUrlPrefixLength || line.compare(0, kUrlPrefixLength, kUrlPrefix) != 0) {
    return UrlFileReading::kNotYet;
  }
  return IsUiUrl(line) ? UrlFileReading::kAddress : UrlFileReading::kMalformed;
}

}  // namespace

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
  const UrlFileReading reading = JudgeAddressLine(line);
  if (reading == UrlFileReading::kAddress) url = line;
  return reading;
}

bool WriteInstanceRecord(const std::string& path, const RunningInstance& instance) {
  if (path.empty() || !IsUiUrl(instance.url)) return false;
  // Others may read the folder of the fallback place; the record says where this user's data is.
  return ReplaceFileWithText(path,
                             instance.url + "\n" + instance.pid + "\n" + instance.data_folder + "\n",
                             0600) == ReplaceFileStatus::kReplaced;
}

UrlFileReading ReadInstanceRecord(const std::string& path, RunningInstance& instance) {
  if (path.empty()) return UrlFileReading::kNotYet;
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_uid != geteuid()) {
    return UrlFileReading::kNotYet;
  }
  char buffer[kMaxRecordBytes];
  const ssize_t got = read(file.get(), buffer, sizeof(buffer));
  if (got <= 0) return UrlFileReading::kNotYet;
  std::istringstream lines(std::string(buffer, static_cast<std::size_t>(got)));
  RunningInstance read_instance;
  std::getline(lines, read_instance.url);
  std::getline(lines, read_instance.pid);
  std::getline(lines, read_instance.data_folder);
  const UrlFileReading reading = JudgeAddressLine(read_instance.url);
  if (reading == UrlFileReading::kAddress) instance = std::move(read_instance);
  return reading;
}

bool HandOverToRunningInstance(const std::string& record_path, const std::string& url_file_path,
                               const std::function<void(const RunningInstance&)>& open,
                               int attempts, std::chrono::milliseconds pause) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    RunningInstance instance;
    UrlFileReading reading = ReadInstanceRecord(record_path, instance);
    if (reading == UrlFileReading::kNotYet && !url_file_path.empty()) {
      reading = ReadUrlFile(url_file_path, instance.url);
    }
    if (reading == UrlFileReading::kAddress) open(instance);
    if (reading != UrlFileReading::kNotYet) return true;
    std::this_thread::sleep_for(pause);
  }
  return false;
}

}  // namespace tessvark
