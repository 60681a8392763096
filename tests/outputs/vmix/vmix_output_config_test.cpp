#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/json_value.h"
#include "outputs/vmix/sha1.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_output_config.h"

namespace tessvark {
namespace {

std::string Sha1Hex(const std::string& text) {
  std::uint8_t digest[20];
  Sha1Digest(text.data(), text.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

TEST(VmixSha1, MatchesPublishedDigests) {
  EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // 56 bytes: the length no longer fits in the first padding block.
  EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(VmixOutputId, IsTheVersion5NameBasedUuid) {
  // Reference values from an independent UUID implementation (uuid5 in the URL namespace).
  EXPECT_EQ(MakeVmixOutputId("Scoreboard"), "29ee35aa-d6a3-5ddb-aca3-01f06bf8efe0");
  EXPECT_EQ(MakeVmixOutputId("Scoreboard:0"), "42931b42-d962-566f-a866-ff76e171586c");
  const std::string id = MakeVmixOutputId("output-1:1");
  EXPECT_EQ(id, "18307c11-e51c-5915-a422-ece136dc9df7");
  EXPECT_EQ(id[14], '5');
  EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
}

struct FileCase {
  const char* name;
  const char* text;
  bool enabled;
  std::string host;
  std::int32_t port;
};

TEST(VmixConfigFile, ReadsLenientlyWithDefaults) {
  const FileCase cases[] = {
      {"empty text", "", true, "", 8088},
      {"not JSON", "{", true, "", 8088},
      {"array", "[1]", true, "", 8088},
      {"vmix not an object", R"({"vmix":true,"host":"x"})", true, "", 8088},
      {"bare configuration", R"({"host":" 10.0.0.5 ","port":8090})", true, "10.0.0.5", 8090},
      {"port zero", R"({"vmix":{"port":0}})", true, "", 1},
      {"port too large", R"({"vmix":{"port":70000}})", true, "", 65535},
      {"port fraction", R"({"vmix":{"port":8090.7}})", true, "", 8090},
      {"port huge", R"({"vmix":{"port":1e12}})", true, "", 65535},
      {"port null", R"({"vmix":{"port":null}})", true, "", 8088},
      {"port string", R"({"vmix":{"port":" 8090 "}})", true, "", 8090},
      {"port string with tail", R"({"vmix":{"port":"8090x"}})", true, "", 8088},
      {"port string out of range", R"({"vmix":{"port":"99999999999"}})", true, "", 8088},
      {"port bool", R"({"vmix":{"port":true}})", true, "", 8088},
      {"enabled null", R"({"vmix":{"enabled":null}})", false, "", 8088},
      {"enabled zero", R"({"vmix":{"enabled":0}})", false, "", 8088},
      {"enabled blank string", R"({"vmix":{"enabled":"  "}})", false, "", 8088},
      {"enabled text", R"({"vmix":{"enabled":"no"}})", true, "", 8088},
      {"host not a string", R"({"vmix":{"host":5}})", true, "", 8088},
  };
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const VmixOutputConfig config = ParseVmixOutputConfigFile(c.text);
    EXPECT_EQ(config.enabled, c.enabled);
    EXPECT_EQ(config.host, c.host);
    EXPECT_EQ(config.port, c.port);
  }
}

struct RequestCase {
  const char* name;
  const char* body;
  std::int32_t status;
  const char* message;
};

TEST(VmixConfigRequest, RefusesTheFirstViolationWithItsMessage) {
  const RequestCase cases[] = {
      {"not JSON", "{", 400, "Request body is not valid JSON"},
      {"not an object", "[]", 422, "Request body must be an object"},
      {"enabled null", R"({"enabled":null})", 422, "enabled must be a boolean"},
      {"host number", R"({"host":1})", 422, "host must be a string"},
      {"port string", R"({"port":"8088"})", 422, "port must be an integer"},
      {"input bool", R"({"input":false})", 422, "input must be a string"},
      {"mapping list", R"({"mapping":[]})", 422, "mapping must be an object"},
      {"mapping field number", R"({"mapping":{"home":1}})", 422, "vMix mapping fields must be strings"},
      {"mapping field null", R"({"mapping":{"clock":null}})", 422, "vMix mapping fields must be strings"},
      {"outputs object", R"({"outputs":{}})", 422, "outputs must be a list"},
      {"output number", R"({"outputs":[3]})", 422, "vMix output must be an object"},
      {"output extra key", R"({"outputs":[{"input_key":"K","colour":"red"}]})", 422, "Unknown vMix output field"},
      {"output enabled string", R"({"outputs":[{"enabled":"yes"}]})", 422, "vMix output enabled must be a boolean"},
      {"mappings null", R"({"outputs":[{"mappings":null}]})", 422, "vMix mappings must be a list"},
      {"mapping not object", R"({"outputs":[{"mappings":["home_score"]}]})", 422, "vMix mapping must be an object"},
      {"mapping extra key", R"({"outputs":[{"mappings":[{"source":"clock","field":"C","x":1}]}]})", 422,
       "Unknown vMix mapping field"},
      {"source in other case", R"({"outputs":[{"mappings":[{"source":"Home_Score","field":"H"}]}]})", 422,
       "Unknown vMix source"},
      {"first violation wins", R"({"host":1,"port":"x"})", 422, "host must be a string"},
      {"one input's field mapped twice in one output",
       R"({"outputs":[{"input_key":"K","mappings":[{"source":"home_score","field":"Home.Text"},)"
       R"({"source":"guest_score","field":"Home.Text"}]}]})",
       422, R"(vMix field "Home.Text" of input "K" is mapped twice: keep one of the two mappings)"},
      {"one input's field mapped by two outputs",
       R"({"outputs":[{"input_key":"K","mappings":[{"source":"home_score","field":"Home.Text"}]},)"
       R"({"input_key":"K","mappings":[{"source":"clock","field":"Clock.Text"},)"
       R"({"source":"home_score","field":"Home.Text"}]}]})",
       422, R"(vMix field "Home.Text" of input "K" is mapped twice: keep one of the two mappings)"},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    VmixOutputConfig config;
    std::int32_t status = 400;
    std::string message;
    EXPECT_FALSE(ParseVmixConfigRequest(c.body, config, status, message));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(message, c.message);
  }
}

TEST(VmixConfigRequest, EnabledDefaultsDifferBetweenRequestAndFile) {
  VmixOutputConfig config;
  std::int32_t status = 400;
  std::string message;
  ASSERT_TRUE(ParseVmixConfigRequest(R"({"outputs":[{"input_key":"K"}],"extra":1})", config, status, message));
  EXPECT_FALSE(config.enabled);
  ASSERT_EQ(config.outputs.size(), 1u);
  EXPECT_TRUE(config.outputs[0].enabled);
  const VmixOutputConfig file = ParseVmixOutputConfigFile(R"({"vmix":{"outputs":[{"input_key":"K"}]}})");
  EXPECT_TRUE(file.enabled);
  EXPECT_TRUE(file.outputs[0].enabled);
}

TEST(VmixConfigRequest, NullOutputIsAnEnabledOutputWithoutReference) {
  VmixOutputConfig config;
  std::int32_t status = 400;
  std::string message;
  ASSERT_TRUE(ParseVmixConfigRequest(R"({"enabled":true,"outputs":[null]})", config, status, message));
  ASSERT_EQ(config.outputs.size(), 1u);
  EXPECT_TRUE(config.outputs[0].enabled);
  EXPECT_FALSE(config.outputs[0].input_key || config.outputs[0].input_number || config.outputs[0].input_title);
  EXPECT_EQ(config.outputs[0].id, MakeVmixOutputId("output-0:0"));
  EXPECT_TRUE(config.outputs[0].mappings.empty());
}

TEST(VmixConfigFile, LegacyInputBecomesOneOutputOnlyWithoutOutputsMember) {
  const VmixOutputConfig legacy =
      ParseVmixOutputConfigFile(R"({"vmix":{"input":" Scoreboard ","mapping":{"period":"","clock":"Time.Text"}}})");
  ASSERT_EQ(legacy.outputs.size(), 1u);
  const VmixOutput& output = legacy.outputs[0];
  EXPECT_EQ(output.id, MakeVmixOutputId("Scoreboard"));
  EXPECT_EQ(output.input_key, "Scoreboard");
  ASSERT_EQ(output.mappings.size(), 4u);
  // An empty legacy field falls back to its default name.
  EXPECT_EQ(output.mappings[2].source, "period");
  EXPECT_EQ(output.mappings[2].field, "Period.Text");
  EXPECT_EQ(output.mappings[3].field, "Time.Text");

  const VmixOutputConfig none = ParseVmixOutputConfigFile(R"({"vmix":{"input":"Scoreboard","outputs":[]}})");
  EXPECT_TRUE(none.outputs.empty());
}

TEST(VmixConfigFile, OutputReferencesIdentifiersAndMappings) {
  const VmixOutputConfig config = ParseVmixOutputConfigFile(R"({"vmix":{"outputs":[
      {"input_key":"K"},
      {"input_key":"K"},
      {"id":"same","input_number":3},
      {"id":"same","input_key":true,"mappings":[
         {"source":"clock","field":" Clock.Text "},
         {"source":"home_score","field":"Clock.Text"},
         {"source":"","field":"X"},
         {"source":"Home_Score","field":"Y"},
         "skipped",
         {"source":"period","field":7}]},
      {"enabled":null}
  ]}})");
  ASSERT_EQ(config.outputs.size(), 5u);
  EXPECT_EQ(config.outputs[0].id, MakeVmixOutputId("K:0"));
  EXPECT_EQ(config.outputs[1].id, MakeVmixOutputId("K:1"));
  EXPECT_EQ(config.outputs[2].id, "same");
  EXPECT_EQ(config.outputs[2].input_number, "3");
  EXPECT_EQ(config.outputs[3].id, MakeVmixOutputId("same:3"));
  EXPECT_EQ(config.outputs[3].input_key, "True");
  const auto& mappings = config.outputs[3].mappings;
  ASSERT_EQ(mappings.size(), 2u);
  EXPECT_EQ(mappings[0].source, "clock");
  EXPECT_EQ(mappings[0].field, "Clock.Text");
  EXPECT_EQ(mappings[1].source, "period");
  EXPECT_EQ(mappings[1].field, "7");
  EXPECT_FALSE(config.outputs[4].enabled);
}

TEST(VmixConfigWriter, DefaultDocumentIsTheDocumentedText) {
  EXPECT_EQ(BuildOutputConfigDocument("", VmixOutputConfig()),
            "{\n"
            "  \"vmix\": {\n"
            "    \"enabled\": true,\n"
            "    \"host\": \"\",\n"
            "    \"port\": 8088,\n"
            "    \"computer_name\": null,\n"
            "    \"input\": \"\",\n"
            "    \"mapping\": {\n"
            "      \"home\": \"Home.Text\",\n"
            "      \"guest\": \"Guest.Text\",\n"
            "      \"period\": \"Period.Text\",\n"
            "      \"clock\": \"Clock.Text\"\n"
            "    },\n"
            "    \"outputs\": []\n"
            "  }\n"
            "}\n");
}

TEST(VmixConfigWriter, KeepsOtherMembersAndReplacesVmixInPlace) {
  const std::string document = BuildOutputConfigDocument(
      "{\"sse\":{\"enabled\":false,\"note\":\"caf\xC3\xA9\"},\"vmix\":true,\"rss\":true}", VmixOutputConfig());
  const JsonValue parsed = ParseJson(document);
  ASSERT_EQ(parsed.members.size(), 3u);
  EXPECT_EQ(parsed.members[0].key, "sse");
  EXPECT_EQ(parsed.members[0].value.members.size(), 2u);
  EXPECT_EQ(parsed.members[0].value.members[1].value.text, "caf\xC3\xA9");
  EXPECT_EQ(parsed.members[1].key, "vmix");
  EXPECT_EQ(parsed.members[1].value.kind, JsonKind::kObject);
  EXPECT_EQ(parsed.members[2].key, "rss");
  // The non-ASCII letter stays raw UTF-8, the form the configuration reader accepts.
  EXPECT_NE(document.find("caf\xC3\xA9"), std::string::npos);

  EXPECT_EQ(BuildOutputConfigDocument("not json", VmixOutputConfig()), BuildOutputConfigDocument("", VmixOutputConfig()));
}

TEST(VmixConfigWriter, WrittenConfigurationReadsBackTheSame) {
  VmixOutputConfig config;
  config.enabled = false;
  config.host = "192.168.1.20";
  config.port = 8090;
  config.computer_name = "Studio \"A\"";
  config.input = "Legacy";
  VmixOutput output;
  output.id = "first";
  output.enabled = false;
  output.input_number = "3";
  output.input_type = "GT";
  output.mappings = {{"home_score", "Home.Text"}, {"clock", "Zeit \xC3\xBC\xF0\x9F\x8F\x92"}};
  config.outputs.push_back(output);

  const VmixOutputConfig back = ParseVmixOutputConfigFile(BuildOutputConfigDocument("", config));
  EXPECT_EQ(back.enabled, config.enabled);
  EXPECT_EQ(back.host, config.host);
  EXPECT_EQ(back.port, config.port);
  EXPECT_EQ(back.computer_name, config.computer_name);
  EXPECT_EQ(back.input, config.input);
  ASSERT_EQ(back.outputs.size(), 1u);
  EXPECT_TRUE(VmixOutputEquals(back.outputs[0], output));
}

TEST(VmixJsonText, WriteJsonStringKeepsUtf8AndReplacesBrokenBytes) {
  const struct {
    std::string text;
    std::string written;
  } cases[] = {
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\b\t\n\f\r\x01\x1f", R"("\b\t\n\f\r\u0001\u001f")"},
      {"\xC3\xA9", "\"\xC3\xA9\""},
      {"\xE2\x80\xA6", "\"\xE2\x80\xA6\""},
      {"\xF0\x9F\x8F\x92", "\"\xF0\x9F\x8F\x92\""},
      {"\xFF", "\"\xEF\xBF\xBD\""},
      {"\x80x", "\"\xEF\xBF\xBDx\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},
      {"\xE2\x80x", "\"\xEF\xBF\xBD\xEF\xBF\xBDx\""},
      {"\x7F", "\"\x7F\""},
  };
  for (const auto& c : cases) {
    std::string out;
    WriteJsonString(c.text, out);
    EXPECT_EQ(out, c.written);
  }
  EXPECT_EQ(EscapeVmixJsonText("\xC3\xA9\xF0\x9F\x8F\x92\xFF\"\n\x02"), "\xC3\xA9\xF0\x9F\x8F\x92\xFF\\\"\\n\\u0002");
  EXPECT_EQ(OptionalTextJson(std::nullopt), "null");
  EXPECT_EQ(OptionalTextJson(std::string("a\\b")), "\"a\\\\b\"");
}

TEST(VmixJsonText, PrettyWriterWithIndentZeroPutsEveryMemberAfterTwoSpaces) {
  JsonValue root = ParseJson(R"({"a":[1,{"b":null}],"c":{},"d":[]})");
  std::string out;
  WriteJsonPretty(root, out, 0, 0);
  EXPECT_EQ(out, "{\n  \"a\": [\n  1,\n  {\n  \"b\": null\n}\n],\n  \"c\": {},\n  \"d\": []\n}");
}

}  // namespace
}  // namespace tessvark
