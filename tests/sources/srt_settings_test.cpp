#include "sources/srt_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace tessvark {
namespace {

TEST(SrtSettings, AddressRule) {
  const struct {
    const char* address;
    bool ok;
  } cases[] = {
      {"0.0.0.0", true},   {"192.168.001.010", true}, {"127.0.0.1", true}, {"255.255.255.255", true},
      {"1.2.3", false},    {"1.2.3.4.", false},       {"256.1.1.1", false}, {"1.2.3.4 ", false},
      {"", false},         {"1..2.3", false},         {"1.2.3.4.5", false}, {"1.2.3.0001", false},
      {" 1.2.3.4", false}, {"a.b.c.d", false},        {"localhost", false},
  };
  for (const auto& c : cases) {
    SrtSettings settings;
    settings.bind_address = c.address;
    const ValidatedSrtSettings result = ValidateSrtSettings(settings);
    EXPECT_EQ(result.ok, c.ok) << '"' << c.address << '"';
    if (!c.ok) {
      EXPECT_EQ(result.message, "SRT address must be an IPv4 address");
    }
  }
}

TEST(SrtSettings, RefusalsInOrder) {
  const auto with = [](auto change) {
    SrtSettings settings;
    change(settings);
    return ValidateSrtSettings(settings).message;
  };
  EXPECT_EQ(with([](SrtSettings& s) { s.port = 0; }), "SRT port must be an integer from 1 to 65535");
  EXPECT_EQ(with([](SrtSettings& s) { s.port = 65536; }), "SRT port must be an integer from 1 to 65535");
  EXPECT_EQ(with([](SrtSettings& s) { s.latency_ms = 0; }), "SRT latency must be an integer from 1 to 8000 ms");
  EXPECT_EQ(with([](SrtSettings& s) { s.latency_ms = 8001; }), "SRT latency must be an integer from 1 to 8000 ms");
  EXPECT_EQ(with([](SrtSettings& s) { s.passphrase = "123456789"; }),
            "SRT passphrase must be empty or 10 to 80 bytes");
  EXPECT_EQ(with([](SrtSettings& s) { s.passphrase = std::string(81, 'p'); }),
            "SRT passphrase must be empty or 10 to 80 bytes");
  EXPECT_EQ(with([](SrtSettings& s) { s.passphrase = std::string("secret\0word", 11); }),
            "SRT text contains a NUL byte");
  EXPECT_EQ(with([](SrtSettings& s) { s.stream_id = std::string("a\0b", 3); }), "SRT text contains a NUL byte");
  EXPECT_EQ(with([](SrtSettings& s) { s.stream_id = std::string(513, 's'); }),
            "SRT stream ID must be 512 bytes or less");
  EXPECT_EQ(with([](SrtSettings& s) { s.key_length = 40; }), "Unsupported SRT key length");
  EXPECT_EQ(with([](SrtSettings& s) { s.key_length = 8; }), "Unsupported SRT key length");
  // The first failing rule wins.
  EXPECT_EQ(with([](SrtSettings& s) {
              s.port = 0;
              s.key_length = 8;
            }),
            "SRT port must be an integer from 1 to 65535");
}

TEST(SrtSettings, AcceptedCopyAndKeyLength) {
  SrtSettings settings;
  settings.bind_address = "127.0.0.1";
  settings.port = 65535;
  settings.latency_ms = 8000;
  settings.stream_id = std::string(512, 's');
  settings.passphrase = std::string(10, 'p');
  ValidatedSrtSettings result = ValidateSrtSettings(settings);
  ASSERT_TRUE(result.ok);
  EXPECT_TRUE(result.message.empty());
  EXPECT_EQ(result.settings.key_length, 32) << "a passphrase with key length 0 gets 32";
  EXPECT_EQ(result.settings.stream_id, settings.stream_id);
  EXPECT_EQ(result.settings.port, 65535);

  settings.passphrase = std::string(80, 'p');
  settings.key_length = 16;
  EXPECT_EQ(ValidateSrtSettings(settings).settings.key_length, 16);

  settings.passphrase.clear();
  settings.key_length = 24;
  result = ValidateSrtSettings(settings);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.settings.key_length, 0) << "no passphrase stores key length 0";
}

TEST(SrtSettings, WipeStringZeroesTheBytesAndEmptiesTheText) {
  std::string secret = "correct horse battery";
  const char* storage = secret.data();
  const std::size_t length = secret.size();
  WipeString(secret);
  EXPECT_TRUE(secret.empty());
  EXPECT_EQ(secret.data(), storage) << "the storage stays allocated";
  for (std::size_t i = 0; i < length; ++i) EXPECT_EQ(storage[i], '\0');
}

TEST(SrtSettings, OutputSize) {
  const struct {
    std::int32_t width, height;
    bool ok;
    std::int32_t out_width, out_height;
  } cases[] = {
      {3840, 2160, true, 1920, 1080}, {1921, 1081, true, 1920, 1080}, {1280, 721, true, 1280, 720},
      {1080, 1920, true, 1080, 1920}, {2160, 3840, true, 1080, 1920}, {1920, 1080, true, 1920, 1080},
      {8192, 4320, true, 1920, 1012}, {8192, 2, true, 1920, 2},       {3, 3, true, 2, 2},
      {1, 1080, false, 0, 0},         {1080, 1, false, 0, 0},         {8193, 100, false, 0, 0},
      {8192, 4321, false, 0, 0},      {-4, 4, false, 0, 0},
  };
  for (const auto& c : cases) {
    const auto size = ComputeSrtOutputSize(c.width, c.height);
    ASSERT_EQ(size.has_value(), c.ok) << c.width << " x " << c.height;
    if (c.ok) {
      EXPECT_EQ(size->width, c.out_width) << c.width << " x " << c.height;
      EXPECT_EQ(size->height, c.out_height) << c.width << " x " << c.height;
    }
  }
}

TEST(SrtSettings, ListenerUrlCarriesLatencyInMicroseconds) {
  SrtSettings settings;
  settings.bind_address = "127.0.0.1";
  settings.port = 9100;
  settings.latency_ms = 250;
  EXPECT_EQ(BuildSrtListenerUrl(settings),
            "srt://127.0.0.1:9100?mode=listener&transtype=live&latency=250000"
            "&listen_timeout=2000000&timeout=5000000");
}

}  // namespace
}  // namespace tessvark
