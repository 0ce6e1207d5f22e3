#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "Platform.h"
#include "XmlDocument.h"
#include "XmlSyntax.h"
#include "XmlTables.h"

namespace {

std::string U8(std::u16string_view s) { return plat::ToUtf8(s); }

bool Has(const XmlDocument& doc, std::u16string_view fragment) {
  return doc.GetResult().find(fragment) != std::u16string::npos;
}

std::u16string Name(const XmlDocument& doc) {
  const ElementRecord* r = doc.GetElement(doc.GetCurrentIndex());
  std::u16string name;
  for (size_t i = r->start + 1; i < doc.GetDoc().size(); ++i) {
    const char16_t c = doc.GetDoc()[i];
    if (c == u' ' || c == u'/' || c == u'>') break;
    name += c;
  }
  return name;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/xml_test.XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::u16string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << bytes;
    return plat::FromUtf8(file);
  }

 private:
  std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Navigation

constexpr char kSiblings[] =
    "<?xml version=\"1.0\"?>\n<root>\n"
    "  <x id=\"1\"/> text <!-- comment --> <?pi data?>\n"
    "  <y id=\"2\"><c id=\"c1\"/><c id=\"c2\"/></y>\n"
    "  <![CDATA[<x id=\"cdata\"/>]]>\n"
    "  <z id=\"3\"/>\n"
    "</root>\n";

TEST(XmlNavigation, SiblingSearchNeverGoesBack) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kSiblings));
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindNextElement(u"root"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindNextElement(u"y"));
  EXPECT_FALSE(doc.FindNextElement(u"x"));
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindNextElement(u"x"));
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"1");
  // The x inside the CDATA section is no element.
  EXPECT_FALSE(doc.FindNextElement(u"x"));
}

TEST(XmlNavigation, FailedSearchDoesNotMove) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kSiblings));
  ASSERT_TRUE(doc.FindNextElement(u"root"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindNextElement(u"x"));
  const uint32_t parent = doc.GetParentIndex();
  const uint32_t current = doc.GetCurrentIndex();
  EXPECT_FALSE(doc.FindNextElement(u"missing"));
  EXPECT_EQ(doc.GetParentIndex(), parent);
  EXPECT_EQ(doc.GetCurrentIndex(), current);
  // The next search still starts right after x.
  ASSERT_TRUE(doc.FindNextElement(u"y"));
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"2");
}

TEST(XmlNavigation, EmptyNameStepsToAnyElement) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kSiblings));
  ASSERT_TRUE(doc.FindNextElement(u""));
  ASSERT_TRUE(doc.EnterElement());
  std::u16string ids;
  while (doc.FindNextElement(u"")) ids += doc.ReadAttribute(u"id");
  EXPECT_EQ(ids, u"123");
}

TEST(XmlNavigation, EnterAndLeaveRestoreTheCursor) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kSiblings));
  doc.RewindLevel();
  EXPECT_FALSE(doc.EnterElement());  // no current element
  EXPECT_FALSE(doc.LeaveElement());  // top level
  ASSERT_TRUE(doc.FindNextElement(u"root"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindNextElement(u"y"));
  const uint32_t y = doc.GetCurrentIndex();
  ASSERT_TRUE(doc.EnterElement());
  std::u16string ids;
  while (doc.FindNextElement(u"c")) ids += doc.ReadAttribute(u"id");
  EXPECT_EQ(ids, u"c1c2");
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(doc.GetCurrentIndex(), y);
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"2");
  ASSERT_TRUE(doc.FindNextElement(u""));
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"3");
  // Entering again resumes at the remembered child.
  ASSERT_TRUE(doc.LeaveElement());
  EXPECT_EQ(Name(doc), u"root");
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"3");
  EXPECT_FALSE(doc.FindNextElement(u""));
}

TEST(XmlNavigation, NamesMatchWholeAndExactly) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(
      "<d><partitions n=\"plural\"/><partition n=\"one\"/><Partition n=\"cap\"/></d>"));
  ASSERT_TRUE(doc.FindNextElement(u"d"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindNextElement(u"partition"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"one");
  EXPECT_FALSE(doc.FindNextElement(u"partition"));
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindNextElement(u"partitions"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"plural");
  ASSERT_TRUE(doc.FindNextElement(u"Partition"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"cap");
  doc.RewindLevel();
  EXPECT_FALSE(doc.FindNextElement(u"PARTITION"));
  EXPECT_FALSE(doc.FindNextElement(u"part"));
  EXPECT_FALSE(doc.FindNextElement(u"/d/partition"));  // paths are not supported
  // The argument may go on after the name with a character of the path syntax.
  ASSERT_TRUE(doc.FindNextElement(u"partition[1]"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"one");
  // Attribute names follow the same rule.
  EXPECT_EQ(doc.ReadAttribute(u"N"), u"");
  EXPECT_EQ(doc.ReadAttribute(u"nn"), u"");
}

TEST(XmlNavigation, RefusedBeforeLoading) {
  XmlDocument doc;
  EXPECT_FALSE(doc.FindNextElement(u""));
  EXPECT_FALSE(doc.EnterElement());
  EXPECT_FALSE(doc.LeaveElement());
  EXPECT_EQ(doc.ReadAttribute(u"a"), u"");
}

// ---------------------------------------------------------------------------------------------
// Attributes and references

std::u16string Attribute(const std::string& element, const std::u16string& name) {
  XmlDocument doc;
  EXPECT_TRUE(doc.LoadFromBytes(element)) << element;
  EXPECT_TRUE(doc.FindNextElement(u""));
  return doc.ReadAttribute(name);
}

TEST(XmlAttributes, SyntaxAsXmlAllows) {
  EXPECT_EQ(Attribute("<a v=\"x 'y'\"/>", u"v"), u"x 'y'");
  EXPECT_EQ(Attribute("<a v='x \"y\"'/>", u"v"), u"x \"y\"");
  EXPECT_EQ(Attribute("<a\n  v \t=\r\n 'spaced' w=\"2\"/>", u"v"), u"spaced");
  EXPECT_EQ(Attribute("<a\n  v \t=\r\n 'spaced' w=\"2\"/>", u"w"), u"2");
  EXPECT_EQ(Attribute("<a v=\"1>2\" w='3'></a>", u"w"), u"3");
  EXPECT_EQ(Attribute("<a flag v=unquoted/>", u"v"), u"unquoted");
  EXPECT_EQ(Attribute("<a flag v=unquoted/>", u"flag"), u"");
  EXPECT_EQ(Attribute("<a v=\"\"/>", u"v"), u"");
  EXPECT_EQ(Attribute("<a name=\"1\" names=\"2\"/>", u"names"), u"2");
  EXPECT_EQ(Attribute("<a names=\"2\" name=\"1\"/>", u"name"), u"1");
  EXPECT_EQ(Attribute("<a v=\"first\" v=\"second\"/>", u"v"), u"first");
  EXPECT_EQ(Attribute("<a v=\"1\"/>", u"missing"), u"");
  // Text after the start tag is not scanned.
  EXPECT_EQ(Attribute("<a>w=\"no\"</a>", u"w"), u"");
}

TEST(XmlAttributes, References) {
  EXPECT_EQ(Attribute("<a v=\"&amp;&lt;&gt;&quot;&apos;\"/>", u"v"), u"&<>\"'");
  EXPECT_EQ(Attribute("<a v='&#65;&#x41;&#X41;&#0065;'/>", u"v"), u"AAAA");
  EXPECT_EQ(Attribute("<a v='&#x1F600;|&#128512;'/>", u"v"), u"\xD83D\xDE00|\xD83D\xDE00");
  EXPECT_EQ(Attribute("<a v='&nbsp;&copy;&euro;&hellip;&Omega;&omega;'/>", u"v"),
            u"\u00A0\u00A9\u20AC\u2026\u03A9\u03C9");
  // Left as written: unknown names, zero, lone surrogates, beyond Unicode, no ';' within
  // nine characters, non-ASCII in the name, bad digits, an empty name.
  EXPECT_EQ(Attribute("<a v='&bogus;&#0;&#xD800;&#x110000;'/>", u"v"),
            u"&bogus;&#0;&#xD800;&#x110000;");
  EXPECT_EQ(Attribute("<a v='&thetasymx; &thetasym;'/>", u"v"), u"&thetasymx; \u03D1");
  EXPECT_EQ(Attribute("<a v='&amp &\u00e9; &#12a; &; &#; &#x;'/>", u"v"),
            u"&amp &\u00e9; &#12a; &; &#; &#x;");
  // After an undecoded '&' decoding goes on with the next character.
  EXPECT_EQ(Attribute("<a v='&&amp;'/>", u"v"), u"&&");
  EXPECT_EQ(Attribute("<a v='&abcdefghi&lt;'/>", u"v"), u"&abcdefghi<");
}

TEST(XmlAttributes, CaseTwinsDecodeAsHtmlDoes) {
  EXPECT_EQ(Attribute("<a v='&Auml;&auml;&rArr;&rarr;&Prime;&prime;&ETH;&eth;'/>", u"v"),
            u"\u00C4\u00E4\u21D2\u2192\u2033\u2032\u00D0\u00F0");
  // Names without a twin are found in any case; the other spellings of a twin take the
  // capitalised entry.
  EXPECT_EQ(Attribute("<a v='&AMP;&Lt;&NBSP;&AUML;&RARR;'/>", u"v"), u"&<\u00A0\u00C4\u21D2");
}

// ---------------------------------------------------------------------------------------------
// Index layout

TEST(XmlIndex, RecordLayout) {
  XmlDocument doc;
  const std::string text = "<r><a x='1'>t</a  ><b/><c></c></r>";
  ASSERT_TRUE(doc.LoadFromBytes(text));
  ASSERT_EQ(doc.GetElementCount(), 5u);
  const ElementRecord* d = doc.GetElement(0);
  EXPECT_EQ(d->length, text.size());
  EXPECT_EQ(d->firstChild, 1u);
  EXPECT_EQ(d->flagsAndLevel, 0u);
  const ElementRecord* r = doc.GetElement(1);
  EXPECT_EQ(r->start, 0u);
  EXPECT_EQ(r->length, text.size());
  EXPECT_EQ(r->tagLengths, 3u | (4u << 22));
  EXPECT_EQ(r->flagsAndLevel, 1u | XmlDocument::kFirstChild);
  EXPECT_EQ(r->firstChild, 2u);
  const ElementRecord* a = doc.GetElement(2);
  EXPECT_EQ(a->start, 3u);
  EXPECT_EQ(a->length, 16u);
  EXPECT_EQ(a->tagLengths, 9u | (6u << 22));
  EXPECT_EQ(a->flagsAndLevel, 2u | XmlDocument::kFirstChild);
  EXPECT_EQ(a->parent, 1u);
  EXPECT_EQ(a->next, 3u);
  EXPECT_EQ(a->previous, 4u);  // first child: the last sibling
  const ElementRecord* b = doc.GetElement(3);
  EXPECT_EQ(b->length, 4u);
  EXPECT_EQ(b->tagLengths, 4u);
  EXPECT_EQ(b->flagsAndLevel, 2u);
  EXPECT_EQ(b->previous, 2u);
  EXPECT_EQ(b->next, 4u);
  EXPECT_EQ(doc.GetElement(4)->next, 0u);
  EXPECT_EQ(doc.GetElement(5), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Lenient parsing

TEST(XmlLenient, StrayEndTag) {
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes("<a><b n='1'/></zz><c n='2'/></a>"));
  EXPECT_TRUE(Has(doc, u"<lone_end_tag tagname=\"zz\" offset=\"13\"/>")) << U8(doc.GetResult());
  EXPECT_TRUE(doc.GetElement(0)->flagsAndLevel & XmlDocument::kDocNotWellFormed);
  EXPECT_TRUE(doc.GetElement(1)->flagsAndLevel & XmlDocument::kIllFormedInside);
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  ASSERT_TRUE(doc.EnterElement());
  ASSERT_TRUE(doc.FindNextElement(u"b"));
  ASSERT_TRUE(doc.FindNextElement(u"c"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"2");
}

TEST(XmlLenient, UnendedStartTagHandsItsChildrenToItsParent) {
  XmlDocument doc;
  const std::string text = "<a><b n='b'><c n='c'/><d n='d'/></a>";
  EXPECT_FALSE(doc.LoadFromBytes(text));
  EXPECT_TRUE(Has(doc, u"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"32\"/>"))
      << U8(doc.GetResult());
  const ElementRecord* b = doc.GetElement(2);
  EXPECT_TRUE(b->flagsAndLevel & XmlDocument::kUnended);
  EXPECT_EQ(b->length, 9u);
  EXPECT_EQ(b->firstChild, 0u);
  EXPECT_EQ(doc.GetElement(1)->length, text.size());
  EXPECT_TRUE(doc.GetElement(1)->flagsAndLevel & XmlDocument::kIllFormedInside);
  const ElementRecord* c = doc.GetElement(3);
  EXPECT_EQ(c->parent, 1u);
  EXPECT_EQ(c->flagsAndLevel, 2u);  // no longer a first child
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  ASSERT_TRUE(doc.EnterElement());
  std::u16string names;
  while (doc.FindNextElement(u"")) names += doc.ReadAttribute(u"n");
  EXPECT_EQ(names, u"bcd");
}

TEST(XmlLenient, UnendedAtTheEndOfTheText) {
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes("<a><b><c/>"));
  EXPECT_TRUE(Has(doc, u"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"10\"/>"
                       u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"10\"/>"))
      << U8(doc.GetResult());
  // Everything ends up at the top level.
  EXPECT_TRUE(Has(doc, u"<root_has_sibling tagname=\"b\" offset=\"3\"/>"));
  std::u16string names;
  while (doc.FindNextElement(u"")) names += Name(doc);
  EXPECT_EQ(names, u"abc");
}

TEST(XmlLenient, ReattachedSubtreesTakeTheirNewLevelsAllTheWayDown) {
  XmlDocument doc;
  // b is never ended: c moves up to a, and d and e, below c, move up with it.
  EXPECT_FALSE(doc.LoadFromBytes("<r><a><b><c><d><e/></d></c></a></r>"));
  const uint32_t expected[] = {0, 1, 2, 3, 3, 4, 5};
  for (uint32_t i = 1; i < doc.GetElementCount(); ++i) {
    EXPECT_EQ(doc.GetElement(i)->flagsAndLevel & XmlDocument::kLevelMask, expected[i]) << i;
  }
}

TEST(XmlLenient, NestedUnendedElementsFlattenInOrder) {
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes("<r><a><x/><b><y/><c><z/></r>"));
  ASSERT_TRUE(doc.FindNextElement(u"r"));
  ASSERT_TRUE(doc.EnterElement());
  std::u16string names;
  while (doc.FindNextElement(u"")) {
    names += Name(doc);
    EXPECT_EQ(doc.GetElement(doc.GetCurrentIndex())->parent, 1u);
    EXPECT_EQ(doc.GetElement(doc.GetCurrentIndex())->firstChild, 0u);
  }
  EXPECT_EQ(names, u"axbycz");
}

TEST(XmlLenient, RootProblems) {
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes(""));
  EXPECT_TRUE(Has(doc, u"<no_root_element/>"));
  EXPECT_FALSE(doc.LoadFromBytes("just text <!-- and a comment -->"));
  EXPECT_TRUE(Has(doc, u"<no_root_element/>"));
  EXPECT_FALSE(doc.FindNextElement(u""));
  EXPECT_FALSE(doc.LoadFromBytes("<a/>\n<b/>"));
  EXPECT_TRUE(Has(doc, u"<root_has_sibling tagname=\"b\" offset=\"5\"/>")) << U8(doc.GetResult());
  ASSERT_TRUE(doc.FindNextElement(u"b"));
}

TEST(XmlLenient, UnterminatedNodes) {
  const struct {
    const char* text;
    const char16_t* entry;
  } cases[] = {
      {"<a></a><b x='1'", u"<unterminated_tag_syntax type=\"start_tag\" offset=\"7\"/>"},
      {"<a></a", u"<unterminated_tag_syntax type=\"end_tag\" offset=\"3\"/>"},
      {"<a/><![CDATA[ x", u"<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>"},
      {"<a/><![CD", u"<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>"},
      {"<a/><?pi x", u"<unterminated_tag_syntax type=\"processing_instruction\" offset=\"4\"/>"},
      {"<a/><!-- x --", u"<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>"},
      {"<a/><!DOCTYPE a [ <!ENTITY x '>'> ",
       u"<unterminated_tag_syntax type=\"document_type\" offset=\"4\"/>"},
      {"<a/><", u"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>"},
      {"<a/><!", u"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>"},
  };
  for (const auto& c : cases) {
    XmlDocument doc;
    EXPECT_FALSE(doc.LoadFromBytes(c.text)) << c.text;
    EXPECT_TRUE(Has(doc, c.entry)) << c.text << " -> " << U8(doc.GetResult());
    EXPECT_TRUE(doc.FindNextElement(u"a")) << c.text;
  }
}

TEST(XmlLenient, SyntaxErrors) {
  const struct {
    const char* text;
    const char16_t* entry;
  } cases[] = {
      {"<a>< b/></a>", u"<first_tag_syntax offset=\"3\"/>"},
      {"<a><1/></a>", u"<first_tag_syntax offset=\"3\"/>"},
      {"<a><!ELEMENT x></a>", u"<exclamation_tag_syntax offset=\"3\"/>"},
      {"<a><!-x--></a>", u"<comment_tag_syntax offset=\"3\"/>"},
      {"<a><!DOCTYPO x></a>", u"<doctype_tag_syntax offset=\"3\"/>"},
      {"<a><![CDATAX[ ]]></a>", u"<cdata_section_syntax offset=\"3\"/>"},
  };
  for (const auto& c : cases) {
    XmlDocument doc;
    EXPECT_FALSE(doc.LoadFromBytes(c.text)) << c.text;
    EXPECT_TRUE(Has(doc, c.entry)) << c.text << " -> " << U8(doc.GetResult());
    ASSERT_TRUE(doc.FindNextElement(u"a")) << c.text;
  }
  // Comments and processing instructions in the internal subset may hold quotes and brackets.
  for (const char* subset : {"<!-- it's -->", "<!-- ] -->", "<?pi it's ]?>", "<!-- '\" -->"}) {
    XmlDocument doc;
    EXPECT_TRUE(doc.LoadFromBytes(std::string("<!DOCTYPE a [") + subset +
                                  "<!ENTITY e 'x'>]><a n='1'/>"))
        << subset << " -> " << U8(doc.GetResult());
    ASSERT_TRUE(doc.FindNextElement(u"a")) << subset;
    EXPECT_EQ(doc.ReadAttribute(u"n"), u"1");
  }
  // A complete prolog is well formed.
  XmlDocument doc;
  EXPECT_TRUE(doc.LoadFromBytes("<?xml version='1.0'?><!DOCTYPE a [<!ENTITY e \"]>\">]>"
                                "<!-- c --><a><![CDATA[<b>]]></a><?end?>"))
      << U8(doc.GetResult());
}

TEST(XmlLenient, ResultReportStaysShort) {
  std::string text = "<a>";
  for (int i = 0; i < 1000; ++i) text += "</stray>";
  text += "</a>";
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes(text));
  EXPECT_LT(doc.GetResult().size(), 1200u);
  EXPECT_TRUE(Has(doc, u"lone_end_tag"));
}

// ---------------------------------------------------------------------------------------------
// Limits and size

TEST(XmlLimits, DeepNestingIsClampedNotRecursed) {
  const int depth = 70000;
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<e>";
  for (int i = 0; i < depth; ++i) text += "</e>";
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes(text));
  EXPECT_TRUE(Has(doc, u"<limit_exceeded type=\"level\""));
  EXPECT_EQ(doc.GetElement(depth)->flagsAndLevel & XmlDocument::kLevelMask,
            XmlDocument::kMaxLevel);
  EXPECT_EQ(doc.GetElement(depth)->parent, static_cast<uint32_t>(depth - 1));
  int levels = 0;
  while (doc.FindNextElement(u"e") && doc.EnterElement()) ++levels;
  EXPECT_EQ(levels, depth);
  while (doc.LeaveElement()) --levels;
  EXPECT_EQ(levels, 0);
  EXPECT_EQ(doc.GetCurrentIndex(), 1u);  // back on the root element

  // Never ended at all: everything is flattened to the top level without deep recursion.
  XmlDocument flat;
  EXPECT_FALSE(flat.LoadFromBytes(text.substr(0, 3 * depth)));
  int top = 0;
  while (flat.FindNextElement(u"")) ++top;
  EXPECT_EQ(top, depth);
}

TEST(XmlLimits, LongTagsAreClamped) {
  std::string text = "<a v='" + std::string(XmlDocument::kMaxStartTagLength, 'x') + "' w='1'>";
  text += "<b/></a" + std::string(2000, ' ') + ">";
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes(text));
  EXPECT_TRUE(Has(doc, u"<limit_exceeded type=\"start_tag\" offset=\"0\"/>"));
  EXPECT_TRUE(Has(doc, u"<limit_exceeded type=\"end_tag\""));
  const ElementRecord* a = doc.GetElement(1);
  EXPECT_EQ(a->tagLengths & XmlDocument::kMaxStartTagLength, XmlDocument::kMaxStartTagLength);
  EXPECT_EQ(a->tagLengths >> 22, XmlDocument::kMaxEndTagLength);
  EXPECT_EQ(a->length, text.size());
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  // The value is cut where the stored start tag ends; nothing beyond it is read.
  EXPECT_EQ(doc.ReadAttribute(u"v").size(), XmlDocument::kMaxStartTagLength - 6);
  EXPECT_EQ(doc.ReadAttribute(u"w"), u"");
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_TRUE(doc.FindNextElement(u"b"));
}

TEST(XmlLimits, LargeDocumentGrowsTheIndexAcrossSegments) {
  const uint32_t items = 3 * XmlDocument::kSegmentRecords / 2;
  std::string text = "<?xml version=\"1.0\"?>\n<list>\n";
  for (uint32_t i = 0; i < items; ++i) {
    text += "  <item n=\"" + std::to_string(i) + "\" path=\"images/part" + std::to_string(i) +
            ".img\" type='fat32'/>\n";
  }
  text += "</list>\n";
  ASSERT_GT(text.size(), 4u << 20);
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(text));
  ASSERT_EQ(doc.GetElementCount(), items + 2);

  // Records are contiguous within a segment, and early records written before the index grew
  // were completed after it (the root's end tag comes last).
  const ElementRecord* first = doc.GetElement(0);
  const ElementRecord* second = doc.GetElement(XmlDocument::kSegmentRecords);
  for (uint32_t i = 0; i < XmlDocument::kSegmentRecords; i += 4099) {
    EXPECT_EQ(doc.GetElement(i), first + i);
  }
  EXPECT_EQ(doc.GetElement(XmlDocument::kSegmentRecords + 77), second + 77);
  EXPECT_EQ(doc.GetElement(1)->length, text.size() - text.find("<list>") - 1);
  EXPECT_EQ(doc.GetElement(1)->firstChild, 2u);
  EXPECT_EQ(doc.GetElement(2)->previous, items + 1);

  ASSERT_TRUE(doc.FindNextElement(u"list"));
  ASSERT_TRUE(doc.EnterElement());
  uint32_t seen = 0;
  while (doc.FindNextElement(u"item")) {
    if (doc.ReadAttribute(u"n") != plat::FromUtf8(std::to_string(seen))) break;
    ++seen;
  }
  EXPECT_EQ(seen, items);
  EXPECT_EQ(doc.ReadAttribute(u"path"), u"images/part" + plat::FromUtf8(std::to_string(items - 1)) + u".img");
}

// ---------------------------------------------------------------------------------------------
// Files and encodings

const std::u16string kBody = u"<diskMaker>\n  <partition name=\"\u4E2D\u6587\" type='fat32'/>\n</diskMaker>\n";

std::string Utf16(std::u16string_view text, bool bigEndian) {
  std::string out;
  for (char16_t u : text) {
    const char lo = static_cast<char>(u & 0xFF);
    const char hi = static_cast<char>(u >> 8);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

void ExpectBody(const XmlDocument& doc, const std::u16string& body, const std::string& what) {
  const std::u16string& text = doc.GetDoc();
  ASSERT_GE(text.size(), body.size()) << what;
  EXPECT_EQ(text.substr(text.size() - body.size()), body) << what << ": " << U8(doc.GetResult());
}

TEST(XmlEncodings, EveryEncodingLoadsToTheSameText) {
  TempDir dir;
  const std::string decl16 = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
  const struct {
    std::string name;
    std::string bytes;
    uint32_t flags;
    const char16_t* entry;
  } files[] = {
      {"utf16le.xml", "\xFF\xFE" + Utf16(plat::FromUtf8(decl16) + kBody, false),
       XmlDocument::kUtf16LeMark, u"<bom encoding=\"UTF-16LE\"/>"},
      {"utf16be.xml", "\xFE\xFF" + Utf16(plat::FromUtf8(decl16) + kBody, true),
       XmlDocument::kUtf16BeMark, u"<endian_swap/>"},
      {"utf8bom.xml", "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n" + U8(kBody), XmlDocument::kUtf8Mark,
       u"<bom encoding=\"UTF-8\"/>"},
      {"utf8.xml", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + U8(kBody), 0,
       u"<converted_to encoding=\"UTF-16\""},
      {"gbk.xml",
       "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<diskMaker>\n  <partition name=\"\xD6\xD0\xCE\xC4\" "
       "type='fat32'/>\n</diskMaker>\n",
       0, u"<converted_to"},
      {"gb2312.xml",
       "<?xml version='1.0' encoding = 'gb2312' ?>\n<diskMaker>\n  <partition name=\"\xD6\xD0\xCE\xC4\" "
       "type='fat32'/>\n</diskMaker>\n",
       0, u"<converted_to"},
      {"big5.xml",
       "<?xml version=\"1.0\" encoding=\"Big5\"?>\n<diskMaker>\n  <partition name=\"\xA4\xA4\xA4\xE5\" "
       "type='fat32'/>\n</diskMaker>\n",
       0, u"<converted_to"},
      {"sjis.xml",
       "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<diskMaker>\n  <partition "
       "name=\"\x92\x86\x95\xB6\" type='fat32'/>\n</diskMaker>\n",
       0, u"<converted_to"},
      {"latin1.xml",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<diskMaker>\n  <partition "
       "name=\"&#x4E2D;&#25991;\" type='fat32'/>\n</diskMaker>\n",
       0, u"<converted_to"},
      {"html.xml",
       "<!DOCTYPE html>\n<html><head><title>t</title><META HTTP-EQUIV=\"content-type\" "
       "CONTENT=\"text/html; charset=gbk\"></head><body>\n<diskMaker>\n  <partition "
       "name=\"\xD6\xD0\xCE\xC4\" type='fat32'/>\n</diskMaker>\n",
       0, u"<converted_to"},
  };
  for (const auto& f : files) {
    XmlDocument doc;
    const bool wellFormed = doc.LoadFromFile(dir.Write(f.name, f.bytes));
    EXPECT_EQ(wellFormed, f.name != "html.xml") << f.name << ": " << U8(doc.GetResult());
    EXPECT_EQ(doc.GetDocFlags(), f.flags) << f.name;
    EXPECT_TRUE(Has(doc, f.entry)) << f.name << ": " << U8(doc.GetResult());
    if (f.name != "latin1.xml") ExpectBody(doc, kBody, f.name);
    doc.RewindLevel();
    // The unended html and body elements hand diskMaker up to the top level.
    ASSERT_TRUE(doc.FindNextElement(u"diskMaker")) << f.name;
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindNextElement(u"partition")) << f.name;
    EXPECT_EQ(doc.ReadAttribute(u"name"), u"\u4E2D\u6587") << f.name;
  }
}

TEST(XmlEncodings, DeclaredLatin1IsNotUtf8) {
  XmlDocument doc;
  // "Grüße" in ISO-8859-1; the same bytes are not valid UTF-8.
  ASSERT_TRUE(doc.LoadFromBytes("<?xml version='1.0' encoding='latin1'?><a v='Gr\xFC\xDF" "e'/>"));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"Gr\u00FC\u00DFe");
  ASSERT_TRUE(doc.LoadFromBytes("<?xml version='1.0' encoding='windows-1251'?><a v='\xCF\xF0'/>"));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"\u041F\u0440");
}

TEST(XmlEncodings, DetectionWithoutDeclaration) {
  XmlDocument doc;
  // Leading white space: no declaration, not starting with '<', valid UTF-8.
  ASSERT_TRUE(doc.LoadFromBytes(" \n<a v='\xE4\xB8\xAD'/>"));
  EXPECT_TRUE(Has(doc, u"<read encoding=\"UTF-8\" length=\"14\"/>")) << U8(doc.GetResult());
  EXPECT_TRUE(Has(doc, u"<utf8_detection"));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"\u4E2D");
  // Not UTF-8 and nothing declared: the locale's code set (UTF-8 in the tests) replaces the
  // bad byte.
  ASSERT_TRUE(doc.LoadFromBytes(" <a v='\xD6'/>"));
  EXPECT_FALSE(Has(doc, u"<read"));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"\uFFFD");
  // Characters beyond the BMP become surrogate pairs, in UTF-8 and in UTF-16 files alike.
  ASSERT_TRUE(doc.LoadFromBytes("<a v='\xF0\x9F\x98\x80'/>"));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"\xD83D\xDE00");
  ASSERT_TRUE(doc.LoadFromBytes("\xFE\xFF" + Utf16(u"<a v='\xD83D\xDE00'/>", true)));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"\xD83D\xDE00");
  // A wide encoding declared in 8-bit bytes is not believed.
  ASSERT_TRUE(doc.LoadFromBytes("<?xml version='1.0' encoding='UTF-16'?><a v='x'/>"));
  ASSERT_TRUE(doc.FindNextElement(u"a"));
  EXPECT_EQ(doc.ReadAttribute(u"v"), u"x");
}

TEST(XmlEncodings, SystemCodePageIsTheLocaleCodeSet) {
  const char* saved = std::getenv("LC_ALL");
  const std::string restore = saved != nullptr ? saved : "";
  setenv("LC_ALL", "zh_CN.GBK", 1);
  XmlDocument undeclared;
  const bool loaded = undeclared.LoadFromBytes(" <a v='\xD6\xD0\xCE\xC4'/>");
  XmlDocument unknown;
  const bool loadedUnknown =
      unknown.LoadFromBytes("<?xml version='1.0' encoding='x-nonsense'?><a v='\xD6\xD0'/>");
  setenv("LC_ALL", restore.c_str(), 1);
  ASSERT_TRUE(loaded) << U8(undeclared.GetResult());
  EXPECT_TRUE(Has(undeclared, u"<utf8_detection encoding=\"GBK\"/>")) << U8(undeclared.GetResult());
  ASSERT_TRUE(undeclared.FindNextElement(u"a"));
  EXPECT_EQ(undeclared.ReadAttribute(u"v"), u"\u4E2D\u6587");
  ASSERT_TRUE(loadedUnknown);
  ASSERT_TRUE(unknown.FindNextElement(u"a"));
  EXPECT_EQ(unknown.ReadAttribute(u"v"), u"\u4E2D");
}

TEST(XmlEncodings, ZeroUnitsAreRemovedAndCounted) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(std::string("<a\0 v='1'\0\0/>", 13)));
  EXPECT_TRUE(Has(doc, u"<nulls_removed count=\"3\"/>")) << U8(doc.GetResult());
  EXPECT_EQ(doc.GetDoc(), u"<a v='1'/>");
  ASSERT_TRUE(doc.LoadFromBytes("\xFF\xFE" + Utf16(u"<a/>", false) + std::string(4, '\0') + "x"));
  EXPECT_TRUE(Has(doc, u"<nulls_removed count=\"2\"/>")) << U8(doc.GetResult());
  EXPECT_TRUE(Has(doc, u"<read encoding=\"UTF-16LE\" length=\"6\"/>"));
  EXPECT_EQ(doc.GetDoc(), u"<a/>");  // the odd last byte is no unit
}

TEST(XmlFiles, MissingFile) {
  TempDir dir;
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<a/>"));
  EXPECT_FALSE(doc.LoadFromFile(dir.Write("x.xml", "") + u".missing"));
  EXPECT_TRUE(Has(doc, u"<file_error msg=\"No such file or directory\" n=\"2\"/>"))
      << U8(doc.GetResult());
  EXPECT_EQ(doc.GetDoc(), u"");
  EXPECT_EQ(doc.GetElementCount(), 1u);
  EXPECT_FALSE(doc.FindNextElement(u""));
  // A folder opens but cannot be read.
  EXPECT_FALSE(doc.LoadFromFile(plat::FromUtf8(BRINDLE_SOURCE_DIR)));
  EXPECT_TRUE(Has(doc, u"<file_error msg=\"Is a directory\" n=\"21\"/>")) << U8(doc.GetResult());
  // An empty file reads but has no root.
  EXPECT_FALSE(doc.LoadFromFile(dir.Write("empty.xml", "")));
  EXPECT_TRUE(Has(doc, u"<no_root_element/>"));
}

// ---------------------------------------------------------------------------------------------
// Tables

TEST(XmlTables, CharsetLookup) {
  EXPECT_EQ(xml::CharsetCodePage(u""), 0);
  EXPECT_EQ(xml::CharsetCodePage(u"UTF-8"), 65001);
  EXPECT_EQ(xml::CharsetCodePage(u"utf8"), 65001);
  for (const char16_t* n : {u"utf-16", u"UTF16", u"utf-16LE", u"Unicode", u"ucs-2"}) {
    EXPECT_EQ(xml::CharsetCodePage(n), 1200) << U8(n);
  }
  EXPECT_EQ(xml::CharsetCodePage(u"UTF-16BE"), 1201);
  EXPECT_EQ(xml::CharsetCodePage(u"utf-32"), 12000);
  EXPECT_EQ(xml::CharsetCodePage(u"utf32"), 12000);
  EXPECT_EQ(xml::CharsetCodePage(u"UTF-32"), 65005);
  EXPECT_EQ(xml::CharsetCodePage(u"UTF-32BE"), 65005);
  EXPECT_EQ(xml::CharsetCodePage(u"GBK"), 936);
  EXPECT_EQ(xml::CharsetCodePage(u"gb2312"), 936);
  EXPECT_EQ(xml::CharsetCodePage(u"BIG5"), 950);
  EXPECT_EQ(xml::CharsetCodePage(u"Shift_JIS"), 932);
  EXPECT_EQ(xml::CharsetCodePage(u"ISO-8859-1"), 28591);
  EXPECT_EQ(xml::CharsetCodePage(u"Latin1"), 28591);
  EXPECT_EQ(xml::CharsetCodePage(u"Windows-1252"), 1252);
  EXPECT_EQ(xml::CharsetCodePage(u"US-ASCII"), 20127);
  EXPECT_EQ(xml::CharsetCodePage(u"ascii"), 20127);
  EXPECT_EQ(xml::CharsetCodePage(u"koi8-r"), 20866);
  EXPECT_EQ(xml::CharsetCodePage(u"EUC-KR"), 51949);
  EXPECT_EQ(xml::CharsetCodePage(u"no-such-charset"), -1);
  EXPECT_EQ(xml::CharsetCodePage(u"utf-8 "), -1);
  EXPECT_EQ(xml::CharsetCodePage(std::u16string(100, u'a')), -1);

  size_t entries = 0;
  for (unsigned b = 0; b < xml::kCharsetBucketCount; ++b) {
    for (const char* p = xml::kCharsetBuckets[b]; *p != 0;) {
      const size_t length = std::stoul(std::string(p, 2));
      const int codePage = std::stoi(std::string(p + 2, 5));
      const std::u16string name = plat::FromUtf8(std::string(p + 7, length));
      EXPECT_EQ(xml::BucketOf(name, xml::kCharsetBucketCount), b) << U8(name);
      EXPECT_EQ(xml::CharsetCodePage(name), codePage) << U8(name);
      // Every code page of the table means something to iconv here.
      const auto names = xml::IconvNamesOfCodePage(codePage);
      bool known = false;
      std::u16string out;
      for (const auto& n : names) known = known || plat::FromCodeSet("A", n, out);
      if (codePage != 52936) {
        EXPECT_TRUE(known) << U8(name) << " " << codePage;
      }
      p += 7 + length;
      ++entries;
    }
  }
  EXPECT_GT(entries, 250u);
  EXPECT_LE(entries, 365u);
}

TEST(XmlTables, EntityTable) {
  size_t entries = 0;
  std::set<std::string> names;
  size_t twins = 0;
  for (unsigned b = 0; b < xml::kEntityBucketCount; ++b) {
    std::string previous;
    for (const char* p = xml::kEntityBuckets[b]; *p != 0;) {
      const size_t length = static_cast<size_t>(p[0] - '0');
      const std::string name(p + 5, length);
      EXPECT_EQ(xml::BucketOf(plat::FromUtf8(name), xml::kEntityBucketCount), b) << name;
      if (!names.insert(name).second) {
        ++twins;
        EXPECT_EQ(name, previous);  // the twin follows its capitalised entry
      }
      previous = name;
      p += 5 + length;
      ++entries;
    }
  }
  EXPECT_EQ(entries, 253u);
  EXPECT_EQ(twins, 64u);
  EXPECT_EQ(xml::EntityCodePoint(u"apos"), 39u);
  EXPECT_EQ(xml::EntityCodePoint(u"diams"), 9830u);
  EXPECT_EQ(xml::EntityCodePoint(u"fnof"), 402u);
  EXPECT_EQ(xml::EntityCodePoint(u"Yuml"), 376u);
  EXPECT_EQ(xml::EntityCodePoint(u"yuml"), 255u);
  EXPECT_EQ(xml::EntityCodePoint(u"OElig"), 338u);
  EXPECT_EQ(xml::EntityCodePoint(u"oelig"), 339u);
  EXPECT_EQ(xml::EntityCodePoint(u"sigmaf"), 962u);
  EXPECT_EQ(xml::EntityCodePoint(u"nope"), 0u);
}

}  // namespace
