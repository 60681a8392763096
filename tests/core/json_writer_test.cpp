// The one JSON writer: each style's escaping, number form and layout, as tables of values and the
// exact text written for them.

#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/json_value.h"

namespace tessvark {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::string StringIn(JsonStyle style, std::string_view text) {
  return JsonWriter(style).String(text).Take();
}

TEST(JsonWriterStrings, EachStyleEscapesWithItsOwnSet) {
  // Every short form, a byte below 0x20 without one, DEL, a whole two-byte and four-byte
  // sequence, a lone continuation byte and a lead byte cut short at the end.
  const std::string text = "\"\\/\b\t\n\f\r\x01\x7F\xC3\xA9\xF0\x9F\x8F\x92\x80\xE2\x82";
  const struct {
    const char* style_name;
    JsonStyle style;
    std::string json;
  } cases[] = {
      {"state", kStateJson,
       "\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\x7F\xC3\xA9\xF0\x9F\x8F\x92\x80\xE2\x82\""},
      {"api", kApiJson,
       "\"\\\"\\\\/\\u0008\\u0009\\n\\u000c\\u000d\\u0001\x7F\xC3\xA9\xF0\x9F\x8F\x92\x80\xE2\x82\""},
      {"catalog", kCatalogJson,
       "\"\\\"\\\\/\\u0008\\t\\n\\u000c\\r\\u0001\x7F\xC3\xA9\xF0\x9F\x8F\x92\x80\xE2\x82\""},
      {"vmix configuration", kVmixConfigJson,
       "\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\x7F\xC3\xA9\xF0\x9F\x8F\x92"
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.style_name);
    EXPECT_EQ(StringIn(c.style, text), c.json);
    // Keys are escaped like strings.
    EXPECT_EQ(JsonWriter(c.style).BeginObject().Key(text).Null().EndObject().Take().find(c.json),
              c.style.indent ? 4u : 1u);
  }
}

TEST(JsonWriterStrings, TheVmixConfigurationSetReplacesEveryByteOutsideAWholeSequence) {
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"\xFF", "\"\xEF\xBF\xBD\""},                  // never a lead byte
      {"\xC3", "\"\xEF\xBF\xBD\""},                  // lead byte at the end
      {"\xC3(", "\"\xEF\xBF\xBD(\""},                // followed by ASCII
      {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},          // whole three-byte sequence
      {"\xF8\x88\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {std::string("\0", 1), "\"\\u0000\""},
  };
  for (const auto& c : cases) EXPECT_EQ(StringIn(kVmixConfigJson, c.text), c.json);
}

TEST(JsonWriterNumbers, EachFormWritesDoublesItsOwnWay) {
  const struct {
    double value;
    std::string api;    // also the form of the vMix configuration for doubles from code
    std::string state;  // empty: refused
  } cases[] = {
      {0.1, "0.10000000000000001", "0.1"},
      {1.0, "1", "1.0"},
      {-0.0, "-0", "-0.0"},
      {0.0, "0", "0.0"},
      {1e22, "1e+22", "1e+22"},
      {-2.5e-7, "-2.4999999999999999e-07", "-2.5e-07"},
      {kInfinity, "null", ""},
      {-kInfinity, "null", ""},
      {std::nan(""), "null", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.api);
    EXPECT_EQ(JsonWriter(kApiJson).Double(c.value).Take(), c.api);
    EXPECT_EQ(JsonWriter(kVmixConfigJson).Double(c.value).Take(), c.api);
    if (c.state.empty()) {
      JsonWriter state(kStateJson);
      EXPECT_THROW(state.Double(c.value), std::invalid_argument);
    } else {
      EXPECT_EQ(JsonWriter(kStateJson).Double(c.value).Take(), c.state);
    }
  }
}

TEST(JsonWriterNumbers, IntegersAndFixedDecimals) {
  EXPECT_EQ(JsonWriter(kStateJson).Int(std::numeric_limits<std::int64_t>::min()).Take(),
            "-9223372036854775808");
  EXPECT_EQ(JsonWriter(kApiJson).Int(std::numeric_limits<std::uint64_t>::max()).Take(),
            "18446744073709551615");
  EXPECT_EQ(JsonWriter(kApiJson).Int(std::size_t{0}).Take(), "0");
  const struct {
    double value;
    int decimals;
    std::string json;
  } fixed[] = {
      {1.005, 2, "1.00"},  // the nearest double lies below 1.005
      {99.95, 1, "100.0"},
      {-0.04, 1, "-0.0"},
      {3.0, 0, "3"},
      {kInfinity, 2, "null"},
      {std::nan(""), 1, "null"},
  };
  for (const auto& c : fixed) {
    EXPECT_EQ(JsonWriter(kApiJson).Fixed(c.value, c.decimals).Take(), c.json) << c.value;
  }
  // The largest double has 309 digits before the point; none of them is cut off.
  const std::string largest =
      JsonWriter(kApiJson).Fixed(-std::numeric_limits<double>::max(), 1).Take();
  EXPECT_EQ(largest.size(), 1u + 309u + 2u);
  EXPECT_EQ(largest.substr(0, 6), "-17976");
  EXPECT_EQ(largest.substr(largest.size() - 2), ".0");
}

// Writes {"a":1,"b":[true,{"c":null}],"d":[],"e":{},"a":"x"}, duplicate key and all.
void WriteSample(JsonWriter& out) {
  out.BeginObject();
  out.Key("a").Int(1);
  out.Key("b").BeginArray().Bool(true).BeginObject().Key("c").Null().EndObject().EndArray();
  out.Key("d").BeginArray().EndArray();
  out.Key("e").BeginObject().EndObject();
  out.Key("a").String("x");
  out.EndObject();
}

TEST(JsonWriterLayout, NestingInEachLayout) {
  const struct {
    const char* name;
    std::optional<int> indent;
    int depth;
    std::string json;
  } cases[] = {
      {"compact", std::nullopt, 0, R"({"a":1,"b":[true,{"c":null}],"d":[],"e":{},"a":"x"})"},
      {"indent 2", 2, 0,
       "{\n  \"a\": 1,\n  \"b\": [\n    true,\n    {\n      \"c\": null\n    }\n  ],\n"
       "  \"d\": [],\n  \"e\": {},\n  \"a\": \"x\"\n}"},
      // Every item line two spaces in, every closing bracket at the margin.
      {"indent 0", 0, 0,
       "{\n  \"a\": 1,\n  \"b\": [\n  true,\n  {\n  \"c\": null\n}\n],\n"
       "  \"d\": [],\n  \"e\": {},\n  \"a\": \"x\"\n}"},
      {"indent 2 inside a document", 2, 1,
       "{\n    \"a\": 1,\n    \"b\": [\n      true,\n      {\n        \"c\": null\n      }\n    ],\n"
       "    \"d\": [],\n    \"e\": {},\n    \"a\": \"x\"\n  }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JsonStyle style = kApiJson;
    style.indent = c.indent;
    JsonWriter out(style, c.depth);
    WriteSample(out);
    EXPECT_EQ(out.Take(), c.json);
  }
}

TEST(JsonWriterLayout, EmptyContainersAndLoneValues) {
  const struct {
    const char* name;
    std::function<void(JsonWriter&)> write;
    std::string compact;
    std::string indented;
  } cases[] = {
      {"empty object", [](JsonWriter& w) { w.BeginObject().EndObject(); }, "{}", "{}"},
      {"empty array", [](JsonWriter& w) { w.BeginArray().EndArray(); }, "[]", "[]"},
      {"nested empties",
       [](JsonWriter& w) {
         w.BeginArray().BeginArray().EndArray().BeginObject().EndObject().EndArray();
       },
       "[[],{}]", "[\n  [],\n  {}\n]"},
      {"lone string", [](JsonWriter& w) { w.String("s"); }, "\"s\"", "\"s\""},
      {"absent optional", [](JsonWriter& w) { w.OptionalString(std::nullopt); }, "null", "null"},
      {"present optional", [](JsonWriter& w) { w.OptionalString(std::string()); }, "\"\"", "\"\""},
      {"empty text", [](JsonWriter& w) { w.StringOrNull(""); }, "null", "null"},
      {"text", [](JsonWriter& w) { w.StringOrNull("t"); }, "\"t\"", "\"t\""},
      {"raw members",
       [](JsonWriter& w) { w.BeginObject().Key("z").Raw("[1, 2]").Key("y").Raw("{}").EndObject(); },
       R"({"z":[1, 2],"y":{}})", "{\n  \"z\": [1, 2],\n  \"y\": {}\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JsonWriter compact(kApiJson);
    c.write(compact);
    EXPECT_EQ(compact.Take(), c.compact);
    JsonWriter indented(kVmixConfigJson);
    c.write(indented);
    EXPECT_EQ(indented.Take(), c.indented);
  }
}

TEST(JsonWriterLayout, TakeLeavesAnEmptyWriterForTheNextText) {
  JsonWriter out(kApiJson);
  out.BeginArray().Int(1);
  out.Take();
  EXPECT_EQ(out.BeginObject().Key("k").Int(2).EndObject().Take(), R"({"k":2})");
}

TEST(JsonWriterValue, ParsedDocumentsKeepOrderAndDuplicates) {
  const JsonValue document =
      ParseJson(R"({"b":1.50,"a":[1e2,-0,true,null,"t\u0009"],"b":{},"n":12345678901234567890})");
  const struct {
    const char* name;
    JsonStyle style;
    std::string json;
  } cases[] = {
      {"numbers written again", kApiJson,
       R"({"b":1.5,"a":[100,-0,true,null,"t\u0009"],"b":{},"n":1.2345678901234567e+19})"},
      {"numbers as written", kVmixConfigJson,
       "{\n  \"b\": 1.50,\n  \"a\": [\n    1e2,\n    -0,\n    true,\n    null,\n    \"t\\t\"\n  ],\n"
       "  \"b\": {},\n  \"n\": 12345678901234567890\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(JsonWriter(c.style).Value(document).Take(), c.json);
  }
}

TEST(JsonWriterValue, ABuiltNumberWithoutLiteralIsZeroAsWritten) {
  JsonValue number = JsonValue::MakeNull();
  number.kind = JsonKind::kNumber;
  number.number = 7.0;
  EXPECT_EQ(JsonWriter(kVmixConfigJson).Value(number).Take(), "0");
  EXPECT_EQ(JsonWriter(kApiJson).Value(number).Take(), "7");
}

}  // namespace
}  // namespace tessvark
