// The zone record: its JSON form, the lenient reader of stored lists and the small zone rules.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/json_value.h"
#include "session/ocr_zone.h"

namespace tessvark {
namespace {

OcrZone FullZone() {
  OcrZone zone;
  zone.id = "clock \"main\"";
  zone.role = "clock";
  zone.name = "Clock";
  zone.type = "clock";
  zone.x = 0.1;
  zone.y = 0.25;
  zone.width = 0.5;
  zone.height = 0.125;
  ZoneProcessing processing;
  processing.threshold = 90;
  processing.invert = true;
  zone.processing = processing;
  zone.clock_format = ClockFormat::TwoDigitMinutesSeconds;
  zone.has_perspective = true;
  zone.perspective_enabled = false;
  zone.corners = {GeometryPoint{0.1, 0.2}, {0.9, 0.2}, {0.9, 0.8}, {0.1, 0.8}};
  zone.created_sequence = 7;
  return zone;
}

void ExpectSameZone(const OcrZone& a, const OcrZone& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.role, b.role);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.x, b.x);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  ASSERT_EQ(a.processing.has_value(), b.processing.has_value());
  if (a.processing) {
    EXPECT_EQ(ZoneProcessingJson(*a.processing), ZoneProcessingJson(*b.processing));
  }
  EXPECT_EQ(a.clock_format, b.clock_format);
  EXPECT_EQ(a.has_perspective, b.has_perspective);
  EXPECT_EQ(a.perspective_enabled, b.perspective_enabled);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(a.corners[i].x, b.corners[i].x);
    EXPECT_EQ(a.corners[i].y, b.corners[i].y);
  }
  EXPECT_EQ(a.created_sequence, b.created_sequence);
}

TEST(OcrZoneJson, WritesMembersInOrderWithOptionalOnesOnlyWhenSet) {
  OcrZone plain;
  plain.id = "a";
  plain.role = "home_score";
  plain.x = 0.1;
  EXPECT_EQ(OcrZoneJson(plain),
            "{\"id\":\"a\",\"role\":\"home_score\",\"name\":\"\",\"type\":\"\","
            "\"x\":0.10000000000000001,\"y\":0,\"width\":0,\"height\":0,\"processing\":null}");
  EXPECT_EQ(OcrZoneJson(FullZone()),
            "{\"id\":\"clock \\\"main\\\"\",\"role\":\"clock\",\"name\":\"Clock\",\"type\":\"clock\","
            "\"x\":0.10000000000000001,\"y\":0.25,\"width\":0.5,\"height\":0.125,"
            "\"processing\":{\"threshold\":90,\"contrast\":1,\"brightness\":0,\"gamma\":1,"
            "\"rotation\":0,\"blur\":0,\"morphology\":\"none\",\"morph_size\":1,\"grayscale\":true,"
            "\"binarize\":true,\"invert\":true},\"clock_format\":\"mm:ss\","
            "\"perspective\":{\"enabled\":false,\"corners\":[{\"x\":0.10000000000000001,"
            "\"y\":0.20000000000000001},{\"x\":0.90000000000000002,\"y\":0.20000000000000001},"
            "{\"x\":0.90000000000000002,\"y\":0.80000000000000004},{\"x\":0.10000000000000001,"
            "\"y\":0.80000000000000004}]},\"created_sequence\":7}");
  EXPECT_EQ(OcrZoneListJson({}), "[]");
}

TEST(OcrZoneJson, AListReadsBackAsWritten) {
  OcrZone plain;
  plain.id = "b";
  plain.role = "period";
  const std::vector<OcrZone> zones = {FullZone(), plain};
  const std::vector<OcrZone> read = ParseOcrZoneList(OcrZoneListJson(zones));
  ASSERT_EQ(read.size(), 2u);
  ExpectSameZone(read[0], zones[0]);
  ExpectSameZone(read[1], zones[1]);
}

TEST(ParseOcrZoneList, DropsWhatItCannotUseAndSaysWhy) {
  const std::string valid = R"({"id":"z","role":"period","x":0,"y":0,"width":1,"height":1})";
  struct Case {
    const char* name;
    std::string text;
    std::size_t zones;
    std::vector<std::string> refusals;
  };
  const Case cases[] = {
      {"not json", "not json", 0, {}},
      {"an object", "{}", 0, {}},
      {"number before a zone", "[5," + valid + "]", 1, {"zone 1: not an object"}},
      {"x as a string", R"([{"id":"z","role":"r","x":"0.1","y":0,"width":1,"height":1}])", 0,
       {"zone 1: x is not a finite number"}},
      {"id as a number", R"([{"id":1,"role":"r","x":0,"y":0,"width":1,"height":1}])", 0,
       {"zone 1: id is not a string"}},
      {"role missing", R"([{"id":"z","x":0,"y":0,"width":1,"height":1}])", 0,
       {"zone 1: role is not a string"}},
      {"missing height named before a bad x",
       R"([{"id":"z","role":"r","x":null,"y":0,"width":1}])", 0, {"zone 1: height is missing"}},
      // A literal too large for a double: taken as it is, the zone would be written with a null
      // and lost without a word at the next reading.
      {"y beyond double range",
       "[" + valid + R"(,{"id":"c","role":"clock","name":"Clock","type":"clock","x":0.25,)"
                     R"("y":1e400,"width":0.5,"height":0.2}])",
       1, {"zone 2: y is not a finite number"}},
      {"width of minus infinity", R"([{"id":"z","role":"r","x":0,"y":0,"width":-1e999,"height":1}])",
       0, {"zone 1: width is not a finite number"}},
      {"duplicates kept", "[" + valid + "," + valid + "]", 2, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> refusals;
    const std::vector<OcrZone> zones = ParseOcrZoneList(c.text, &refusals);
    EXPECT_EQ(zones.size(), c.zones) << c.name;
    EXPECT_EQ(refusals, c.refusals) << c.name;
    // What was taken is written so that it reads back whole.
    std::vector<std::string> refused_again;
    EXPECT_EQ(OcrZoneListJson(ParseOcrZoneList(OcrZoneListJson(zones), &refused_again)),
              OcrZoneListJson(zones))
        << c.name;
    EXPECT_TRUE(refused_again.empty()) << c.name;
  }
}

TEST(ParseOcrZoneList, UnusableOptionalMembersFallBackToDefaults) {
  const std::vector<OcrZone> zones = ParseOcrZoneList(
      R"([{"id":"z","role":"clock","name":7,"x":0,"y":0,"width":1,"height":1,)"
      R"("processing":{"threshold":true},"clock_format":5,"perspective":{"enabled":"yes"},)"
      R"("created_sequence":0.5},)"
      R"({"id":"y","role":"clock","x":0,"y":0,"width":1,"height":1,"clock_format":"h:mm",)"
      R"("created_sequence":2.9}])");
  ASSERT_EQ(zones.size(), 2u);
  EXPECT_EQ(zones[0].name, "");
  EXPECT_FALSE(zones[0].processing.has_value());
  EXPECT_EQ(zones[0].clock_format, ClockFormat::Auto);
  EXPECT_FALSE(zones[0].has_perspective);
  EXPECT_FALSE(zones[0].created_sequence.has_value());
  EXPECT_EQ(zones[1].clock_format, ClockFormat::Auto);
  EXPECT_EQ(zones[1].created_sequence, 2);
  for (const char* sequence : {"0", "-3", "null"}) {
    const auto read = ParseOcrZoneList(std::string(R"([{"id":"z","role":"r","x":0,"y":0,"width":1,"height":1,"created_sequence":)") +
                                       sequence + "}]");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_FALSE(read[0].created_sequence.has_value()) << sequence;
  }
}

TEST(ParseZoneProcessing, ReportsTheLastOffenderOrClampsTheValues) {
  struct Case {
    const char* body;
    const char* error;
  };
  const Case cases[] = {
      {"[]", "Zone processing must be an object"},
      {R"({"threshold":"3"})", "threshold must be numeric"},
      {R"({"threshold":true,"blur":null})", "blur must be numeric"},
      {R"({"morphology":5})", "morphology must be a string"},
      {R"({"invert":1})", "invert must be a boolean"},
      {R"({"grayscale":0,"invert":"x"})", "invert must be a boolean"},
      // Clamped, the value would be stored as something the operator never asked for.
      {R"({"contrast":1e400})", "contrast is not a finite number"},
      {R"({"threshold":-1e999,"gamma":2})", "threshold is not a finite number"},
      {R"({"rotation":1e999,"blur":true})", "blur must be numeric"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseZoneProcessing(ParseJson(c.body), error).has_value()) << c.body;
    EXPECT_EQ(error, c.error) << c.body;
  }
  std::string error;
  EXPECT_FALSE(ParseZoneProcessing(ParseJson("null"), error).has_value());
  EXPECT_EQ(error, "");
  const auto processing = ParseZoneProcessing(ParseJson(R"({"threshold":3.9,"blur":1e300})"), error);
  ASSERT_TRUE(processing.has_value()) << error;
  EXPECT_EQ(processing->threshold, ClampZoneProcessing(ZoneProcessing{3}).threshold);
  EXPECT_EQ(processing->blur, ClampZoneProcessing([] {
                                ZoneProcessing p;
                                p.blur = 2147483647;
                                return p;
                              }()).blur);
}

TEST(ParseZonePerspective, RefusesMalformedCornersAndLeavesTheZone) {
  const std::string four = R"([{"x":0,"y":0},{"x":1,"y":0},{"x":1,"y":1},{"x":0,"y":1}])";
  struct Case {
    std::string body;
    const char* error;
  };
  const Case cases[] = {
      {"5", "Perspective must be an object"},
      {R"({"enabled":"yes","corners":)" + four + "}", "Perspective enabled must be a boolean"},
      {R"({"enabled":true,"corners":[{"x":0,"y":0},{"x":1,"y":0},{"x":1,"y":1}]})",
       "Perspective requires four corners"},
      {R"({"enabled":true,"corners":[1,2,3,4]})", "Perspective corners must be objects"},
      {R"({"enabled":true,"corners":[{"x":0.1},{"x":1,"y":0},{"x":1,"y":1},{"x":0,"y":1}]})",
       "Perspective corners must be finite numbers"},
  };
  for (const Case& c : cases) {
    OcrZone zone = FullZone();
    std::string error;
    EXPECT_FALSE(ParseZonePerspective(ParseJson(c.body), zone, error)) << c.body;
    EXPECT_EQ(error, c.error) << c.body;
    ExpectSameZone(zone, FullZone());
  }
  OcrZone zone = FullZone();
  std::string error;
  ASSERT_TRUE(ParseZonePerspective(ParseJson(R"({"enabled":true,"corners":)" + four + "}"), zone, error));
  EXPECT_TRUE(zone.perspective_enabled);
  EXPECT_EQ(zone.corners[2].x, 1.0);
  ASSERT_TRUE(ParseZonePerspective(ParseJson("null"), zone, error));
  EXPECT_FALSE(zone.has_perspective);
  EXPECT_FALSE(zone.perspective_enabled);
  EXPECT_EQ(zone.corners[2].x, 0.0);
}

TEST(OcrZoneRules, ZoneIdsRolesAndProfileKeys) {
  for (const std::string& id : std::vector<std::string>{"a.b", ".a", "clock", std::string(80, 'z')}) {
    EXPECT_TRUE(IsValidZoneId(id)) << id;
  }
  for (const std::string& id :
       std::vector<std::string>{"", ".", "..", "a..b", "a/b", "a\\b", std::string(81, 'z')}) {
    EXPECT_FALSE(IsValidZoneId(id)) << id;
  }
  const auto row = FindZoneRole("guest_possession");
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->type, "indicator");
  EXPECT_FALSE(FindZoneRole("Clock").has_value());
  EXPECT_FALSE(FindZoneRole("clock ").has_value());
  EXPECT_EQ(ZoneProfileKey(true, "ndi", "Cam (1)"), "ndi\nCam (1)");
  EXPECT_EQ(ZoneProfileKey(false, "ndi", "Cam (1)"), "none");
}

TEST(OcrZoneRules, ToAnalysisZoneCarriesWhatTheEngineReads) {
  OcrZone zone = FullZone();
  zone.perspective_enabled = true;
  const AnalysisZone analysis = ToAnalysisZone(zone);
  EXPECT_EQ(analysis.id, zone.id);
  EXPECT_EQ(analysis.role, "clock");
  EXPECT_EQ(analysis.width, 0.5);
  EXPECT_TRUE(analysis.perspective);
  EXPECT_EQ(analysis.corners[1].x, 0.9);
  EXPECT_EQ(analysis.clock_format, ClockFormat::TwoDigitMinutesSeconds);
  ASSERT_TRUE(analysis.processing.has_value());
  EXPECT_EQ(analysis.processing->threshold, 90);
}

}  // namespace
}  // namespace tessvark
