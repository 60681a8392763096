#include "app/update_manifest.h"

#include <array>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>

#include "core/base64.h"
#include "core/ed25519.h"
#include "core/json_text.h"
#include "core/json_value.h"
#include "core/text.h"
#include "core/version.h"

namespace tessvark {
namespace {

constexpr std::array<const char*, 10> kManifestKeys = {
    "schema", "platform", "version", "build", "channel",
    "notes",  "size",     "sha256",  "url",   "signature",
};
constexpr double kMaxBuild = 1000000000.0;
constexpr double kMaxInstallerSize = 209715200.0;
constexpr std::int32_t kMaxVersionPart = 999999;
constexpr std::size_t kMaxVersionLength = 32;
constexpr std::size_t kSignatureBytes = 64;

// A JSON number whose value is a whole number within [low, high].
std::optional<std::int64_t> WholeNumberIn(const JsonValue& value, double low, double high) {
  if (value.kind != JsonKind::kNumber) return std::nullopt;
  const std::optional<double> number = value.FiniteNumber();
  if (!number || *number < low || *number > high) return std::nullopt;
  const auto whole = static_cast<std::int64_t>(*number);
  if (static_cast<double>(whole) != *number) return std::nullopt;
  return whole;
}

bool IsHexDigest(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool IsPathCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '/' || c == '_';
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string Quoted(std::string_view text) { return QuotedJsonText(text, JsonEscapeSet::kState); }

}  // namespace

BuildIdentity RunningBuild() { return {kPlatformWord, kProgramVersion, kProgramBuild}; }

bool IsManifestKey(std::string_view key) {
  for (const char* known : kManifestKeys) {
    if (key == known) return true;
  }
  return false;
}

bool ParseVersion(std::string_view text, std::int32_t& major, std::int32_t& minor,
                  std::int32_t& patch) {
  major = minor = patch = -1;
  if (text.empty() || text.size() > kMaxVersionLength) return false;
  std::int32_t parts[3] = {0, 0, 0};
  int part = 0;
  bool has_digit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      parts[part] = parts[part] * 10 + (c - '0');
      if (parts[part] > kMaxVersionPart) return false;
      has_digit = true;
    } else if (c == '.' && has_digit && part < 2) {
      ++part;
      has_digit = false;
    } else {
      return false;
    }
  }
  if (part != 2 || !has_digit) return false;
  major = parts[0];
  minor = parts[1];
  patch = parts[2];
  return true;
}

int CompareWithRunningBuild(const BuildIdentity& running, const BuildIdentity& remote) {
  if (running.platform.empty() || running.platform != remote.platform) return 3;
  if (running.build < 0 || remote.build < 0) return 3;
  std::int32_t mine[4];
  std::int32_t theirs[4];
  if (!ParseVersion(running.version, mine[0], mine[1], mine[2]) ||
      !ParseVersion(remote.version, theirs[0], theirs[1], theirs[2])) {
    return 3;
  }
  mine[3] = running.build;
  theirs[3] = remote.build;
  for (int i = 0; i < 4; ++i) {
    if (theirs[i] > mine[i]) return 0;
    if (theirs[i] < mine[i]) return 2;
  }
  return 1;
}

bool IsAllowedUpdateUrl(std::string_view url, std::string_view suffix,
                        std::string_view update_host) {
  constexpr std::string_view kScheme = "https://";
  if (url.substr(0, kScheme.size()) != kScheme) return false;
  if (url.find_first_of("@\\ ?#%") != std::string_view::npos) return false;
  if (url.find("..") != std::string_view::npos) return false;
  const std::string_view rest = url.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return false;
  const std::string host = ToLowerAscii(rest.substr(0, slash));
  const std::string expected = ToLowerAscii(update_host);
  if (expected.empty() || (host != expected && host != "www." + expected)) return false;
  const std::string_view path = rest.substr(slash);
  for (char c : path) {
    if (!IsPathCharacter(c)) return false;
  }
  if (path.substr(0, 9) != "/updates/") return false;
  return suffix.empty() || EndsWith(path, suffix);
}

bool DecodeUpdatePublicKey(std::string_view text, std::uint8_t (&key)[32]) {
  std::vector<std::uint8_t> bytes;
  if (!DecodeBase64(text, bytes) || bytes.size() != sizeof(key)) return false;
  std::memcpy(key, bytes.data(), sizeof(key));
  return true;
}

std::string CanonicalManifestPayload(const UpdateManifest& manifest) {
  std::string payload = kUpdatePayloadPrefix;
  payload.push_back('\0');
  payload += "{\"build\":" + std::to_string(manifest.build);
  payload += ",\"channel\":" + Quoted(manifest.channel);
  payload += ",\"notes\":" + Quoted(manifest.notes);
  payload += ",\"platform\":" + Quoted(kPlatformWord);
  payload += ",\"schema\":1";
  payload += ",\"sha256\":" + Quoted(manifest.sha256);
  payload += ",\"size\":" + std::to_string(manifest.size);
  payload += ",\"url\":" + Quoted(manifest.url);
  payload += ",\"version\":" + Quoted(manifest.version) + "}";
  return payload;
}

ManifestCheckResult ParseAndVerifyManifest(std::string_view text, const std::uint8_t* public_key,
                                           const BuildIdentity& running,
                                           std::string_view update_host) {
  ManifestCheckResult result;
  JsonValue root;
  try {
    root = ParseJson(text);
  } catch (const std::exception&) {
    return result;
  }
  if (root.kind != JsonKind::kObject) return result;
  for (const JsonMember& member : root.members) {
    if (!IsManifestKey(member.key)) return result;
  }
  // A repeated key counts with its first occurrence.
  const JsonValue* fields[kManifestKeys.size()];
  for (std::size_t i = 0; i < kManifestKeys.size(); ++i) {
    fields[i] = root.Find(kManifestKeys[i]);
    if (fields[i] == nullptr) return result;
  }
  const JsonValue& schema = *fields[0];
  const JsonValue& platform = *fields[1];
  const JsonValue& version = *fields[2];
  const JsonValue& build = *fields[3];
  const JsonValue& channel = *fields[4];
  const JsonValue& notes = *fields[5];
  const JsonValue& size = *fields[6];
  const JsonValue& sha256 = *fields[7];
  const JsonValue& url = *fields[8];
  const JsonValue& signature = *fields[9];

  for (const JsonValue* field :
       {&platform, &version, &channel, &notes, &sha256, &url, &signature}) {
    if (field->kind != JsonKind::kString) return result;
  }
  const std::optional<std::int64_t> schema_number = WholeNumberIn(schema, 1.0, 1.0);
  const std::optional<std::int64_t> build_number = WholeNumberIn(build, 0.0, kMaxBuild);
  const std::optional<std::int64_t> size_number = WholeNumberIn(size, 1.0, kMaxInstallerSize);
  if (!schema_number || !build_number || !size_number) return result;
  if (channel.text != "beta" && channel.text != "stable") return result;
  const std::string digest = ToLowerAscii(sha256.text);
  if (!IsHexDigest(digest)) return result;
  if (!IsAllowedUpdateUrl(url.text, kInstallerSuffix, update_host)) {
    result.code = ManifestCheckCode::kUrlNotAllowed;
    return result;
  }

  result.manifest.version = version.text;
  result.manifest.build = static_cast<std::int32_t>(*build_number);
  result.manifest.channel = channel.text;
  result.manifest.notes = notes.text;
  result.manifest.url = url.text;
  result.manifest.sha256 = digest;
  result.manifest.size = static_cast<std::uint64_t>(*size_number);
  if (platform.text != kPlatformWord) {
    result.code = ManifestCheckCode::kOtherPlatform;
    return result;
  }

  result.payload = CanonicalManifestPayload(result.manifest);
  std::vector<std::uint8_t> signature_bytes;
  if (public_key == nullptr || !DecodeBase64(signature.text, signature_bytes) ||
      signature_bytes.size() != kSignatureBytes ||
      !VerifyEd25519(public_key, reinterpret_cast<const std::uint8_t*>(result.payload.data()),
                     result.payload.size(), signature_bytes.data())) {
    result.code = ManifestCheckCode::kBadSignature;
    return result;
  }

  switch (CompareWithRunningBuild(
      running, {platform.text, result.manifest.version, result.manifest.build})) {
    case 0:
      result.code = ManifestCheckCode::kNewer;
      break;
    case 1:
      result.code = ManifestCheckCode::kSame;
      break;
    case 2:
      result.code = ManifestCheckCode::kOlder;
      break;
    default:
      result.code = ManifestCheckCode::kMalformed;
      break;
  }
  return result;
}

}  // namespace tessvark
