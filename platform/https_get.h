#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/data_folder.h"

namespace tessvark {

// An HTTP proxy that tunnels TLS (CONNECT).
struct HttpsProxy {
  std::string host;
  std::int32_t port = 1080;
  std::string user;  // empty: no authentication
  std::string password;
};

// Looks a host name up: its addresses as numeric text, in the order to try; empty when none.
// May take as long as the system's resolver likes; HttpsGet bounds the wait.
using HostResolver =
    std::function<std::vector<std::string>(const std::string& host, std::int32_t port)>;

// The system's resolver (getaddrinfo).
std::vector<std::string> ResolveWithSystem(const std::string& host, std::int32_t port);

// Runs `resolver` on a thread of its own ("https-resolve") and waits for it at most `timeout`: a
// lookup that takes longer is abandoned (its thread ends on its own once the resolver returns) and
// gives no address.
std::vector<std::string> ResolveWithin(const HostResolver& resolver, const std::string& host,
                                       std::int32_t port, std::chrono::milliseconds timeout);

// One HTTPS GET as the updater makes it.
struct HttpsRequest {
  std::string host;  // the server's name: connected to, sent as SNI and checked in its certificate
  std::int32_t port = 443;
  std::string path;  // from its first "/"
  // Where to connect instead of resolving `host` (an IP address); empty: resolve `host`.
  std::string connect_address;
  // The certificate authorities to trust (a PEM file); empty: the system's.
  std::string ca_file;
  std::chrono::milliseconds resolve_timeout{4000};  // each name lookup
  std::chrono::milliseconds connect_timeout{4000};  // connection and TLS handshake
  std::chrono::milliseconds send_timeout{8000};     // each write
  std::chrono::milliseconds receive_timeout{8000};  // each read
  // The whole fetch, from the first lookup to the last byte of the body.
  std::chrono::milliseconds total_timeout{60000};
  // At least this many body bytes a second, counted over each `rate_window` from the start (the
  // connection and the answer's head included); 0: no floor.
  std::uint64_t min_bytes_per_second = 0;
  std::chrono::milliseconds rate_window{30000};
  std::optional<HttpsProxy> proxy;  // none: a direct connection
  HostResolver resolver;            // empty: the system's
};

enum class HttpsFailure : std::int32_t {
  kNone = 0,
  kRequest = 1,   // the request itself is malformed
  kResolve = 2,   // the server's (or the proxy's) name gave no address in time
  kConnect = 3,   // no connection to the server or the proxy
  kTls = 4,       // the TLS handshake failed, or the certificate or its name did not check
  kStatus = 5,    // an answer other than 200 (a redirect among them)
  kTooLarge = 6,  // more body than the limit, declared or sent
  kTimedOut = 7,  // the whole fetch took longer than its time-out
  kTooSlow = 8,   // fewer bytes than the floor arrived in a rate window
  kTransfer = 9,  // the connection failed or ended early
  kRefused = 10,  // the caller's sink refused a piece of the body
  kProxy = 11,    // the proxy answered its tunnel request with a refusal or not at all
};

struct HttpsResult {
  HttpsFailure failure = HttpsFailure::kNone;
  int status = 0;  // the answer's status (the proxy's for kProxy), 0 when none came
  bool ok() const { return failure == HttpsFailure::kNone; }
};

// Fetches the body of one GET over TLS with the server's certificate chain checked and its name
// matched as OpenSSL and curl match it (against the certificate's alternative names alone when it
// has any). Only a 200 answer counts: redirects are never followed, so they fail like every other
// status. The body is taken as sent (nothing asks for compression), handed to `sink` piece by
// piece as it arrives, and may hold at most `limit` bytes; a longer one, declared or not, fails
// as soon as it is seen. Through a proxy, the server's name is left to the proxy to look up, and
// the tunnel is asked for here, within the same time-outs, before TLS begins inside it. When the
// program ends (`exit`), a fetch still running on another thread is cut off at its next bytes
// (kTransfer) and the end waits up to 5 s for it, so OpenSSL is not cleaned up under it; fetches
// asked for after that fail as kConnect.
HttpsResult HttpsGetInto(const HttpsRequest& request, std::uint64_t limit,
                         const std::function<bool(const char*, std::size_t)>& sink);

// As HttpsGetInto, collecting the body in `out`; false on every failure, with `out` then holding
// whatever part of the body had arrived.
bool HttpsGet(const HttpsRequest& request, std::uint64_t limit, std::string& out);

// The proxy settings of the environment for an https address on `host`, as curl and the other
// Linux tools read them: "https_proxy", else "HTTPS_PROXY" (an empty value is no setting), unless
// "no_proxy" (else "NO_PROXY") names the host.
struct ProxyChoice {
  bool usable = true;               // false: a proxy is set that cannot be used (not HTTP)
  std::optional<HttpsProxy> proxy;  // none: connect directly
};
ProxyChoice ProxyFromEnvironment(const std::string& host, const EnvironmentLookup& lookup);

// A proxy address as "http://[user[:password]@]host[:port][/]" or "host[:port]" (port 1080 when
// none is given, as curl assumes); none for another scheme or a malformed address.
std::optional<HttpsProxy> ParseProxyAddress(const std::string& text);

// Whether a no_proxy list names `host`: "*" names every host; an entry names itself and every
// name below it ("example.com" and ".example.com" both name "updates.example.com"); names are
// compared without regard to case, and a port after an entry is ignored.
bool NoProxyNames(const std::string& list, const std::string& host);

}  // namespace tessvark
