#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <string>
#include <vector>

#include "core/base64.h"
#include "core/ed25519.h"
#include "core/sha256.h"

namespace tessvark {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(DecodeBase64, AcceptsCanonicalText) {
  const struct {
    const char* text;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"", {}},
      {"QQ==", {0x41}},
      {"QUI=", {0x41, 0x42}},
      {"QUJD", {0x41, 0x42, 0x43}},
      {"AP8A/w==", {0x00, 0xFF, 0x00, 0xFF}},
      {"+/+/", {0xFB, 0xFF, 0xBF}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out = {1, 2, 3};
    EXPECT_TRUE(DecodeBase64(c.text, out)) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
}

TEST(DecodeBase64, RefusesAnythingButCanonicalTextAndLeavesTheOutputEmpty) {
  for (const char* text : {"QQ=", "QR==", "QUJ=", "Q===", "====", "QQ=A", "QQ==QUJD", "QU JD", "QUJD\n", "QU-D",
                           "QU_D", "QUJ\x80", "Q"}) {
    std::vector<std::uint8_t> out = {9, 9};
    EXPECT_FALSE(DecodeBase64(text, out)) << text;
    EXPECT_TRUE(out.empty()) << text;
  }
}

TEST(EncodeBase64, PadsGroupsOfOneAndTwoBytes) {
  const std::vector<std::uint8_t> bytes = Bytes("foobar");
  const char* expected[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (std::size_t n = 0; n <= bytes.size(); ++n) EXPECT_EQ(EncodeBase64(bytes.data(), n), expected[n]);
}

TEST(EncodeBase64, RoundTripsEveryByteValue) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(DecodeBase64(EncodeBase64(all.data(), all.size()), back));
  EXPECT_EQ(back, all);
}

TEST(Sha256Hex, MatchesTheFips180Vectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                      "mnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Hex, PaddingBoundariesAgreeWithLibsodium) {
  ASSERT_GE(sodium_init(), 0);
  for (const std::size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u}) {
    const std::string text(length, 'x');
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    EXPECT_EQ(Sha256Hex(text), hex) << length;
    EXPECT_EQ(Sha256HexOfBytes(text.data(), text.size()), hex) << length;
  }
}

class VerifyEd25519Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    crypto_sign_keypair(public_key_.data(), secret_key_.data());
  }
  std::array<std::uint8_t, 64> Sign(std::string_view message) {
    std::array<std::uint8_t, 64> signature{};
    crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), secret_key_.data());
    return signature;
  }
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key_{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret_key_{};
};

TEST_F(VerifyEd25519Test, AcceptsOnlyTheSignedMessageUnderItsKey) {
  const std::string message = std::string("tessvark.windows-update.v1") + '\0' + "payload";
  auto signature = Sign(message);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
  EXPECT_TRUE(VerifyEd25519(public_key_.data(), bytes, message.size(), signature.data()));

  std::string altered = message;
  altered.back() ^= 1;
  EXPECT_FALSE(VerifyEd25519(public_key_.data(), reinterpret_cast<const std::uint8_t*>(altered.data()),
                             altered.size(), signature.data()));
  auto other_key = public_key_;
  other_key[0] ^= 0x40;
  EXPECT_FALSE(VerifyEd25519(other_key.data(), bytes, message.size(), signature.data()));
  signature[10] ^= 1;
  EXPECT_FALSE(VerifyEd25519(public_key_.data(), bytes, message.size(), signature.data()));
}

TEST_F(VerifyEd25519Test, NullArgumentsAreRefusedAndAnEmptyMessageVerifies) {
  const auto empty_signature = Sign("");
  EXPECT_TRUE(VerifyEd25519(public_key_.data(), nullptr, 0, empty_signature.data()));
  EXPECT_FALSE(VerifyEd25519(public_key_.data(), nullptr, 1, empty_signature.data()));
  EXPECT_FALSE(VerifyEd25519(nullptr, nullptr, 0, empty_signature.data()));
  EXPECT_FALSE(VerifyEd25519(public_key_.data(), nullptr, 0, nullptr));
}

}  // namespace
}  // namespace tessvark
