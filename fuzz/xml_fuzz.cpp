// Any byte string must be read as one element tree or refused with "not well-formed"; a crash,
// hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "outputs/vmix/xml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  tessvark::XmlParser parser(document);
  tessvark::XmlElement root;
  std::string error;
  if (!tessvark::ParseXmlDocument(parser, root, error)) {
    if (error != "not well-formed") std::abort();
    return 0;
  }
  std::string version;
  tessvark::FindXmlElementText(root, "version", version, 0);
  std::string decoded;
  tessvark::DecodeXmlText(document, decoded);
  return 0;
}
