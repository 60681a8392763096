#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessvark {

struct XmlAttribute {
  std::string name;
  std::string value;
};

struct XmlElement {
  // As written, less a "{namespace}" prefix; a "prefix:" stays part of the name.
  std::string name;
  std::vector<XmlAttribute> attributes;
  // All character data directly inside the element, entity-decoded, joined in order.
  std::string text;
  std::vector<XmlElement> children;
};

// The state of one parse over one document; make a new one per document.
struct XmlParser {
  explicit XmlParser(std::string_view document) : text(document) {}
  std::string_view text;
  std::size_t position = 0;
  std::size_t elements = 0;
};

// A small strict reader for vMix's API document: one root element with attributes, text,
// children, the five predefined entities and comments around the root. Every size is bounded
// (1 MiB, 32 levels, 65,536 elements, ...). Any refusal returns false with "not well-formed".
bool ParseXmlDocument(XmlParser& parser, XmlElement& root, std::string& error);
bool ParseXmlElement(XmlParser& parser, XmlElement& out, std::string& error, std::int32_t depth);
bool SkipXmlSpaceAndComments(XmlParser& parser, std::string& error);
// Decodes the predefined entities; numeric references are checked and kept as written.
bool DecodeXmlText(std::string_view raw, std::string& out);
bool AppendXmlText(XmlParser& parser, std::string& text, std::string_view raw, std::string& error);

std::string StripXmlNamespace(std::string_view name);
std::string XmlLowerLocalName(std::string_view name);

// The first attribute of that exact name with a non-empty value; empty when there is none.
std::string XmlAttributeValue(const XmlElement& element, std::string_view name);

// Depth-first, parents before children: the trimmed text of the first element whose lower-case
// local name is `wanted` and whose trimmed text is not empty. `out` stays empty without a match.
void FindXmlElementText(const XmlElement& element, std::string_view wanted, std::string& out,
                        std::int32_t depth);

}  // namespace tessvark
