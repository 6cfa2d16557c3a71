#include "foundation/xml/bounded_xml.h"

#include <gtest/gtest.h>

#include <string>

namespace quol {
namespace {

std::string Nested(int levels, const std::string& inner = "") {
  std::string text;
  for (int i = 0; i < levels; ++i) text += "<a>";
  text += inner;
  for (int i = 0; i < levels; ++i) text += "</a>";
  return text;
}

TEST(BoundedXmlTest, DepthDecidesWhetherADocumentIsAccepted) {
  struct Case {
    const char* what;
    std::string body;
    HRESULT expected;
    const char* reason;  // fragment of the error, when refused
  };
  const Case cases[] = {
      {"our own shape", "<quol><general><k>v</k></general></quol>", S_OK, ""},
      {"exactly the limit", Nested(kMaxXmlDepth, "x"), S_OK, ""},
      {"one level too deep", Nested(kMaxXmlDepth + 1), E_BAD_FORMAT, "nesting deeper than 64"},
      {"far too deep for any recursion", Nested(200000), E_BAD_FORMAT, "nesting deeper than 64"},
      {"deep but unclosed", std::string(300000, '<').replace(0, 1, "<a>"), E_BAD_FORMAT,
       "at offset"},
      {"broken markup", "<quol><general></quol>", E_BAD_FORMAT, "at offset"},
      {"no element at all", "   ", S_OK, ""},
  };
  for (const Case& c : cases) {
    pugi::xml_document document;
    document.load_string("<stale/>");
    std::string error;
    EXPECT_EQ(ParseBoundedXml(c.body, &document, &error), c.expected) << c.what;
    if (c.expected == S_OK) {
      EXPECT_TRUE(error.empty()) << c.what;
    } else {
      EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
      EXPECT_FALSE(document.first_child()) << c.what << ": a refused document is left empty";
    }
  }
}

TEST(BoundedXmlTest, ACallerMayAskForAShallowerLimit) {
  pugi::xml_document document;
  std::string error;
  EXPECT_EQ(ParseBoundedXml(Nested(5), &document, &error, 5), S_OK);
  EXPECT_EQ(ParseBoundedXml(Nested(6), &document, &error, 5), E_BAD_FORMAT);
  EXPECT_EQ(error, "nesting deeper than 5 levels");
}

TEST(BoundedXmlTest, DepthAndTextWalksFollowDocumentOrder) {
  struct Case {
    const char* xml;
    int depth;          // below the document node
    const char* text;   // all text of the document element
  };
  const Case cases[] = {
      {"<r/>", 1, ""},
      {"<r>a<b>b<c>c</c>d</b><e><![CDATA[<e>]]></e>f</r>", 3, "abcd<e>f"},
      {"<r><x><y><z/></y></x><w>1</w></r>", 4, "1"},
      {"<r><x/><x/><x>last</x></r>", 2, "last"},
  };
  for (const Case& c : cases) {
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(c.xml)) << c.xml;
    EXPECT_EQ(XmlNestingDepth(document), c.depth) << c.xml;
    EXPECT_EQ(XmlInnerText(document.document_element()), c.text) << c.xml;
  }
}

TEST(BoundedXmlTest, DeepTextIsCollectedWithoutRecursion) {
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string(Nested(300000, "core").c_str()));
  EXPECT_EQ(XmlNestingDepth(document), 300000);
  EXPECT_EQ(XmlInnerText(document.document_element()), "core");
}

TEST(BoundedXmlTest, FlatOutputGrowsLinearlyWithDepth) {
  pugi::xml_document document;
  const std::string body = Nested(kMaxXmlDepth, "x");
  std::string error;
  ASSERT_EQ(ParseBoundedXml(body, &document, &error), S_OK);
  const std::string flat = SaveXmlFlat(document);
  EXPECT_LE(flat.size(), body.size() + 64);
  pugi::xml_document again;
  ASSERT_EQ(ParseBoundedXml(flat, &again, &error), S_OK) << error;
  EXPECT_EQ(XmlInnerText(again.document_element()), "x");
}

}  // namespace
}  // namespace quol
