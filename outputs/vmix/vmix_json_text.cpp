#include "outputs/vmix/vmix_json_text.h"

#include <cstdio>

namespace tessvark {
namespace {

// U+FFFD as UTF-8 bytes. The configuration's JSON reader refuses \u escapes of non-ASCII
// characters, so the writer keeps non-ASCII text as raw UTF-8 and never escapes it.
constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

void AppendUnicodeEscape(unsigned unit, std::string& out) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", unit & 0xFFFFu);
  out += buffer;
}

// Handles the ASCII range shared by both escaping sets; returns false for bytes from 0x80.
bool AppendAsciiEscaped(unsigned char byte, std::string& out) {
  switch (byte) {
    case '"': out += "\\\""; return true;
    case '\\': out += "\\\\"; return true;
    case 0x08: out += "\\b"; return true;
    case 0x09: out += "\\t"; return true;
    case 0x0A: out += "\\n"; return true;
    case 0x0C: out += "\\f"; return true;
    case 0x0D: out += "\\r"; return true;
    default: break;
  }
  if (byte < 0x20) {
    AppendUnicodeEscape(byte, out);
    return true;
  }
  if (byte < 0x80) {
    out += static_cast<char>(byte);
    return true;
  }
  return false;
}

}  // namespace

JsonValue MakeJsonString(std::string&& text) {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kString;
  value.text = std::move(text);
  return value;
}

JsonValue MakeJsonOptionalString(const std::optional<std::string>& text) {
  if (!text) return JsonValue::MakeNull();
  return MakeJsonString(std::string(*text));
}

JsonValue MakeJsonBool(bool flag) {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kBool;
  value.bool_value = flag;
  value.text = flag ? "true" : "false";
  return value;
}

JsonValue MakeJsonNumberText(std::string&& text, double number) {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kNumber;
  value.number = number;
  value.text = std::move(text);
  return value;
}

JsonValue MakeJsonObject() {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kObject;
  return value;
}

JsonValue MakeJsonArray() {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kArray;
  return value;
}

void SetJsonMember(JsonValue& object, std::string_view key, JsonValue&& value) {
  for (JsonMember& member : object.members) {
    if (member.key == key) {
      member.value = std::move(value);
      return;
    }
  }
  object.members.push_back(JsonMember{std::string(key), std::move(value)});
}

void WriteJsonString(std::string_view text, std::string& out) {
  out += '"';
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (AppendAsciiEscaped(byte, out)) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    if (byte >= 0xC0 && byte <= 0xDF) length = 2;
    else if (byte >= 0xE0 && byte <= 0xEF) length = 3;
    else if (byte >= 0xF0 && byte <= 0xF7) length = 4;
    bool whole = length != 0 && size - i >= length;
    for (std::size_t k = 1; whole && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      whole = next >= 0x80 && next <= 0xBF;
    }
    if (!whole) {
      out += kReplacementCharacter;
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  out += '"';
}

void WriteJsonPretty(const JsonValue& value, std::string& out, int indent, int depth) {
  const std::string closing_pad(static_cast<std::size_t>(indent > 0 ? indent * depth : 0), ' ');
  const std::string item_pad = closing_pad + "  ";
  switch (value.kind) {
    case JsonKind::kNull:
      out += "null";
      return;
    case JsonKind::kBool:
      out += value.bool_value ? "true" : "false";
      return;
    case JsonKind::kNumber:
      out += value.text.empty() ? "0" : value.text;
      return;
    case JsonKind::kString:
      WriteJsonString(value.text, out);
      return;
    case JsonKind::kArray:
      if (value.items.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        if (i > 0) out += ',';
        out += '\n';
        out += item_pad;
        WriteJsonPretty(value.items[i], out, indent, depth + 1);
      }
      out += '\n';
      out += closing_pad;
      out += ']';
      return;
    case JsonKind::kObject:
      if (value.members.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      for (std::size_t i = 0; i < value.members.size(); ++i) {
        if (i > 0) out += ',';
        out += '\n';
        out += item_pad;
        WriteJsonString(value.members[i].key, out);
        out += ": ";
        WriteJsonPretty(value.members[i].value, out, indent, depth + 1);
      }
      out += '\n';
      out += closing_pad;
      out += '}';
      return;
  }
}

std::string ToPrettyJsonText(const JsonValue& value) {
  std::string out;
  WriteJsonPretty(value, out, 2, 0);
  out += '\n';
  return out;
}

std::string EscapeVmixJsonText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (!AppendAsciiEscaped(byte, out)) out += c;
  }
  return out;
}

std::string QuotedVmixJsonText(std::string_view text) {
  std::string out(1, '"');
  out += EscapeVmixJsonText(text);
  out += '"';
  return out;
}

std::string OptionalTextJson(const std::optional<std::string>& text) {
  return text ? QuotedVmixJsonText(*text) : "null";
}

}  // namespace tessvark
