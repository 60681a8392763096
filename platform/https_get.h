#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tessvark {

// One HTTPS GET as the updater makes it.
struct HttpsRequest {
  std::string host;  // the server's name: connected to, sent as SNI and checked in its certificate
  std::int32_t port = 443;
  std::string path;  // from its first "/"
  // Where to connect instead of resolving `host` (an IP address); empty: resolve `host`.
  std::string connect_address;
  // The certificate authorities to trust (a PEM file); empty: the system's.
  std::string ca_file;
  std::chrono::milliseconds connect_timeout{4000};  // connection and TLS handshake
  std::chrono::milliseconds send_timeout{8000};     // each write
  std::chrono::milliseconds receive_timeout{8000};  // each read
};

// Fetches the body of one GET over TLS with the server's certificate chain and host name
// checked. Only a 200 answer counts: redirects are never followed, so they fail like every
// other status. The body is taken as sent (nothing asks for compression) and may hold at most
// `limit` bytes; a longer one, declared or not, fails as soon as it is seen. False on every
// failure, with `out` then holding whatever part of the body had arrived.
bool HttpsGet(const HttpsRequest& request, std::uint64_t limit, std::string& out);

}  // namespace tessvark
