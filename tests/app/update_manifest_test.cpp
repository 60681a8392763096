#include "app/update_manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update_signing.h"

namespace tessvark {
namespace {

using testing::TestManifest;
using testing::TestSigningKey;

constexpr char kHost[] = "updates.tessvark.test";
// The manifests below are judged against this build, whatever the program's own version.
const BuildIdentity kRunning{"linux-x64", "0.8.2", 35};

class ManifestTest : public ::testing::Test {
 protected:
  ManifestCheckResult Check(const std::string& text) const {
    return ParseAndVerifyManifest(text, key_.public_key(), kRunning, kHost);
  }
  ManifestCheckCode CodeOf(const TestManifest& manifest) const {
    return Check(manifest.Signed(key_)).code;
  }

  TestSigningKey key_;
};

TEST_F(ManifestTest, AcceptedManifestCarriesItsFields) {
  TestManifest announced;
  announced.sha256 = "ABCDEF" + std::string(58, '0');
  announced.size = 209715200;
  const ManifestCheckResult result = Check(announced.Signed(key_));
  ASSERT_EQ(result.code, ManifestCheckCode::kNewer);
  const UpdateManifest expected{
      "0.8.2",  36, "beta", "Faster clock reading", announced.url, "abcdef" + std::string(58, '0'),
      209715200};
  EXPECT_EQ(result.manifest, expected);
  EXPECT_EQ(result.payload, announced.Payload());
}

// The payload is made from the parsed values, so spelling, order and escapes of the document do
// not matter; the updater's escaping is part of what is signed.
TEST_F(ManifestTest, CanonicalPayloadIsExact) {
  const UpdateManifest manifest{"1.2.3",
                                7,
                                "stable",
                                "a\"b\\c\nd\te\x01\x7f\xc3\xa9",
                                "https://u.example/updates/x.run",
                                std::string(64, 'f'),
                                42};
  const std::string expected =
      std::string("tessvark.linux-update.v1") + '\0' +
      "{\"build\":7,\"channel\":\"stable\",\"notes\":\"a\\\"b\\\\c\\nd\\te\\u0001\x7f\xc3\xa9\","
      "\"platform\":\"linux-x64\",\"schema\":1,\"sha256\":\"" +
      std::string(64, 'f') +
      "\",\"size\":42,\"url\":\"https://u.example/updates/x.run\",\"version\":\"1.2.3\"}";
  EXPECT_EQ(CanonicalManifestPayload(manifest), expected);

  TestManifest spelled;
  spelled.notes = "tab\\tquote\\u0022";  // as written in the document
  spelled.spelled = {{"schema", "1.0"}, {"build", "3.6e1"}};
  UpdateManifest parsed{"0.8.2", 36, "beta", "tab\tquote\"", spelled.url, spelled.sha256, 1};
  const std::string text = spelled.Json(key_.Sign(CanonicalManifestPayload(parsed)));
  EXPECT_EQ(Check(text).code, ManifestCheckCode::kNewer) << text;
}

TEST_F(ManifestTest, EverySignedFieldIsCovered) {
  const TestManifest original;
  const std::string signature = key_.Sign(original.Payload());
  ASSERT_EQ(Check(original.Json(signature)).code, ManifestCheckCode::kNewer);
  std::vector<TestManifest> altered(7, original);
  altered[0].version = "0.8.3";
  altered[1].build = 37;
  altered[2].channel = "stable";
  altered[3].notes = "Other notes";
  altered[4].size = 2;
  altered[5].sha256 = std::string(64, 'b');
  altered[6].url = "https://updates.tessvark.test/updates/Other-36.run";
  for (const TestManifest& manifest : altered) {
    const std::string text = manifest.Json(signature);
    EXPECT_EQ(Check(text).code, ManifestCheckCode::kBadSignature) << text;
  }
}

TEST_F(ManifestTest, SignatureAndKeyFailures) {
  const TestManifest manifest;
  const std::string good = key_.Sign(manifest.Payload());
  const TestSigningKey other;
  struct Case {
    const char* what;
    std::string signature;
  } cases[] = {
      {"another key's signature", other.Sign(manifest.Payload())},
      {"not Base64", "not base64!"},
      {"63 bytes", EncodeBase64(std::vector<std::uint8_t>(63, 1).data(), 63)},
      {"a valid signature with a line break", good.substr(0, 40) + "\n" + good.substr(40)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Check(manifest.Json(c.signature)).code, ManifestCheckCode::kBadSignature) << c.what;
  }
  EXPECT_EQ(ParseAndVerifyManifest(manifest.Json(good), nullptr, kRunning, kHost).code,
            ManifestCheckCode::kBadSignature);
}

TEST_F(ManifestTest, DocumentRules) {
  struct Case {
    const char* what;
    TestManifest manifest;
    ManifestCheckCode expected;
  };
  auto with = [](auto change) {
    TestManifest manifest;
    change(manifest);
    return manifest;
  };
  using C = ManifestCheckCode;
  const Case cases[] = {
      {"extra key", with([](TestManifest& m) { m.extra = ", \"beta\": true"; }), C::kMalformed},
      {"repeated version: the first counts",
       with([](TestManifest& m) { m.extra = ", \"version\": \"9.9.9\""; }), C::kNewer},
      {"schema 1.0", with([](TestManifest& m) { m.spelled["schema"] = "1.0"; }), C::kNewer},
      {"schema 2", with([](TestManifest& m) { m.spelled["schema"] = "2"; }), C::kMalformed},
      {"schema as text", with([](TestManifest& m) { m.spelled["schema"] = "\"1\""; }),
       C::kMalformed},
      {"build 35.5", with([](TestManifest& m) { m.spelled["build"] = "35.5"; }), C::kMalformed},
      {"build -1", with([](TestManifest& m) { m.spelled["build"] = "-1"; }), C::kMalformed},
      {"build 1000000000", with([](TestManifest& m) { m.build = 1000000000; }), C::kNewer},
      {"build 1000000001", with([](TestManifest& m) { m.build = 1000000001; }), C::kMalformed},
      {"size 0", with([](TestManifest& m) { m.size = 0; }), C::kMalformed},
      {"size above 200 MiB", with([](TestManifest& m) { m.size = 209715201; }), C::kMalformed},
      {"size as text", with([](TestManifest& m) { m.spelled["size"] = "\"1\""; }), C::kMalformed},
      {"channel alpha", with([](TestManifest& m) { m.channel = "alpha"; }), C::kMalformed},
      {"digest of 63 digits", with([](TestManifest& m) { m.sha256 = std::string(63, 'a'); }),
       C::kMalformed},
      {"digest with a non-hex digit",
       with([](TestManifest& m) { m.sha256 = std::string(63, 'a') + "g"; }), C::kMalformed},
      {"upper-case digest", with([](TestManifest& m) { m.sha256 = std::string(64, 'A'); }),
       C::kNewer},
      {"notes not text", with([](TestManifest& m) { m.spelled["notes"] = "null"; }), C::kMalformed},
      {"version of two parts", with([](TestManifest& m) { m.version = "1.0"; }), C::kMalformed},
      {"other platform", with([](TestManifest& m) { m.platform = "windows-x64"; }),
       C::kOtherPlatform},
      {"other platform with a disallowed address", with([](TestManifest& m) {
         m.platform = "windows-x64";
         m.url = "https://evil.test/updates/a.run";
       }),
       C::kUrlNotAllowed},
      {"same build", with([](TestManifest& m) { m.build = 35; }), C::kSame},
      {"older build", with([](TestManifest& m) { m.build = 34; }), C::kOlder},
      {"older version, higher build", with([](TestManifest& m) {
         m.version = "0.8.1";
         m.build = 99;
       }),
       C::kOlder},
      {"0.8.10 is newer than 0.8.2", with([](TestManifest& m) {
         m.version = "0.8.10";
         m.build = 1;
       }),
       C::kNewer},
  };
  for (const Case& c : cases) {
    const std::string text = c.manifest.Signed(key_);
    EXPECT_EQ(Check(text).code, c.expected) << c.what << ": " << text;
  }
  // The platform is judged before the signature.
  const TestManifest other_platform = with([](TestManifest& m) { m.platform = "linux-arm64"; });
  EXPECT_EQ(Check(other_platform.Json(key_.Sign("something else"))).code, C::kOtherPlatform);
  for (const char* text : {"", "[]", "{\"schema\":1", "\"manifest\"", "{}"}) {
    EXPECT_EQ(Check(text).code, ManifestCheckCode::kMalformed) << text;
  }
}

TEST(UpdateUrlTest, OnlyTheUpdateHostUnderUpdates) {
  struct Case {
    const char* url;
    const char* suffix;
    bool allowed;
  } cases[] = {
      {"https://updates.tessvark.test/updates/Tessvark-update-36.run", ".run", true},
      {"https://www.updates.tessvark.test/updates/a.run", ".run", true},
      {"https://UPDATES.Tessvark.TEST/updates/a.run", ".run", true},
      {"https://updates.tessvark.test/updates/", "", true},
      {"https://updates.tessvark.test/updates/a.RUN", ".run", false},
      {"https://updates.tessvark.test/updates/a.exe", ".run", false},
      {"http://updates.tessvark.test/updates/a.run", ".run", false},
      {"https://updates.tessvark.test:443/updates/a.run", ".run", false},
      {"https://user@updates.tessvark.test/updates/a.run", ".run", false},
      {"https://updates.tessvark.test/updates/a.run?x=1", ".run", false},
      {"https://updates.tessvark.test/updates/a.run#top", ".run", false},
      {"https://updates.tessvark.test/updates/%61.run", ".run", false},
      {"https://updates.tessvark.test/updates/../a.run", ".run", false},
      {"https://updates.tessvark.test/updates/a b.run", ".run", false},
      {"https://updates.tessvark.test/updates\\a.run", ".run", false},
      {"https://updates.tessvark.test/other/a.run", ".run", false},
      {"https://updates.tessvark.test/updates/a~b.run", ".run", false},
      {"https://updates.tessvark.test", "", false},
      {"https://evil.test/updates/a.run", ".run", false},
      {"https://www.www.updates.tessvark.test/updates/a.run", ".run", false},
      {"https://updates.tessvark.test.evil.test/updates/a.run", ".run", false},
      {"https://xupdates.tessvark.test/updates/a.run", ".run", false},
      {"https://updates.tessvark.test/updates/caf\xc3\xa9.run", ".run", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsAllowedUpdateUrl(c.url, c.suffix, kHost), c.allowed) << c.url;
  }
  EXPECT_FALSE(IsAllowedUpdateUrl("https:///updates/a.run", "", ""));
}

TEST(VersionTest, ParseVersion) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t major, minor, patch;
  } cases[] = {
      {"0.8.2", true, 0, 8, 2},
      {"01.002.0003", true, 1, 2, 3},
      {"999999.0.999999", true, 999999, 0, 999999},
      {"1000000.0.0", false, -1, -1, -1},
      {"1.0", false, -1, -1, -1},
      {"1.2.3.4", false, -1, -1, -1},
      {".1.2", false, -1, -1, -1},
      {"1..2", false, -1, -1, -1},
      {"1.2.", false, -1, -1, -1},
      {"1.2.3a", false, -1, -1, -1},
      {"-1.2.3", false, -1, -1, -1},
      {"", false, -1, -1, -1},
      {"00000000000000000000000000001.2.3", false, -1, -1, -1},  // 33 characters
      {"0000000000000000000000000001.2.3", true, 1, 2, 3},       // 32 characters
  };
  for (const Case& c : cases) {
    std::int32_t major = 5, minor = 5, patch = 5;
    EXPECT_EQ(ParseVersion(c.text, major, minor, patch), c.ok) << c.text;
    EXPECT_EQ(major, c.major) << c.text;
    EXPECT_EQ(minor, c.minor) << c.text;
    EXPECT_EQ(patch, c.patch) << c.text;
  }
}

TEST(VersionTest, CompareWithRunningBuild) {
  struct Case {
    BuildIdentity remote;
    int expected;
  } cases[] = {
      {{"linux-x64", "0.8.2", 36}, 0},  {{"linux-x64", "0.8.2", 35}, 1},
      {{"linux-x64", "0.8.2", 34}, 2},  {{"linux-x64", "0.9.0", 0}, 0},
      {{"linux-x64", "0.8.10", 0}, 0},  {{"linux-x64", "0.7.99", 99}, 2},
      {{"linux-x64", "1.0.0", 1}, 0},   {{"linux-X64", "0.8.2", 36}, 3},
      {{"linux-x64 ", "0.8.2", 36}, 3}, {{"linux-x64", "0.8", 36}, 3},
      {{"linux-x64", "0.8.2", -1}, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareWithRunningBuild(kRunning, c.remote), c.expected)
        << c.remote.platform << " " << c.remote.version << " " << c.remote.build;
  }
  EXPECT_EQ(CompareWithRunningBuild({"", "0.8.2", 35}, {"", "0.8.2", 36}), 3);
  const BuildIdentity running = RunningBuild();
  EXPECT_EQ(running.platform, "linux-x64");
  EXPECT_EQ(CompareWithRunningBuild(running, running), 1);
}

TEST(UpdatePublicKeyTest, OnlyThirtyTwoBytesDecode) {
  std::uint8_t key[32];
  std::fill(std::begin(key), std::end(key), 7);
  const std::vector<std::uint8_t> bytes(32, 0xAB);
  const std::vector<std::uint8_t> longer(33, 0xAB);
  const std::string text = EncodeBase64(bytes.data(), bytes.size());
  ASSERT_EQ(text.size(), 44u);
  for (const std::string& refused :
       {std::string(), EncodeBase64(bytes.data(), 31), EncodeBase64(longer.data(), longer.size()),
        text.substr(0, 43) + "!", text + "\n"}) {
    EXPECT_FALSE(DecodeUpdatePublicKey(refused, key)) << refused;
    EXPECT_EQ(key[0], 7) << "the key is left as it was";
  }
  EXPECT_TRUE(DecodeUpdatePublicKey(text, key));
  EXPECT_EQ(std::vector<std::uint8_t>(std::begin(key), std::end(key)), bytes);
}

}  // namespace
}  // namespace tessvark
