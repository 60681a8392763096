#include <fstream>
#include <string>
#include <utility>

#include "server/server_state.h"

namespace tessvark {
namespace {

constexpr char kCsrfPlaceholder[] = "__TESSVARK_CSRF_TOKEN__";
constexpr std::size_t kCsrfPlaceholderLength = sizeof(kCsrfPlaceholder) - 1;
constexpr char kNoStore[] = "no-store, max-age=0";

}  // namespace

void SetMovedContent(httplib::Response& res, std::string&& body, const std::string& content_type) {
  res.body = std::move(body);
  res.headers.erase("Content-Type");
  res.set_header("Content-Type", content_type);
}

void SendBody(httplib::Response& res, std::string&& body, const std::string& content_type,
              const char* cache_control) {
  res.status = 200;
  SetMovedContent(res, std::move(body), content_type);
  if (cache_control != nullptr) res.set_header("Cache-Control", cache_control);
}

std::string ReadFileLimited(const std::string& path, std::uint64_t limit) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size < 0 || static_cast<std::uint64_t>(size) > limit) return {};
  file.seekg(0, std::ios::beg);
  std::string content(static_cast<std::size_t>(size), '\0');
  if (!file.read(content.data(), size)) return {};
  return content;
}

void ServeUiFile(httplib::Response& res, const std::string& path, const std::string& content_type,
                 const char* cache_control) {
  std::string content = ReadFileLimited(path, kUiFileLimit);
  if (content.empty()) {
    SendJsonError(res, 404, "Not Found");
    return;
  }
  SendBody(res, std::move(content), content_type, cache_control);
}

void ServeIndexPage(const LocalHttpServer::Impl& impl, httplib::Response& res) {
  std::string page = ReadFileLimited(impl.options.ui_root + "/index.html", kUiFileLimit);
  if (page.empty()) {
    SendJsonError(res, 404, "Not Found");
    return;
  }
  const std::size_t at = page.find(kCsrfPlaceholder);
  if (at != std::string::npos) page.replace(at, kCsrfPlaceholderLength, impl.csrf_token);
  SendBody(res, std::move(page), "text/html; charset=utf-8", kNoStore);
  res.set_header("Pragma", "no-cache");
}

}  // namespace tessvark
