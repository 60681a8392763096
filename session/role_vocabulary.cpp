#include "session/role_vocabulary.h"

#include <string_view>

#include "core/json_writer.h"
#include "outputs/vmix/vmix_set_text.h"

namespace tessvark {
namespace {

std::string_view LayoutName(RoleLayout layout) {
  switch (layout) {
    case RoleLayout::kOneDigit:
      return "one_digit";
    case RoleLayout::kTwoDigits:
      return "two_digits";
    case RoleLayout::kClock:
      break;
  }
  return "clock";
}

std::string_view ReaderName(RoleReader reader) {
  switch (reader) {
    case RoleReader::kNumber:
      return "number";
    case RoleReader::kShotClock:
      return "shot_clock";
    case RoleReader::kCount:
      return "count";
    case RoleReader::kPeriod:
      return "period";
    case RoleReader::kClock:
      return "clock";
    case RoleReader::kPossession:
      break;
  }
  return "possession";
}

}  // namespace

std::string RoleVocabularyJson(std::span<const AgentRole> table) {
  JsonWriter out(kApiJson);
  out.BeginObject().Key("roles").BeginArray();
  for (const AgentRole& row : table) {
    out.BeginObject();
    out.Key("role").String(row.role);
    out.Key("name").String(row.display_name);
    out.Key("zone_type").String(row.zone_type);
    out.Key("layout").String(LayoutName(row.layout));
    out.Key("reader").String(ReaderName(row.reader));
    out.Key("member").String(row.value.member);
    out.Key("penalty").StringOrNull(row.value.penalty);
    out.EndObject();
  }
  out.EndArray().Key("vmix_sources").BeginArray();
  for (const AgentRole& row : table) out.String(row.role);
  for (const std::string_view display : kVmixDisplaySources) out.String(display);
  return out.EndArray().EndObject().Take();
}

}  // namespace tessvark
