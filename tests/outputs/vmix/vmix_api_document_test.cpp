#include <gtest/gtest.h>

#include <string>

#include "core/text.h"
#include "outputs/vmix/vmix_api_document.h"
#include "outputs/vmix/vmix_json_text.h"

namespace tessvark {
namespace {

std::string InputsJson(const VmixApiResponse& response) {
  std::string out;
  WriteJsonPretty(response.inputs, out, 0, 0);
  return out;
}

TEST(VmixApiDocument, RootAndVersionRules) {
  const struct {
    const char* name;
    const char* xml;
    bool host_test_ok;
    bool listing_ok;
  } cases[] = {
      {"vmix with version", "<vmix><version>27</version></vmix>", true, true},
      {"blank version", "<vmix><version> \n</version></vmix>", false, true},
      {"root in capitals", "<VMIX><version>27</version></VMIX>", true, true},
      {"root behind namespace", "<{urn:v}vmix><version>27</version></{urn:v}vmix>", true, true},
      {"root vmix2", "<vmix2><version>27</version></vmix2>", false, true},
      {"not well-formed", "<vmix><version>27</vmix>", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const VmixApiResponse strict = ReadVmixApiResponse(c.xml, true);
    EXPECT_EQ(strict.ok, c.host_test_ok);
    if (!strict.ok) {
      EXPECT_EQ(strict.error, c.listing_ok ? "The host did not return a vMix API response" : "not well-formed");
    }
    EXPECT_EQ(ReadVmixApiResponse(c.xml, false).ok, c.listing_ok);
  }
  EXPECT_FALSE(ReadVmixApiResponse("<vmix><version> </version></vmix>", false).version.has_value());
}

TEST(VmixApiDocument, ComputerNameFallsBackToComputer) {
  const VmixApiResponse response = ReadVmixApiResponse(
      "<vmix><computerName> </computerName><computer>Studio</computer><version>27</version>"
      "<edition>4K</edition></vmix>",
      true);
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.computer_name, "Studio");
  EXPECT_EQ(response.edition, "4K");
}

TEST(VmixApiDocument, InputsWithTitlesValuesAndTextFields) {
  const VmixApiResponse response = ReadVmixApiResponse(
      "<vmix><version>27</version><inputs>"
      "<input key=\"\" number=\"3\" title=\"\" name=\"Cam 1\" type=\"Capture\"> own text </input>"
      "<input number=\"4\"> Scoreboard </input>"
      "<input key=\"K\" title=\"GT\">"
      "<text name=\"Home.Text\"/><text name=\"Home.Text\"/>"
      "<field selectedName=\"Clock.Text\"/>"
      "<text index=\"2\"><text title=\"Inner.Text\"/></text>"
      "<input key=\"N\"/>"
      "</input>"
      "<input/>"
      "</inputs></vmix>",
      true);
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(InputsJson(response),
            "[\n"
            "  {\n  \"number\": \"3\",\n  \"key\": null,\n  \"title\": \"Cam 1\",\n  \"type\": \"Capture\",\n"
            "  \"value\": \"3\",\n  \"text_fields\": []\n},\n"
            "  {\n  \"number\": \"4\",\n  \"key\": null,\n  \"title\": \"Scoreboard\",\n  \"type\": null,\n"
            "  \"value\": \"4\",\n  \"text_fields\": []\n},\n"
            "  {\n  \"number\": null,\n  \"key\": \"K\",\n  \"title\": \"GT\",\n  \"type\": null,\n"
            "  \"value\": \"K\",\n  \"text_fields\": [\n  \"Home.Text\",\n  \"Clock.Text\",\n  \"Inner.Text\"\n]\n},\n"
            "  {\n  \"number\": null,\n  \"key\": \"N\",\n  \"title\": null,\n  \"type\": null,\n"
            "  \"value\": \"N\",\n  \"text_fields\": []\n},\n"
            "  {\n  \"number\": null,\n  \"key\": null,\n  \"title\": null,\n  \"type\": null,\n"
            "  \"value\": null,\n  \"text_fields\": []\n}\n"
            "]");
}

TEST(VmixApiDocument, InputAtTheDeepestLevelIsListed) {
  std::string xml = "<vmix><version>27</version>";
  std::string closing = "</vmix>";
  for (int depth = 2; depth < 32; ++depth) {
    xml += "<g>";
    closing = "</g>" + closing;
  }
  xml += "<input key=\"deep\"/>" + closing;
  const VmixApiResponse response = ReadVmixApiResponse(xml, true);
  ASSERT_TRUE(response.ok);
  ASSERT_EQ(response.inputs.items.size(), 1u);
  EXPECT_EQ(response.inputs.items[0].Find("key")->text, "deep");
}

TEST(ValidateVmixDiscoveryTarget, AcceptsLocalTargetsOnly) {
  const struct {
    std::string host;
    int port;
    const char* message;  // null: accepted
  } cases[] = {
      {"192.168.1.20", 8088, nullptr},
      {"10.0.0.5", 8088, nullptr},
      {"127.0.0.1", 8088, nullptr},
      {"172.31.255.1", 8088, nullptr},
      {"169.254.3.4", 8088, nullptr},
      {"vmix-pc.local", 8088, nullptr},
      {" \t192.168.1.20\r\n", 8088, nullptr},
      {"8.8.8.8", 8088, "vMix discovery cannot target this address"},
      {"172.32.0.1", 8088, "vMix discovery cannot target this address"},
      {"0.0.0.0", 8088, "vMix discovery cannot target this address"},
      {"169.254.169.254", 8088, "vMix discovery cannot target this address"},
      {"192.168.001.020", 8088, "vMix host is not a valid discovery target"},
      // Numeric forms the resolver reads as other addresses (8.8.8.8) are no host names.
      {"010.8.8.8", 8088, "vMix host is not a valid discovery target"},
      {"134744072", 8088, "vMix host is not a valid discovery target"},
      {"0x8.8.8.8", 8088, "vMix host is not a valid discovery target"},
      {"127.1", 8088, "vMix host is not a valid discovery target"},
      {"host/path", 8088, "vMix host is not a valid discovery target"},
      {"host:8088", 8088, "vMix host is not a valid discovery target"},
      {"vmix pc", 8088, "vMix host is not a valid discovery target"},
      {"-vmix", 8088, "vMix host is not a valid discovery target"},
      {".vmix", 8088, "vMix host is not a valid discovery target"},
      {"vmix..local", 8088, "vMix host is not a valid discovery target"},
      {std::string(64, 'a') + ".local", 8088, "vMix host is not a valid discovery target"},
      {"", 0, "vMix port must be from 1 to 65535"},
      {"192.168.1.20", 65536, "vMix port must be from 1 to 65535"},
      {std::string(254, 'a'), 8088, "vMix host is required"},
      {"   ", 8088, "vMix host is required"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    std::string message = "untouched";
    EXPECT_EQ(ValidateVmixDiscoveryTarget(c.host, c.port, message), c.message == nullptr);
    EXPECT_EQ(message, c.message == nullptr ? "untouched" : c.message);
  }
}

TEST(VmixApiDocument, TrimsOnlyAsciiWhiteSpace) {
  EXPECT_EQ(TrimAsciiWhitespace("\t a b\r\n"), "a b");
  EXPECT_EQ(TrimAsciiWhitespace("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
}

}  // namespace
}  // namespace tessvark
