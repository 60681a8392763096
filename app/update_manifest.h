#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessvark {

// The signed update manifest: one small JSON document on the update server that announces a
// build, with its installer's address, size and SHA-256 digest, signed with Ed25519 over a
// canonical payload. Everything here is a pure function of its inputs.

// A build as the running program and a manifest name it.
struct BuildIdentity {
  std::string platform;
  std::string version;  // three decimal parts separated by dots
  std::int32_t build = 0;
};

// The fields of an accepted manifest.
struct UpdateManifest {
  std::string version;
  std::int32_t build = 0;
  std::string channel;
  std::string notes;
  std::string url;
  std::string sha256;  // 64 lower-case hexadecimal digits
  std::uint64_t size = 0;

  bool operator==(const UpdateManifest&) const = default;
};

// The verdict on a manifest text; the first rule broken decides it.
enum class ManifestCheckCode : std::int32_t {
  kNewer = 0,          // valid, signed and newer than the running build
  kSame = 1,           // valid, signed, same version and build
  kOlder = 2,          // valid, signed, older
  kOtherPlatform = 3,  // well-formed, but for another platform
  kMalformed = 4,      // malformed, or its version cannot be compared
  kBadSignature = 5,   // no key, or the signature is not 64 bytes of Base64 or does not verify
  kUrlNotAllowed = 6,  // the installer's address is not on the update server
};

struct ManifestCheckResult {
  ManifestCheckCode code = ManifestCheckCode::kMalformed;
  UpdateManifest manifest;  // filled once the address was accepted
  std::string payload;      // the canonical payload, filled once the platform was accepted
};

// The running program as the update check compares it.
BuildIdentity RunningBuild();

// Checks a manifest text against every rule, the signature under `public_key` (32 bytes; null
// when there is none) and the running build. `update_host` is the one host (besides its "www."
// alias) that installer addresses may name.
ManifestCheckResult ParseAndVerifyManifest(std::string_view text, const std::uint8_t* public_key,
                                           const BuildIdentity& running,
                                           std::string_view update_host);

// The exact bytes the signature covers: the payload prefix, a zero byte, then the fields as
// compact JSON in a fixed order, so that the manifest's own spelling never enters it.
std::string CanonicalManifestPayload(const UpdateManifest& manifest);

// 0 remote newer, 1 equal, 2 remote older, 3 not comparable (other platform, a negative build or
// a version that does not parse).
int CompareWithRunningBuild(const BuildIdentity& running, const BuildIdentity& remote);

// Three dot-separated decimal parts of at most 999999 each, 1 to 32 characters in all; leading
// zeros allowed. On failure all three are -1.
bool ParseVersion(std::string_view text, std::int32_t& major, std::int32_t& minor,
                  std::int32_t& patch);

// Whether `key` is one of the ten keys of a manifest.
bool IsManifestKey(std::string_view key);

// Whether `url` is an https address on `update_host` (or "www." + it, in any case, without port
// or user information) whose path starts with "/updates/", holds only ASCII letters, digits and
// "-./_" and ends with `suffix` (no test when empty). No query, fragment, escapes or "..".
bool IsAllowedUpdateUrl(std::string_view url, std::string_view suffix,
                        std::string_view update_host);

// Decodes the standard Base64 of a 32-byte public key into `key`; false, and `key` untouched,
// for any other text.
bool DecodeUpdatePublicKey(std::string_view text, std::uint8_t (&key)[32]);

}  // namespace tessvark
