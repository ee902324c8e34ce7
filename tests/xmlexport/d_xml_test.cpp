// The element writers and the parameter split, byte for byte.
#include "xmlexport/d_xml.h"

#include <gtest/gtest.h>

#include "tests/xmlexport/table_source.h"

namespace {

TEST(DXml, XmlElementWritesTheValueAsCharacterData) {
  const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
      {"id", "Desk", "<id>Desk</id>"},
      {"version", "2.6.1", "<version>2.6.1</version>"},
      {"a", "b=c", "<a>b=c</a>"},
      // An empty value used to leave the tag open.
      {"flag", "", "<flag></flag>"},
      {"v", "R&D <new>", "<v>R&amp;D &lt;new&gt;</v>"},
      {"v", "line1\r\nline2\ttab", "<v>line1\r\nline2\ttab</v>"},
      {"v", "x]]>y", "<v>x]]&gt;y</v>"},
      // Markup of a value's own is text: no value adds, closes or reopens an element.
      {"vendor", "a</vendor><evil>pwn</evil><vendor>b",
       "<vendor>a&lt;/vendor&gt;&lt;evil&gt;pwn&lt;/evil&gt;&lt;vendor&gt;b</vendor>"},
      {"v", "<b>bold</b>", "<v>&lt;b&gt;bold&lt;/b&gt;</v>"},
      {"v", "<!-- c --><![CDATA[x]]>", "<v>&lt;!-- c --&gt;&lt;![CDATA[x]]&gt;</v>"},
      // A reference the document resolves stays; any other '&' is text.
      {"v", "&amp;&lt;&gt;&quot;&apos;&#65;&#x41;&#x10FFFF;",
       "<v>&amp;&lt;&gt;&quot;&apos;&#65;&#x41;&#x10FFFF;</v>"},
      {"v", "&nbsp; &#0; &#xD800; &#X41; &#x; &#99999999999; &amp &;",
       "<v>&amp;nbsp; &amp;#0; &amp;#xD800; &amp;#X41; &amp;#x; &amp;#99999999999; &amp;amp "
       "&amp;;</v>"},
      {"v", "&&amp;", "<v>&amp;&amp;</v>"},
      // Text no document can hold becomes U+FFFD.
      {"v",
       "a\x01"
       "b\xFF"
       "c",
       "<v>a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"
       "c</v>"},
      {"v", "\xC3\xA9t\xC3\xA9", "<v>\xC3\xA9t\xC3\xA9</v>"},
      // Markup and references next to multi-byte and bad text, and at either end of the value.
      {"v", "<\xC3\xA9>\xC3\xA9&", "<v>&lt;\xC3\xA9&gt;\xC3\xA9&amp;</v>"},
      {"v", "\xFF<\x01&amp;\xFF>", "<v>\xEF\xBF\xBD&lt;\xEF\xBF\xBD&amp;\xEF\xBF\xBD&gt;</v>"},
      {"v", "&amp\xFF;&#233;\xE2\x82\xAC&lt;",
       "<v>&amp;amp\xEF\xBF\xBD;&#233;\xE2\x82\xAC&lt;</v>"},
      {"v", "&lt;", "<v>&lt;</v>"},
  };
  for (const auto& [name, value, expected] : cases) {
    EXPECT_EQ(XmlElement(name, value), expected) << value;
  }
}

TEST(DXml, XmlUrlParamSpansFourLines) {
  EXPECT_EQ(XmlUrlParam("TC.view", "list"),
            "<url-param>\r\n\t\t<param-key>TC.view</param-key>\r\n"
            "\t\t<param-value>list</param-value>\r\n\t</url-param>");
  EXPECT_EQ(XmlUrlParam("TC.x", ""),
            "<url-param>\r\n\t\t<param-key>TC.x</param-key>\r\n"
            "\t\t<param-value></param-value>\r\n\t</url-param>");
  EXPECT_EQ(XmlUrlParam("my key", "a<b"),
            "<url-param>\r\n\t\t<param-key>my key</param-key>\r\n"
            "\t\t<param-value>a&lt;b</param-value>\r\n\t</url-param>");
}

std::string Url(std::string_view key, std::string_view value) {
  return "\t" + XmlUrlParam(key, value);
}

TEST(DXml, ParametersSplitIntoElementsAndUrlParams) {
  struct Case {
    std::vector<std::string> values;
    std::string expected;
  };
  const Case cases[] = {
      {{"mode=edit;TC.view=list"}, "\t<mode>edit</mode>\r\n" + Url("TC.view", "list")},
      {{"a=1;TC.b=2"}, "\t<a>1</a>\r\n" + Url("TC.b", "2")},
      {{"a=b=c"}, "\t<a>b=c</a>"},
      {{"flag"}, "\t<flag></flag>"},
      {{"tc.x=1"}, "\t<tc.x>1</tc.x>"},
      {{"TC.x="}, Url("TC.x", "")},
      {{"objectTypeName=User;eDirMinVersion=8.7;eDir"},
       Url("objectTypeName", "User") + "\r\n" + Url("eDirMinVersion", "8.7") + "\r\n" +
           Url("eDir", "")},
      {{"objectTypename=x"}, "\t<objectTypename>x</objectTypename>"},
      {{";;a=1;"}, "\t<a>1</a>"},
      {{"a=1;=x"}, "\t<a>1</a>"},
      {{"=x;a=1"}, "\t<a>1</a>"},
      {{";"}, ""},
      {{""}, ""},
      // Values are joined by CR LF before the split, so the break lands inside a pair.
      {{"a=1", "b=2"}, "\t<a>1\r\nb=2</a>"},
      {{"a=1;", "b=2"}, "\t<a>1</a>\r\n" + Url("\r\nb", "2")},
      {{"a=x\r\ny;b=2"}, "\t<a>x\r\ny</a>\r\n\t<b>2</b>"},
      // A key that cannot be an element's name goes in as a url-param.
      {{"my key=1;a<b=2;1st=3"},
       Url("my key", "1") + "\r\n" + Url("a<b", "2") + "\r\n" + Url("1st", "3")},
      {{"a=R&D"}, "\t<a>R&amp;D</a>"},
      // A ':' would make a namespace prefix; a key outside the Name characters is no name.
      {{"x:y=1;a\xC3\x97"
        "b=2;\xC3\xA9t\xC3\xA9=3"},
       Url("x:y", "1") + "\r\n" +
           Url("a\xC3\x97"
               "b",
               "2") +
           "\r\n\t<\xC3\xA9t\xC3\xA9>3</\xC3\xA9t\xC3\xA9>"},
      // The document's own element names are no keys' (matched as XML does, case and all).
      {{"id=Fake;role-assignment=Admin;url-param=y;ID=1"},
       Url("id", "Fake") + "\r\n" + Url("role-assignment", "Admin") + "\r\n" +
           Url("url-param", "y") + "\r\n\t<ID>1</ID>"},
      // Names of the newer rules only, which expat refuses: U+1F600, U+203F.
      {{"\xF0\x9F\x98\x80=1;x\xE2\x80\xBF=2"},
       Url("\xF0\x9F\x98\x80", "1") + "\r\n" + Url("x\xE2\x80\xBF", "2")},
  };
  for (const Case& c : cases) {
    TableAttributeSource source;
    source.Set("X.Cfg", "rbsParameters", c.values);
    EXPECT_EQ(ParametersToXml(source, "X.Cfg", "rbsParameters"), c.expected) << c.values.front();
  }
}

TEST(DXml, ParametersNameTheFirstBadTextByItsOffsetInTheAttribute) {
  struct Case {
    std::vector<std::string> values;
    std::optional<size_t> offset;
  };
  const Case cases[] = {
      {{"a=1;b=2"}, std::nullopt},
      {{"a=1;b=x\x02"}, 7},
      {{"a=1;k\xFF=2;c=\x01"}, 5},
      {{"a=1", "b=\xC3"}, 7},  // after the CR LF that joins the values
      // A pair without a key is not written, so its bytes do not count.
      {{"=\x01;a=1"}, std::nullopt},
  };
  for (const Case& c : cases) {
    TableAttributeSource source;
    source.Set("X", "rbsParameters", c.values);
    std::optional<XmlBadText> bad;
    static_cast<void>(ParametersToXml(source, "X", "rbsParameters", bad));
    ASSERT_EQ(bad.has_value(), c.offset.has_value()) << c.values.back();
    if (bad) {
      EXPECT_EQ(bad->offset, *c.offset) << c.values.back();
    }
  }
}

TEST(DXml, ParametersOfAnUnreadableAttributeAreEmpty) {
  TableAttributeSource source;
  source.Set("X.Cfg", "rbsParameters", {"a=1"});
  EXPECT_EQ(ParametersToXml(source, "Y.Cfg", "rbsParameters"), "");
  EXPECT_EQ(ParametersToXml(source, "X.Cfg", "rbsOther"), "");
}

}  // namespace
