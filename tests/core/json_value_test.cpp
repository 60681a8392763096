#include "core/json_value.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <stdexcept>
#include <string>

namespace tessvark {
namespace {

std::string ParseError(std::string_view text) {
  try {
    ParseJson(text);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(parsed)";
}

struct ErrorCase {
  std::string text;
  std::string message;
};

TEST(ParseJsonErrors, EachMalformedDocumentGivesItsFixedMessage) {
  const ErrorCase cases[] = {
      {"", "unexpected end of JSON"},
      {" \t\n\v\f\r", "unexpected end of JSON"},
      {"\xEF\xBB\xBF{}", "expected number"},
      {"1 x", "trailing JSON"},
      {"truex", "trailing JSON"},
      {"{} {}", "trailing JSON"},
      {"nul", "expected null"},
      {"nulL", "expected null"},
      {"fals", "expected boolean"},
      {"tru", "expected boolean"},
      {".5", "expected number"},
      {"+1", "expected number"},
      {"-", "unexpected end of JSON"},
      {"-a", "expected number"},
      {"[1,]", "expected number"},
      {"[1 2]", "expected comma or array end"},
      {"[1", "unexpected end of JSON"},
      {"[", "unexpected end of JSON"},
      {"{\"a\":1,}", "object key must be a string"},
      {"{a:1}", "object key must be a string"},
      {"{\"a\" 1}", "expected colon"},
      {"{\"a\":1 \"b\":2}", "expected comma or object end"},
      {"{\"a\":1", "unexpected end of JSON"},
      {"{\"a\"", "unexpected end of JSON"},
      {"\"abc", "unexpected end of JSON"},
      {"\"ab\\", "unexpected end of JSON"},
      {"\"\\x\"", "bad string escape"},
      {"\"\\u12g4\"", "bad unicode escape"},
      {"\"\\u12", "unexpected end of JSON"},
      {"\"\\u00e9\"", "non-ascii unicode escape is not used by the reference"},
      {"\"\\u0080\"", "non-ascii unicode escape is not used by the reference"},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(ParseError(c.text), c.message) << "input: " << c.text;
  }
}

TEST(ParseJsonNumbers, KeepTheirLiteralAndReadAsMuchAsFormsANumber) {
  struct Case {
    std::string text;
    double number;
  };
  const Case cases[] = {
      {"007", 7.0}, {"-0", -0.0}, {"1.", 1.0}, {"1e", 1.0}, {"1e+", 1.0},
      {"-0012.50e+3", -12500.0}, {"0.1", 0.1}, {"2E-2", 0.02},
  };
  for (const Case& c : cases) {
    const JsonValue value = ParseJson(c.text);
    EXPECT_EQ(value.kind, JsonKind::kNumber) << c.text;
    EXPECT_EQ(value.text, c.text);
    EXPECT_EQ(value.number, c.number) << c.text;
  }
  EXPECT_TRUE(std::signbit(ParseJson("-0").number));
}

TEST(ParseJsonNumbers, OverflowParsesButIsNotAFiniteNumber) {
  const JsonValue value = ParseJson("1e999");
  EXPECT_TRUE(std::isinf(value.number));
  EXPECT_FALSE(value.FiniteNumber().has_value());
  EXPECT_EQ(ParseJson("4.9e-324").FiniteNumber(), 4.9e-324);
  EXPECT_FALSE(ParseJson("\"1\"").FiniteNumber().has_value());
}

TEST(ParseJsonNumbers, DoNotFollowTheProcessLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "no locale with a comma decimal point on this machine";
  }
  const double value = ParseJson("0.25").number;
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(value, 0.25);
}

TEST(ParseJsonScalars, LiteralsKeepTheirText) {
  const JsonValue null_value = ParseJson(" null ");
  EXPECT_EQ(null_value.kind, JsonKind::kNull);
  EXPECT_EQ(null_value.text, "null");
  const JsonValue true_value = ParseJson("\ttrue\n");
  EXPECT_EQ(true_value.kind, JsonKind::kBool);
  EXPECT_TRUE(true_value.bool_value);
  EXPECT_EQ(true_value.text, "true");
  const JsonValue false_value = ParseJson("\v\ffalse");
  EXPECT_FALSE(false_value.bool_value);
  EXPECT_EQ(false_value.text, "false");
}

TEST(ParseJsonStrings, EscapesDecodeAndRawBytesPassUnchanged) {
  EXPECT_EQ(ParseJson(R"("a\"b\\c\/d\b\f\n\r\t")").text, "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(ParseJson(R"("\u0041\u004a\u004A")").text, "AJJ");
  EXPECT_EQ(ParseJson(std::string("\"\\u0000\"", 8)).text, std::string(1, '\0'));
  EXPECT_EQ(ParseJson("\"tab\there\nline\"").text, "tab\there\nline");
  EXPECT_EQ(ParseJson("\"caf\xC3\xA9\"").text, "caf\xC3\xA9");
  // NUL bytes inside the input are ordinary bytes.
  EXPECT_EQ(ParseJson(std::string("\"a\0b\"", 5)).text, std::string("a\0b", 3));
}

TEST(ParseJsonContainers, ObjectsKeepOrderAndDuplicateKeys) {
  const JsonValue value = ParseJson(R"({"b":1,"a":[true,null,"x"],"b":2,"c":{}})");
  ASSERT_EQ(value.kind, JsonKind::kObject);
  ASSERT_EQ(value.members.size(), 4u);
  EXPECT_EQ(value.members[0].key, "b");
  EXPECT_EQ(value.members[1].key, "a");
  EXPECT_EQ(value.members[2].key, "b");
  EXPECT_EQ(value.Find("b")->number, 1.0);
  EXPECT_EQ(value.FindMember("b")->number, 1.0);
  EXPECT_EQ(value.At("a").items.size(), 3u);
  EXPECT_EQ(value.At("a").items[2].text, "x");
  EXPECT_EQ(value.At("c").kind, JsonKind::kObject);
  EXPECT_EQ(value.Find("missing"), nullptr);
  EXPECT_TRUE(ParseJson("[]").items.empty());
  EXPECT_EQ(ParseJson("[ ]").kind, JsonKind::kArray);
  EXPECT_EQ(ParseJson("{ }").kind, JsonKind::kObject);
}

TEST(JsonValueLookups, AtNamesTheMissingKeyAndFindMemberNeedsAnObject) {
  const JsonValue object = ParseJson(R"({"catalog":1})");
  try {
    object.At("sports");
    FAIL() << "At did not throw";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "missing JSON key: sports");
  }
  // A non-object with members (built in code) is still not searched by FindMember.
  JsonValue array = ParseJson("[1]");
  array.members.push_back(MakeJsonMember("k", ParseJson("2")));
  EXPECT_NE(array.Find("k"), nullptr);
  EXPECT_EQ(array.FindMember("k"), nullptr);
}

TEST(HasExactKeys, ComparesTheKeySetOnly) {
  const JsonValue object = ParseJson(R"({"a":1,"b":2})");
  EXPECT_TRUE(HasExactKeys(object, {"a", "b"}));
  EXPECT_TRUE(HasExactKeys(object, {"b", "a"}));
  EXPECT_FALSE(HasExactKeys(object, {"a", "b", "c"}));
  EXPECT_FALSE(HasExactKeys(object, {"a"}));
  EXPECT_FALSE(HasExactKeys(object, {"a", "c"}));
  EXPECT_FALSE(HasExactKeys(ParseJson("[1,2]"), {}));
  EXPECT_TRUE(HasExactKeys(ParseJson("{}"), {}));
}

TEST(MakeJsonMember, TakesTheValueAndLeavesItEmpty) {
  JsonValue value = ParseJson(R"(["x","y"])");
  const JsonMember member = MakeJsonMember("list", std::move(value));
  EXPECT_EQ(member.key, "list");
  EXPECT_EQ(member.value.items.size(), 2u);
  const JsonValue null_value = JsonValue::MakeNull();
  EXPECT_EQ(null_value.kind, JsonKind::kNull);
  EXPECT_TRUE(null_value.text.empty());
}

TEST(ParseJsonNesting, OrdinaryDepthParsesAndHostileDepthIsRefused) {
  const std::string ok = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
  EXPECT_NO_THROW(ParseJson(ok));
  const std::string too_deep = std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']');
  EXPECT_EQ(ParseError(too_deep), "JSON nesting too deep");
  // A request body of one MiB of brackets must be refused, not overflow the stack.
  EXPECT_EQ(ParseError(std::string(1 << 20, '[')), "JSON nesting too deep");
  std::string objects;
  for (int i = 0; i <= kMaxJsonDepth; ++i) objects += "{\"a\":";
  EXPECT_EQ(ParseError(objects), "JSON nesting too deep");
}

TEST(ParseJsonNesting, DepthIsCountedPerPathNotPerDocument) {
  // Many sibling containers at modest depth are fine; only the nesting of one path counts.
  std::string wide = "[";
  for (int i = 0; i < 5000; ++i) wide += (i ? ",[[1]]" : "[[1]]");
  wide += "]";
  EXPECT_EQ(ParseJson(wide).items.size(), 5000u);
}

}  // namespace
}  // namespace tessvark
