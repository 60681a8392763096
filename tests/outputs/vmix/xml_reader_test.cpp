#include <gtest/gtest.h>

#include <string>

#include "outputs/vmix/xml_reader.h"

namespace tessvark {
namespace {

bool Parses(const std::string& text, XmlElement* root_out = nullptr) {
  XmlParser parser(text);
  XmlElement root;
  std::string error;
  const bool ok = ParseXmlDocument(parser, root, error);
  if (!ok) {
    EXPECT_EQ(error, "not well-formed");
  }
  if (root_out != nullptr) *root_out = std::move(root);
  return ok;
}

std::string Nested(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "<a>";
  for (int i = 0; i < levels; ++i) text += "</a>";
  return text;
}

std::string EmptyElement(std::size_t name_length) {
  std::string text(1, '<');
  text.append(name_length, 'n');
  return text + "/>";
}

std::string WithAttributes(int count) {
  std::string text = "<a";
  for (int i = 0; i < count; ++i) text += " n" + std::to_string(i) + "=\"v\"";
  return text + "/>";
}

TEST(XmlReader, AcceptsAndRefusesDocuments) {
  const struct {
    const char* name;
    std::string text;
    bool ok;
  } cases[] = {
      {"empty", "", false},
      {"bom, declaration, comment", "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- hi --><vmix/>", true},
      {"second declaration", "<?xml version=\"1.0\"?><?xml version=\"1.0\"?><vmix/>", false},
      {"doctype", "<!DOCTYPE vmix><vmix/>", false},
      {"cdata inside", "<vmix><![CDATA[x]]></vmix>", false},
      {"comment inside", "<vmix><!-- x --></vmix>", false},
      {"self-closing comment", "<!--><vmix/>", true},
      {"32 levels", Nested(32), true},
      {"33 levels", Nested(33), false},
      {"128 attributes", WithAttributes(128), true},
      {"129 attributes", WithAttributes(129), false},
      {"name of 256 bytes", EmptyElement(256), true},
      {"name of 257 bytes", EmptyElement(257), false},
      {"attribute value of 16384 bytes", "<a v=\"" + std::string(16384, 'x') + "\"/>", true},
      {"attribute value of 16386 bytes", "<a v=\"" + std::string(16386, 'x') + "\"/>", false},
      {"text after root", "<vmix/>x", false},
      {"space and comment after root", "<vmix/> <!-- end -->\n", true},
      {"end tag with blank", "<vmix></vmix >", true},
      {"end tag in other case", "<vmix></VMIX>", false},
      {"blank between slash and bracket", "<vmix / >", false},
      {"namespaces in braces", "<{urn:x}vmix></{urn:y}vmix>", true},
      {"single-quoted attribute with <", "<a b='<'/>", true},
      {"attributes without blank between", "<a b=\"1\"c=\"2\"/>", true},
      {"missing closing quote", "<a b=\"1/>", false},
      {"stray end tag", "</a>", false},
      {"unclosed", "<a>text", false},
      {"invalid UTF-8", "<a>\xC0\xAF</a>", false},
      {"surrogate in UTF-8", "<a>\xED\xA0\x80</a>", false},
      {"cut UTF-8", "<a/>\xE2\x82", false},
      {"above U+10FFFF", "<a>\xF4\x90\x80\x80</a>", false},
      {"four-byte UTF-8", "<a>\xF0\x9F\x8F\x92</a>", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parses(c.text), c.ok);
  }
}

TEST(XmlReader, DocumentSizeLimitIsOneMebibyte) {
  // Each element's text is capped, so the padding is spread over children.
  std::string exact = "<a>";
  while (exact.size() + 60007 + 4 <= 1048576) exact += "<b>" + std::string(60000, ' ') + "</b>";
  exact += "<c>" + std::string(1048576 - 4 - 7 - exact.size(), ' ') + "</c></a>";
  ASSERT_EQ(exact.size(), 1048576u);
  EXPECT_TRUE(Parses(exact));
  EXPECT_FALSE(Parses(exact + " "));
}

TEST(XmlReader, TextRunsAndEntities) {
  XmlElement root;
  ASSERT_TRUE(Parses("<r>a<c/>b &amp;lt; &#65; &#x1F3D2; &quot;&apos;&gt;</r>", &root));
  EXPECT_EQ(root.text, "ab &lt; &#65; &#x1F3D2; \"'>");
  ASSERT_EQ(root.children.size(), 1u);

  const struct {
    const char* name;
    std::string text;
  } refused[] = {
      {"NUL reference", "<r>&#0;</r>"},
      {"surrogate reference", "<r>&#xD800;</r>"},
      {"beyond Unicode", "<r>&#x110000;</r>"},
      {"entity in capitals", "<r>&AMP;</r>"},
      {"unknown entity", "<r>&nbsp;</r>"},
      {"no digits", "<r>&#x;</r>"},
      {"no semicolon within 32 bytes", "<r>&" + std::string(32, 'a') + ";</r>"},
      {"bare ampersand", "<r>a & b</r>"},
      {"bad attribute entity", "<r a=\"&foo;\"/>"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Parses(c.text));
  }
}

TEST(XmlReader, NamesAndLookups) {
  XmlElement root;
  ASSERT_TRUE(Parses("<{urn:x}Vmix title=\"\" title=\"X\" Title=\"Y\"><v:vmix/>"
                     "<version>  </version><Version><inner><version> 27 </version></inner></Version>"
                     "<version>28</version></{urn:x}Vmix>",
                     &root));
  EXPECT_EQ(root.name, "Vmix");
  EXPECT_EQ(XmlLowerLocalName(root.name), "vmix");
  EXPECT_EQ(root.children[0].name, "v:vmix");
  EXPECT_EQ(XmlLowerLocalName("{a}v:VMIX"), "v:vmix");
  EXPECT_EQ(XmlAttributeValue(root, "title"), "X");
  EXPECT_EQ(XmlAttributeValue(root, "missing"), "");
  std::string version;
  FindXmlElementText(root, "version", version, 1);
  EXPECT_EQ(version, "27");
  std::string none;
  FindXmlElementText(root, "edition", none, 1);
  EXPECT_EQ(none, "");
}

TEST(XmlReader, ElementCountIsLimited) {
  std::string text = "<r>";
  for (int i = 0; i < 65535; ++i) text += "<b/>";
  EXPECT_TRUE(Parses(text + "</r>"));
  EXPECT_FALSE(Parses(text + "<b/></r>"));
}

}  // namespace
}  // namespace tessvark
