#include "outputs/vmix/vmix_api_document.h"

#include <arpa/inet.h>

#include "core/text.h"
#include "outputs/vmix/vmix_json_text.h"

namespace tessvark {
namespace {

constexpr int kMaxDepth = 32;

std::optional<std::string> NonEmpty(std::string text) {
  if (text.empty()) return std::nullopt;
  return text;
}

JsonValue StringOrNull(const std::string& text) {
  return text.empty() ? JsonValue::MakeNull() : MakeJsonString(std::string(text));
}

bool IsValidHostName(std::string_view host) {
  if (host.front() == '.' || host.back() == '.' || host.find("..") != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= host.size()) {
    std::size_t end = host.find('.', start);
    if (end == std::string_view::npos) end = host.size();
    const std::string_view label = host.substr(start, end - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (const char c : label) {
      const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
      if (!allowed) return false;
    }
    start = end + 1;
  }
  return true;
}

bool InRange(std::uint32_t address, std::uint32_t network, int prefix) {
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return (address & mask) == network;
}

}  // namespace

VmixApiResponse::VmixApiResponse() : inputs(MakeJsonArray()) {}

void CollectVmixTextFields(const XmlElement& element, bool match_this, int depth,
                           std::vector<std::string>& names) {
  if (depth > kMaxDepth) return;
  if (match_this) {
    const std::string local = XmlLowerLocalName(element.name);
    if (local == "text" || local == "field") {
      for (const char* attribute : {"name", "selectedName", "selectedname", "title", "key"}) {
        std::string value = XmlAttributeValue(element, attribute);
        if (value.empty()) continue;
        bool seen = false;
        for (const std::string& name : names) {
          if (name == value) seen = true;
        }
        if (!seen) names.push_back(std::move(value));
        break;
      }
    }
  }
  for (const XmlElement& child : element.children) CollectVmixTextFields(child, true, depth + 1, names);
}

void CollectVmixInputs(const XmlElement& element, int depth, JsonValue& inputs) {
  if (depth > kMaxDepth) return;
  if (XmlLowerLocalName(element.name) == "input") {
    std::vector<std::string> names;
    CollectVmixTextFields(element, false, depth, names);
    std::string title = XmlAttributeValue(element, "title");
    if (title.empty()) title = XmlAttributeValue(element, "name");
    if (title.empty()) title = TrimAsciiWhitespace(element.text);
    const std::string key = XmlAttributeValue(element, "key");
    const std::string number = XmlAttributeValue(element, "number");
    const std::string type = XmlAttributeValue(element, "type");
    const std::string& value = !key.empty() ? key : (!number.empty() ? number : title);

    JsonValue input = MakeJsonObject();
    SetJsonMember(input, "number", StringOrNull(number));
    SetJsonMember(input, "key", StringOrNull(key));
    SetJsonMember(input, "title", StringOrNull(title));
    SetJsonMember(input, "type", StringOrNull(type));
    SetJsonMember(input, "value", StringOrNull(value));
    JsonValue fields = MakeJsonArray();
    for (std::string& name : names) fields.items.push_back(MakeJsonString(std::move(name)));
    SetJsonMember(input, "text_fields", std::move(fields));
    inputs.items.push_back(std::move(input));
  }
  for (const XmlElement& child : element.children) CollectVmixInputs(child, depth + 1, inputs);
}

VmixApiResponse ReadVmixApiResponse(std::string_view xml, bool require_vmix_root) {
  VmixApiResponse response;
  XmlParser parser(xml);
  XmlElement root;
  std::string error;
  if (!ParseXmlDocument(parser, root, error)) {
    response.error = "not well-formed";
    return response;
  }
  std::string version, edition, computer_name, computer;
  FindXmlElementText(root, "version", version, 1);
  FindXmlElementText(root, "edition", edition, 1);
  FindXmlElementText(root, "computername", computer_name, 1);
  FindXmlElementText(root, "computer", computer, 1);
  response.version = NonEmpty(std::move(version));
  response.edition = NonEmpty(std::move(edition));
  response.computer_name = NonEmpty(!computer_name.empty() ? std::move(computer_name) : std::move(computer));
  CollectVmixInputs(root, 1, response.inputs);
  if (require_vmix_root && (XmlLowerLocalName(root.name) != "vmix" || !response.version)) {
    response.error = "The host did not return a vMix API response";
    return response;
  }
  response.ok = true;
  return response;
}

bool ValidateVmixDiscoveryTarget(std::string_view host, std::int32_t port, std::string& message) {
  if (port < 1 || port > 65535) {
    message = "vMix port must be from 1 to 65535";
    return false;
  }
  std::size_t begin = 0;
  std::size_t end = host.size();
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (begin < end && blank(host[begin])) ++begin;
  while (end > begin && blank(host[end - 1])) --end;
  const std::string text(host.substr(begin, end - begin));
  if (text.empty() || text.size() > 253) {
    message = "vMix host is required";
    return false;
  }
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::string_view("#%/:?@[\\]").find(c) != std::string_view::npos) {
      message = "vMix host is not a valid discovery target";
      return false;
    }
  }
  // inet_aton takes every numeric form the resolver would take (octal "010.8.8.8", a single
  // number "134744072", hex parts), so none of them can pass as a host name and reach an
  // address outside the allowed ranges; only the canonical dotted quad is accepted.
  in_addr address{};
  if (inet_aton(text.c_str(), &address) != 0) {
    char canonical[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, canonical, sizeof canonical) == nullptr || text != canonical) {
      message = "vMix host is not a valid discovery target";
      return false;
    }
    const std::uint32_t value = ntohl(address.s_addr);
    const bool allowed = value != 0xA9FEA9FEu &&
                         (InRange(value, 0x7F000000u, 8) || InRange(value, 0x0A000000u, 8) ||
                          InRange(value, 0xAC100000u, 12) || InRange(value, 0xC0A80000u, 16) ||
                          InRange(value, 0xA9FE0000u, 16));
    if (!allowed) {
      message = "vMix discovery cannot target this address";
      return false;
    }
    return true;
  }
  if (!IsValidHostName(text)) {
    message = "vMix host is not a valid discovery target";
    return false;
  }
  return true;
}

}  // namespace tessvark
