#pragma once

#include <sodium.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/base64.h"

namespace tessvark::testing {

// A fresh Ed25519 key pair of the tests' own, standing in for the maker's signing key.
class TestSigningKey {
 public:
  TestSigningKey() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    crypto_sign_keypair(public_key_, secret_key_);
  }

  const std::uint8_t* public_key() const { return public_key_; }
  std::string PublicKeyBase64() const { return EncodeBase64(public_key_, sizeof(public_key_)); }

  // The standard Base64 of the detached signature of `payload`.
  std::string Sign(const std::string& payload) const {
    std::uint8_t signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(payload.data()),
                         payload.size(), secret_key_);
    return EncodeBase64(signature, sizeof(signature));
  }

 private:
  std::uint8_t public_key_[crypto_sign_PUBLICKEYBYTES];
  std::uint8_t secret_key_[crypto_sign_SECRETKEYBYTES];
};

// A manifest as the tests write it. Its text fields must be plain text that needs no JSON escape.
struct TestManifest {
  std::string platform = "linux-x64";
  std::string version = "0.8.2";
  std::int64_t build = 36;
  std::string channel = "beta";
  std::string notes = "Faster clock reading";
  std::uint64_t size = 1;
  std::string sha256 = std::string(64, 'a');
  std::string url = "https://updates.tessvark.test/updates/Tessvark-update-36.run";
  // Members written with another JSON text than the fields give, by key ("schema" is 1).
  std::map<std::string, std::string> spelled;
  // Further members, written as given after the ten.
  std::string extra;

  // The bytes the maker signs, written out from the fields.
  std::string Payload() const {
    std::string payload = "tessvark.linux-update.v1";
    payload.push_back('\0');
    payload += "{\"build\":" + std::to_string(build) + ",\"channel\":\"" + channel +
               "\",\"notes\":\"" + notes + "\",\"platform\":\"linux-x64\",\"schema\":1," +
               "\"sha256\":\"" + Lower(sha256) + "\",\"size\":" + std::to_string(size) +
               ",\"url\":\"" + url + "\",\"version\":\"" + version + "\"}";
    return payload;
  }

  // The manifest document with `signature`.
  std::string Json(const std::string& signature) const {
    const std::vector<std::pair<std::string, std::string>> members = {
        {"schema", "1"},
        {"platform", Quoted(platform)},
        {"version", Quoted(version)},
        {"build", std::to_string(build)},
        {"channel", Quoted(channel)},
        {"notes", Quoted(notes)},
        {"size", std::to_string(size)},
        {"sha256", Quoted(sha256)},
        {"url", Quoted(url)},
        {"signature", Quoted(signature)},
    };
    std::string text = "{";
    for (const auto& [key, value] : members) {
      if (text.size() > 1) text += ", ";
      const auto respelled = spelled.find(key);
      text += "\"" + key + "\": " + (respelled != spelled.end() ? respelled->second : value);
    }
    return text + extra + "}";
  }

  // The manifest document signed with `key` over its own payload.
  std::string Signed(const TestSigningKey& key) const { return Json(key.Sign(Payload())); }

  static std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
  }
};

}  // namespace tessvark::testing
