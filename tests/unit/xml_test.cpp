#include "runtime/xml.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using namespace std::string_literals;

// Literals in this file are GBK bytes (-fexec-charset=GBK); u8 literals stay UTF-8.
std::string Utf8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

TEST(XmlReader, PathSelectsTheFirstChildOfEachNameAndSkipsWhatIsNotElements) {
  const std::string doc =
      "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n"
      "<!-- <update version=\"comment\"/> -->\n"
      "<!DOCTYPE update [ <!ENTITY gt2 \"a>b\"> <!-- ] --> ]>\n"
      "<update version=\"1.2\">\n"
      "  <mirror><file name=\"nested\"/></mirror>\n"
      "  <?note <file name=\"pi\"/> ?>\n"
      "  <!-- <file name=\"comment\"/> -->\n"
      "  <notes>a &amp; b, a > b <i>x</i><![CDATA[ <file name=\"cdata\"/> ]]></notes>\n"
      "  <file name=\"a.zip\" size=\"10\"/>\n"
      "  <file name=\"b.zip\"><part id=\"p1\"/></file>\n"
      "</update>\n"
      "<!-- after the root --><?done?>\n";
  rt::XmlReader xml;
  ASSERT_TRUE(xml.Load(doc));
  EXPECT_TRUE(xml.HasDocument());
  EXPECT_EQ(xml.Attribute("update", "version"), "1.2");
  EXPECT_EQ(xml.Attribute("update/file", "name"), "a.zip");
  EXPECT_EQ(xml.Attribute("update/file", "size"), "10");
  EXPECT_EQ(xml.Attribute("update/mirror/file", "name"), "nested");
  // The first <file> has no <part>; the second one's is not reached.
  EXPECT_EQ(xml.Attribute("update/file/part", "id"), "");
  // Children only, never deeper descendants; the root's name comes first.
  EXPECT_EQ(xml.Attribute("update/part", "id"), "");
  EXPECT_EQ(xml.Attribute("file", "name"), "");
  EXPECT_EQ(xml.Attribute("", "version"), "");
  EXPECT_EQ(xml.Attribute("update/", "version"), "");
  EXPECT_EQ(xml.Attribute("Update", "version"), "");
  EXPECT_EQ(xml.Attribute("update", "Version"), "");
  EXPECT_EQ(xml.Attribute("update", "missing"), "");
  EXPECT_EQ(xml.Attribute("update/file", "id"), "");
}

TEST(XmlReader, DecodesExactlyFourEntitiesInOnePass) {
  rt::XmlReader xml;
  ASSERT_TRUE(
      xml.Load("<a v=\"&lt;b&gt; &amp; &apos;c&apos;\" w=\"&quot;&#65;&#x41;&nbsp;&amp;lt;&lt &\" "
               "x = \"\"  y=\"<'>\"/>"));
  EXPECT_EQ(xml.Attribute("a", "v"), "<b> & 'c'");
  EXPECT_EQ(xml.Attribute("a", "w"), "&quot;&#65;&#x41;&nbsp;&lt;&lt &");
  EXPECT_EQ(xml.Attribute("a", "x"), "");
  EXPECT_EQ(xml.Attribute("a", "y"), "<'>");
}

TEST(XmlReader, GbkNamesAndValuesAreComparedAndReturnedAsBytes) {
  // 乗 is 81 5C ('\\' trail), 癅 B0 40 ('@'), 皘 B0 7C ('|'), 癧 B0 5B ('['): trail bytes a name
  // scanner must not treat as ASCII characters.
  const std::string gbk =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<版本 号=\"2.5\" 说明=\"下载地址：乗\" 乗=\"x\"><癅 皘=\"y\"/><癧/></版本>";
  rt::XmlReader xml;
  ASSERT_TRUE(xml.Load(gbk));
  EXPECT_EQ(xml.Attribute("版本", "号"), "2.5");
  EXPECT_EQ(xml.Attribute("版本", "说明"), "下载地址：乗");
  EXPECT_EQ(xml.Attribute("版本", "乗"), "x");
  EXPECT_EQ(xml.Attribute("版本/癅", "皘"), "y");
  EXPECT_EQ(xml.Attribute("版本/癧", "皘"), "");

  // The same document in UTF-8 parses, but the declaration converts nothing: GBK names find nothing.
  ASSERT_TRUE(xml.Load(Utf8(u8"<?xml version=\"1.0\" encoding=\"UTF-8\"?><版本 v=\"2.5\"><文件 v=\"3\"/></版本>")));
  EXPECT_EQ(xml.Attribute("版本", "v"), "");
  EXPECT_EQ(xml.Attribute("版本/文件", "v"), "");
  EXPECT_EQ(xml.Attribute(Utf8(u8"版本/文件"), "v"), "3");
}

TEST(XmlReader, MalformedDataLeavesNoDocument) {
  const std::string nginx404 =
      "<html>\r\n<head><title>404 Not Found</title></head>\r\n<body>\r\n"
      "<center><h1>404 Not Found</h1></center>\r\n<hr><center>nginx/1.22.1</center>\r\n"
      "</body>\r\n</html>\r\n";
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"empty body", ""},
      {"white space only", " \r\n\t"},
      {"declaration only", "<?xml version=\"1.0\"?>"},
      {"comment only", "<!-- <a v=\"1\"/> -->"},
      {"HTML error page", nginx404},
      {"unclosed root", "<a v=\"1\">"},
      {"unclosed child", "<a v=\"1\"><b></a>"},
      {"mismatched end tag", "<a v=\"1\"></b>"},
      {"end tag in other case", "<a v=\"1\"></A>"},
      {"end tag only", "</a>"},
      {"truncated end tag", "<a v=\"1\"><b/></a"},
      {"truncated in a value", "<a v=\"1"},
      {"truncated in a tag", "<a v=\"1\""},
      {"truncated after a lead byte", "<a v=\"1\"><\xB0"},
      {"two roots", "<a v=\"1\"/><b/>"},
      {"text after the root", "<a v=\"1\"/>x"},
      {"text before the root", "x<a v=\"1\"/>"},
      {"single-quoted value", "<a v='1'/>"},
      {"unquoted value", "<a v=1/>"},
      {"attribute without value", "<a v/>"},
      {"attributes not separated", "<a v=\"1\"w=\"2\"/>"},
      {"empty element name", "<>"},
      {"blank before the name", "< a v=\"1\"/>"},
      {"quote in a name", "<a\"b v=\"1\"/>"},
      {"lone slash in a tag", "<a v=\"1\" / >"},
      {"unterminated comment", "<a v=\"1\"><!-- </a>"},
      {"unterminated CDATA", "<a v=\"1\"><![CDATA[ </a>"},
      {"unterminated declaration", "<?xml version=\"1.0\" <a v=\"1\"/>"},
      {"CDATA outside the root", "<a v=\"1\"/><![CDATA[x]]>"},
      {"DOCTYPE inside the root", "<a v=\"1\"><!DOCTYPE a></a>"},
      {"DOCTYPE after the root", "<a v=\"1\"/><!DOCTYPE a>"},
      {"unknown markup declaration", "<a v=\"1\"><!ELEMENT a ANY></a>"},
      {"binary garbage", "\x1F\x8B\x08\x00<a v=\"1\"/>"s},
      {"JSON", "{\"a\": {\"v\": \"1\"}}"},
  };
  rt::XmlReader xml;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(xml.Load("<a v=\"held\"/>"));
    EXPECT_FALSE(xml.Load(c.data));
    EXPECT_FALSE(xml.HasDocument());
    EXPECT_EQ(xml.Attribute("a", "v"), "");
  }
}

TEST(XmlReader, NoDocumentBeforeLoadAndAfterClear) {
  rt::XmlReader xml;
  EXPECT_FALSE(xml.HasDocument());
  EXPECT_EQ(xml.Attribute("a", "v"), "");
  ASSERT_TRUE(xml.Load("<a v=\"1\"/>"));
  ASSERT_TRUE(xml.Load("<b v=\"2\"></b>"));
  EXPECT_EQ(xml.Attribute("a", "v"), "");
  EXPECT_EQ(xml.Attribute("b", "v"), "2");
  xml.Clear();
  EXPECT_FALSE(xml.HasDocument());
  EXPECT_EQ(xml.Attribute("b", "v"), "");
}

// A recursive parser overflows the stack here and a quadratic one takes minutes.
TEST(XmlReader, DeepAndWideDocumentsStayCheap) {
  constexpr int kDepth = 200000;
  std::string deep, path = "a";
  for (int i = 0; i < kDepth; ++i) deep += "<a>";
  deep += "<b v=\"bottom\"/>";
  for (int i = 0; i < kDepth; ++i) deep += "</a>";
  for (int i = 1; i < kDepth; ++i) path += "/a";
  rt::XmlReader xml;
  ASSERT_TRUE(xml.Load(deep));
  EXPECT_EQ(xml.Attribute(path + "/b", "v"), "bottom");
  EXPECT_FALSE(xml.Load(deep.substr(0, deep.size() - 4)));

  constexpr int kWidth = 200000;
  std::string wide = "<list>";
  for (int i = 0; i < kWidth; ++i) wide += "<item v=\"" + std::to_string(i) + "\"/>";
  wide += "<last v=\"end\"/></list>";
  ASSERT_TRUE(xml.Load(wide));
  EXPECT_EQ(xml.Attribute("list/item", "v"), "0");
  EXPECT_EQ(xml.Attribute("list/last", "v"), "end");
}

}  // namespace
