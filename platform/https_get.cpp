#include "platform/https_get.h"

#include <httplib.h>

namespace tessvark {
namespace {

// Whether a declared Content-Length is above `limit`; a malformed one is left to the library,
// which refuses it.
bool DeclaresMoreThan(const httplib::Response& response, std::uint64_t limit) {
  if (!response.has_header("Content-Length")) return false;
  std::uint64_t declared = 0;
  for (char c : response.get_header_value("Content-Length")) {
    if (c < '0' || c > '9') return false;
    if (declared > limit / 10) return true;
    declared = declared * 10 + static_cast<std::uint64_t>(c - '0');
    if (declared > limit) return true;
  }
  return false;
}

}  // namespace

bool HttpsGet(const HttpsRequest& request, std::uint64_t limit, std::string& out) {
  out.clear();
  if (request.host.empty() || request.path.empty() || request.path[0] != '/') return false;
  httplib::SSLClient client(request.host, request.port);
  client.enable_server_certificate_verification(true);
  if (!request.ca_file.empty()) client.set_ca_cert_path(request.ca_file);
  if (!request.connect_address.empty()) {
    client.set_hostname_addr_map({{request.host, request.connect_address}});
  }
  client.set_follow_location(false);
  client.set_decompress(false);
  client.set_keep_alive(false);
  client.set_connection_timeout(request.connect_timeout);
  client.set_write_timeout(request.send_timeout);
  client.set_read_timeout(request.receive_timeout);

  bool accepted = false;
  const httplib::Result result = client.Get(
      request.path,
      [&](const httplib::Response& response) {
        // A body declared longer than the limit is not waited for.
        if (response.status != 200 || DeclaresMoreThan(response, limit)) return false;
        accepted = true;
        return true;
      },
      [&](const char* data, std::size_t length) {
        if (length > limit - out.size()) return false;
        out.append(data, length);
        return true;
      });
  return result && accepted && result->status == 200;
}

}  // namespace tessvark
