#include "outputs/vmix/vmix_set_text.h"

#include <sstream>

namespace tessvark {
namespace {

// Sources read straight from the state member of the same name (the scores under another key).
constexpr std::string_view kDirectSources[] = {
    "period", "clock", "home_shots", "guest_shots", "shot_clock", "down", "down_display", "to_go",
    "down_distance", "period_display", "ball_on", "home_timeouts", "guest_timeouts",
    "home_possession", "guest_possession"};

StateValue CopyOrNull(const StateValue* value) {
  return value != nullptr ? *value : StateValue::MakeNull();
}

}  // namespace

StateValue VmixSourceValue(const StateValue& state, std::string_view source) {
  std::string_view key;
  if (source == "home_score") key = "home";
  else if (source == "guest_score") key = "guest";
  for (const std::string_view direct : kDirectSources) {
    if (source == direct) key = direct;
  }
  if (!key.empty()) return CopyOrNull(state.Find(key));

  std::string role(source);
  std::string_view member = "clock";
  if (const std::size_t at = role.find("_player"); at != std::string::npos) {
    role.erase(at, 7);
    member = "player_number";
  }
  const StateValue* penalties = state.Find("penalties");
  if (penalties == nullptr || penalties->kind != StateKind::kArray) return StateValue::MakeNull();
  for (const StateValue& penalty : penalties->items) {
    const StateValue* penalty_role = penalty.Find("role");
    if (penalty_role != nullptr && penalty_role->kind == StateKind::kString && penalty_role->text == role) {
      return CopyOrNull(penalty.Find(member));
    }
  }
  return StateValue::MakeNull();
}

std::string FormatSetTextValue(const StateValue& value) {
  switch (value.kind) {
    case StateKind::kBool:
      return value.bool_value ? "True" : "False";
    case StateKind::kInt:
      return std::to_string(value.int_value);
    case StateKind::kDouble: {
      std::ostringstream stream;
      stream.imbue(std::locale::classic());
      stream.precision(15);
      stream << value.double_value;
      std::string text = stream.str();
      if (text.find_first_of(".eE") == std::string::npos) text += ".0";
      return text;
    }
    case StateKind::kString:
      return value.text;
    case StateKind::kNull:
    case StateKind::kArray:
    case StateKind::kObject:
      break;
  }
  return std::string();
}

std::string PercentEncodeQueryValue(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      out += c;
    } else if (byte == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::string BuildSetTextPath(std::string_view input, std::string_view field, std::string_view text) {
  return "/api/?Function=" + PercentEncodeQueryValue("SetText") + "&Input=" + PercentEncodeQueryValue(input) +
         "&SelectedName=" + PercentEncodeQueryValue(field) + "&Value=" + PercentEncodeQueryValue(text);
}

}  // namespace tessvark
