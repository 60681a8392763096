#include "outputs/vmix/xml_reader.h"

#include "core/text.h"

namespace tessvark {
namespace {

constexpr std::size_t kMaxDocumentBytes = 1048576;
constexpr std::int32_t kMaxDepth = 32;
constexpr std::size_t kMaxElements = 65536;
constexpr std::size_t kMaxNameBytes = 256;
constexpr std::size_t kMaxAttributes = 128;
constexpr std::size_t kMaxRawAttributeBytes = 16385;
constexpr std::size_t kMaxAttributeBytes = 16384;
constexpr std::size_t kMaxTextBytes = 65536;
constexpr std::size_t kMaxReferenceBytes = 31;

bool NotWellFormed(std::string& error) {
  error = "not well-formed";
  return false;
}

bool IsXmlSpace(char c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      const unsigned char min = k == 1 ? low : 0x80;
      const unsigned char max = k == 1 ? high : 0xBF;
      if (next < min || next > max) return false;
    }
    i += length;
  }
  return true;
}

// Checks "#ddd" or "#xhh" (at least one digit) naming a character XML allows.
bool IsValidCharacterReference(std::string_view body) {
  if (body.size() < 2 || body[0] != '#') return false;
  std::size_t i = 1;
  unsigned base = 10;
  if (body[1] == 'x' || body[1] == 'X') {
    base = 16;
    i = 2;
  }
  if (i == body.size()) return false;
  std::uint32_t value = 0;
  for (; i < body.size(); ++i) {
    const char c = body[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    value = value * base + digit;
    if (value > 0x10FFFF) return false;
  }
  return (value >= 1 && value <= 0xD7FF) || (value >= 0xE000 && value <= 0x10FFFF);
}

bool StartsWith(const XmlParser& parser, std::string_view prefix) {
  return parser.text.substr(parser.position, prefix.size()) == prefix;
}

}  // namespace

std::string StripXmlNamespace(std::string_view name) {
  const std::size_t brace = name.find('}');
  if (brace == std::string_view::npos) return std::string(name);
  return std::string(name.substr(brace + 1));
}

std::string XmlLowerLocalName(std::string_view name) {
  return ToLowerAscii(StripXmlNamespace(name));
}

bool DecodeXmlText(std::string_view raw, std::string& out) {
  out.clear();
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] != '&') {
      out += raw[i++];
    } else {
      const std::size_t semicolon = raw.find(';', i + 1);
      if (semicolon == std::string_view::npos || semicolon - i - 1 > kMaxReferenceBytes) return false;
      const std::string_view body = raw.substr(i + 1, semicolon - i - 1);
      if (body == "amp") out += '&';
      else if (body == "lt") out += '<';
      else if (body == "gt") out += '>';
      else if (body == "quot") out += '"';
      else if (body == "apos") out += '\'';
      else if (IsValidCharacterReference(body)) out.append(raw.substr(i, semicolon - i + 1));
      else return false;
      i = semicolon + 1;
    }
    if (out.size() > kMaxTextBytes) return false;
  }
  return true;
}

bool AppendXmlText(XmlParser&, std::string& text, std::string_view raw, std::string& error) {
  if (raw.size() > kMaxTextBytes) return NotWellFormed(error);
  std::string decoded;
  if (!DecodeXmlText(raw, decoded)) return NotWellFormed(error);
  if (text.size() + decoded.size() > kMaxTextBytes) return NotWellFormed(error);
  text += decoded;
  return true;
}

bool SkipXmlSpaceAndComments(XmlParser& parser, std::string& error) {
  for (;;) {
    while (parser.position < parser.text.size() && IsXmlSpace(parser.text[parser.position])) {
      ++parser.position;
    }
    if (!StartsWith(parser, "<!--")) return true;
    // The search starts at the "<", so "<!-->" closes itself.
    const std::size_t end = parser.text.find("-->", parser.position);
    if (end == std::string_view::npos) return NotWellFormed(error);
    parser.position = end + 3;
  }
}

bool ParseXmlElement(XmlParser& parser, XmlElement& out, std::string& error, std::int32_t depth) {
  if (depth > kMaxDepth || parser.elements >= kMaxElements) return NotWellFormed(error);
  ++parser.elements;
  const std::string_view text = parser.text;
  std::size_t& pos = parser.position;
  if (pos >= text.size() || text[pos] != '<') return NotWellFormed(error);
  if (pos + 1 < text.size() && (text[pos + 1] == '/' || text[pos + 1] == '!' || text[pos + 1] == '?')) {
    return NotWellFormed(error);
  }
  ++pos;
  const std::size_t name_start = pos;
  while (pos < text.size() && !IsXmlSpace(text[pos]) && text[pos] != '>' && text[pos] != '/') ++pos;
  const std::string_view raw_name = text.substr(name_start, pos - name_start);
  if (raw_name.empty() || raw_name.size() > kMaxNameBytes) return NotWellFormed(error);
  out.name = StripXmlNamespace(raw_name);
  if (out.name.empty()) return NotWellFormed(error);

  for (;;) {
    while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
    if (pos >= text.size()) return NotWellFormed(error);
    if (text[pos] == '/') {
      if (pos + 1 >= text.size() || text[pos + 1] != '>') return NotWellFormed(error);
      pos += 2;
      return true;
    }
    if (text[pos] == '>') {
      ++pos;
      break;
    }
    if (out.attributes.size() >= kMaxAttributes) return NotWellFormed(error);
    const std::size_t attribute_start = pos;
    while (pos < text.size() && text[pos] != '=' && !IsXmlSpace(text[pos])) ++pos;
    const std::string_view attribute_name = text.substr(attribute_start, pos - attribute_start);
    if (attribute_name.empty() || attribute_name.size() > kMaxNameBytes) return NotWellFormed(error);
    while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') return NotWellFormed(error);
    ++pos;
    while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return NotWellFormed(error);
    const char quote = text[pos++];
    const std::size_t close = text.find(quote, pos);
    if (close == std::string_view::npos || close - pos > kMaxRawAttributeBytes) return NotWellFormed(error);
    XmlAttribute attribute;
    attribute.name = std::string(attribute_name);
    if (!DecodeXmlText(text.substr(pos, close - pos), attribute.value) ||
        attribute.value.size() > kMaxAttributeBytes) {
      return NotWellFormed(error);
    }
    pos = close + 1;
    out.attributes.push_back(std::move(attribute));
  }

  std::size_t run_start = pos;
  for (;;) {
    const std::size_t next = text.find('<', pos);
    if (next == std::string_view::npos) return NotWellFormed(error);
    if (next - run_start > kMaxTextBytes) return NotWellFormed(error);
    const std::string_view run = text.substr(run_start, next - run_start);
    if (!run.empty() && !AppendXmlText(parser, out.text, run, error)) return false;
    pos = next;
    if (pos + 1 < text.size() && text[pos + 1] == '/') {
      pos += 2;
      const std::size_t end_start = pos;
      while (pos < text.size() && !IsXmlSpace(text[pos]) && text[pos] != '>') ++pos;
      const std::string_view end_name = text.substr(end_start, pos - end_start);
      if (end_name.empty() || end_name.size() > kMaxNameBytes || StripXmlNamespace(end_name) != out.name) {
        return NotWellFormed(error);
      }
      while (pos < text.size() && IsXmlSpace(text[pos])) ++pos;
      if (pos >= text.size() || text[pos] != '>') return NotWellFormed(error);
      ++pos;
      return true;
    }
    XmlElement child;
    if (!ParseXmlElement(parser, child, error, depth + 1)) return false;
    out.children.push_back(std::move(child));
    run_start = pos;
  }
}

bool ParseXmlDocument(XmlParser& parser, XmlElement& root, std::string& error) {
  if (parser.text.size() > kMaxDocumentBytes || !IsValidUtf8(parser.text)) return NotWellFormed(error);
  if (parser.text.size() >= 3 && parser.text.substr(0, 3) == "\xEF\xBB\xBF") parser.position = 3;
  if (!SkipXmlSpaceAndComments(parser, error)) return false;
  if (StartsWith(parser, "<?")) {
    const std::size_t end = parser.text.find("?>", parser.position);
    if (end == std::string_view::npos) return NotWellFormed(error);
    parser.position = end + 2;
  }
  if (!SkipXmlSpaceAndComments(parser, error)) return false;
  if (!ParseXmlElement(parser, root, error, 1)) return NotWellFormed(error);
  if (!SkipXmlSpaceAndComments(parser, error)) return false;
  if (parser.position != parser.text.size()) return NotWellFormed(error);
  return true;
}

std::string XmlAttributeValue(const XmlElement& element, std::string_view name) {
  for (const XmlAttribute& attribute : element.attributes) {
    if (attribute.name == name && !attribute.value.empty()) return attribute.value;
  }
  return std::string();
}

void FindXmlElementText(const XmlElement& element, std::string_view wanted, std::string& out,
                        std::int32_t depth) {
  if (!out.empty() || depth > kMaxDepth) return;
  if (XmlLowerLocalName(element.name) == wanted) {
    std::string trimmed = TrimAsciiWhitespace(element.text);
    if (!trimmed.empty()) {
      out = std::move(trimmed);
      return;
    }
  }
  for (const XmlElement& child : element.children) {
    FindXmlElementText(child, wanted, out, depth + 1);
    if (!out.empty()) return;
  }
}

}  // namespace tessvark
