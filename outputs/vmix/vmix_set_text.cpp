#include "outputs/vmix/vmix_set_text.h"

#include <sstream>

#include "core/agent_roles.h"

namespace tessvark {
namespace {

StateValue CopyOrNull(const StateValue* value) {
  return value != nullptr ? *value : StateValue::MakeNull();
}

}  // namespace

StateValue VmixSourceValue(const StateValue& state, std::string_view source) {
  const AgentRole* row = FindAgentRole(source);
  if (row == nullptr) {
    for (const std::string_view display : kVmixDisplaySources) {
      if (source == display) return CopyOrNull(state.Find(source));
    }
    return StateValue::MakeNull();
  }
  const RoleValuePlace& place = row->value;
  if (place.penalty.empty()) return CopyOrNull(state.Find(place.member));
  const StateValue* penalties = state.Find("penalties");
  if (penalties == nullptr || penalties->kind != StateKind::kArray) return StateValue::MakeNull();
  for (const StateValue& penalty : penalties->items) {
    const StateValue* penalty_role = penalty.Find("role");
    if (penalty_role != nullptr && penalty_role->kind == StateKind::kString &&
        penalty_role->text == place.penalty) {
      return CopyOrNull(penalty.Find(place.member));
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
