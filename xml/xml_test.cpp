// The XML reader: cursor navigation, attribute decoding, broken text, limits, encodings and
// the lookup tables.
#include <gtest/gtest.h>

#include <string>

#include "Platform.h"
#include "XmlDocument.h"
#include "XmlTables.h"
#include "testsupport/TestSupport.h"

namespace {

std::string U8(std::u16string_view s) { return plat::ToUtf8(s); }

bool Has(const XmlDocument& doc, std::u16string_view fragment) {
  return doc.GetResult().find(fragment) != std::u16string::npos;
}

std::u16string Name(const XmlDocument& doc) { return doc.GetElementName(doc.GetCurrentIndex()); }

bool Enter(XmlDocument& doc, const std::u16string& name) {
  return doc.FindNextElement(name) && doc.EnterElement();
}

// The rest of the current level: each element's `attribute`, or its name when that is empty.
std::u16string Collect(XmlDocument& doc, const std::u16string& attribute) {
  std::u16string out;
  while (doc.FindNextElement(u"")) {
    out += attribute.empty() ? Name(doc) : doc.ReadAttribute(attribute);
  }
  return out;
}

using testsupport::Utf16Bytes;

// ---------------------------------------------------------------------------------------------
// Navigation

constexpr char kSiblings[] =
    "<?xml version=\"1.0\"?>\n<root>\n"
    "  <x id=\"1\"/> text <!-- comment --> <?pi data?>\n"
    "  <y id=\"2\"><c id=\"c1\"/><c id=\"c2\"/></y>\n"
    "  <![CDATA[<x id=\"cdata\"/>]]>\n"
    "  <z id=\"3\"/>\n"
    "</root>\n";

TEST(XmlNavigation, SearchesGoForwardAndAFailedOneDoesNotMove) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(kSiblings));
  ASSERT_TRUE(Enter(doc, u"root"));
  ASSERT_TRUE(doc.FindNextElement(u"x"));
  EXPECT_FALSE(doc.FindNextElement(u"missing"));
  ASSERT_TRUE(doc.FindNextElement(u"y"));  // still starts right after x
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"2");
  // Never back to x; the x inside the CDATA section is no element.
  EXPECT_FALSE(doc.FindNextElement(u"x"));
  doc.RewindLevel();
  EXPECT_EQ(Collect(doc, u"id"), u"123");  // an empty name steps to any element
}

TEST(XmlNavigation, EnterAndLeaveRestoreTheCursor) {
  XmlDocument doc;
  EXPECT_FALSE(doc.FindNextElement(u""));  // nothing loaded
  EXPECT_FALSE(doc.EnterElement());
  EXPECT_FALSE(doc.LeaveElement());
  EXPECT_EQ(doc.ReadAttribute(u"a"), u"");
  ASSERT_TRUE(doc.LoadFromBytes(kSiblings));
  EXPECT_FALSE(doc.EnterElement());  // no current element
  EXPECT_FALSE(doc.LeaveElement());  // top level
  ASSERT_TRUE(Enter(doc, u"root"));
  ASSERT_TRUE(doc.FindNextElement(u"y"));
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(Collect(doc, u"id"), u"c1c2");
  ASSERT_TRUE(doc.LeaveElement());  // back on y: the next element is z
  ASSERT_TRUE(doc.FindNextElement(u""));
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"3");
  // Entering root again resumes at the remembered child.
  ASSERT_TRUE(doc.LeaveElement());
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(doc.ReadAttribute(u"id"), u"3");
  EXPECT_FALSE(doc.FindNextElement(u""));
}

TEST(XmlNavigation, NamesMatchWholeAndExactly) {
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes(
      "<d><partitions n=\"plural\"/><partition n=\"one\"/><Partition n=\"cap\"/></d>"));
  ASSERT_TRUE(Enter(doc, u"d"));
  ASSERT_TRUE(doc.FindNextElement(u"partition"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"one");
  EXPECT_FALSE(doc.FindNextElement(u"partition"));
  doc.RewindLevel();
  ASSERT_TRUE(doc.FindNextElement(u"partitions"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"plural");
  ASSERT_TRUE(doc.FindNextElement(u"Partition"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"cap");
  doc.RewindLevel();
  for (const char16_t* name : {u"PARTITION", u"part", u"/d/partition"}) {  // no paths either
    EXPECT_FALSE(doc.FindNextElement(name)) << U8(name);
  }
  // The argument may go on after the name with a character of the path syntax.
  ASSERT_TRUE(doc.FindNextElement(u"partition[1]"));
  EXPECT_EQ(doc.ReadAttribute(u"n"), u"one");
  // Attribute names follow the same rule.
  EXPECT_EQ(doc.ReadAttribute(u"N"), u"");
  EXPECT_EQ(doc.ReadAttribute(u"nn"), u"");
}

// ---------------------------------------------------------------------------------------------
// Attributes and references

TEST(XmlAttributes, SyntaxReferencesAndEntities) {
  const struct {
    const char* element;
    const char16_t* name;
    const char16_t* value;
  } cases[] = {
      {"<a v=\"x 'y'\"/>", u"v", u"x 'y'"},
      {"<a\n  v \t=\r\n 'spaced' w=\"2\"/>", u"w", u"2"},
      {"<a v=\"1>2\" w='3'></a>", u"w", u"3"},
      {"<a flag v=unquoted/>", u"v", u"unquoted"},
      {"<a flag v=unquoted/>", u"flag", u""},
      {"<a v=\"\"/>", u"v", u""},
      {"<a name=\"1\" names=\"2\"/>", u"names", u"2"},
      {"<a names=\"2\" name=\"1\"/>", u"name", u"1"},
      {"<a v=\"first\" v=\"second\"/>", u"v", u"first"},
      {"<a v=\"1\"/>", u"missing", u""},
      {"<a>w=\"no\"</a>", u"w", u""},  // text after the start tag is not scanned
      {"<a v=\"&amp;&lt;&gt;&quot;&apos;\"/>", u"v", u"&<>\"'"},
      {"<a v='&#65;&#x41;&#X41;&#0065;'/>", u"v", u"AAAA"},
      {"<a v='&#x1F600;|&#128512;'/>", u"v", u"\xD83D\xDE00|\xD83D\xDE00"},
      {"<a v='&nbsp;&copy;&euro;&hellip;&Omega;&omega;'/>", u"v",
       u"\u00A0\u00A9\u20AC\u2026\u03A9\u03C9"},
      // Left as written: unknown names, zero, lone surrogates, beyond Unicode, no ';' within
      // nine characters, non-ASCII in the name, bad digits, an empty name.
      {"<a v='&bogus;&#0;&#xD800;&#x110000;'/>", u"v", u"&bogus;&#0;&#xD800;&#x110000;"},
      {"<a v='&thetasymx; &thetasym;'/>", u"v", u"&thetasymx; \u03D1"},
      {"<a v='&amp &\u00e9; &#12a; &; &#; &#x;'/>", u"v", u"&amp &\u00e9; &#12a; &; &#; &#x;"},
      // After an undecoded '&' decoding goes on with the next character.
      {"<a v='&&amp;'/>", u"v", u"&&"},
      {"<a v='&abcdefghi&lt;'/>", u"v", u"&abcdefghi<"},
      // Case twins decode as HTML does; names without a twin are found in any case, and the
      // other spellings of a twin take the capitalised entry.
      {"<a v='&Auml;&auml;&rArr;&rarr;&Prime;&prime;&ETH;&eth;'/>", u"v",
       u"\u00C4\u00E4\u21D2\u2192\u2033\u2032\u00D0\u00F0"},
      {"<a v='&AMP;&Lt;&NBSP;&AUML;&RARR;'/>", u"v", u"&<\u00A0\u00C4\u21D2"},
  };
  for (const auto& c : cases) {
    XmlDocument doc;
    EXPECT_TRUE(doc.LoadFromBytes(c.element)) << c.element;
    ASSERT_TRUE(doc.FindNextElement(u"")) << c.element;
    EXPECT_EQ(doc.ReadAttribute(c.name), c.value) << c.element;
  }
}

// ---------------------------------------------------------------------------------------------
// Broken text: reported, and indexed as far as it goes

TEST(XmlLenient, ProblemsAreReportedAndTheRestIsFound) {
  const struct {
    const char* text;
    const char16_t* entry;
    const char16_t* found;  // an element still found at the top; null: none at all
  } cases[] = {
      {"", u"<no_root_element/>", nullptr},
      {"<a/>\n<b/>", u"<root_has_sibling tagname=\"b\" offset=\"5\"/>", u"b"},
      {"<a></a><b x='1'", u"<unterminated_tag_syntax type=\"start_tag\" offset=\"7\"/>", u"a"},
      {"<a></a", u"<unterminated_tag_syntax type=\"end_tag\" offset=\"3\"/>", u"a"},
      {"<a/><![CDATA[ x", u"<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>", u"a"},
      {"<a/><![CD", u"<unterminated_tag_syntax type=\"cdata_section\" offset=\"4\"/>", u"a"},
      {"<a/><?pi x", u"<unterminated_tag_syntax type=\"processing_instruction\" offset=\"4\"/>",
       u"a"},
      {"<a/><!-- x --", u"<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>", u"a"},
      {"<a/><!DOCTYPE a [ <!ENTITY x '>'> ",
       u"<unterminated_tag_syntax type=\"document_type\" offset=\"4\"/>", u"a"},
      {"<a/><", u"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>", u"a"},
      {"<a/><!", u"<unterminated_tag_syntax type=\"tag\" offset=\"4\"/>", u"a"},
      {"<a><1/></a>", u"<first_tag_syntax offset=\"3\"/>", u"a"},
      {"<a><!ELEMENT x></a>", u"<exclamation_tag_syntax offset=\"3\"/>", u"a"},
      {"<a><!-x--></a>", u"<comment_tag_syntax offset=\"3\"/>", u"a"},
      {"<a><!DOCTYPO x></a>", u"<doctype_tag_syntax offset=\"3\"/>", u"a"},
      {"<a><![CDATAX[ ]]></a>", u"<cdata_section_syntax offset=\"3\"/>", u"a"},
  };
  for (const auto& c : cases) {
    XmlDocument doc;
    EXPECT_FALSE(doc.LoadFromBytes(c.text)) << c.text;
    EXPECT_TRUE(Has(doc, c.entry)) << c.text << " -> " << U8(doc.GetResult());
    EXPECT_EQ(doc.FindNextElement(c.found != nullptr ? c.found : u""), c.found != nullptr)
        << c.text;
  }
}

TEST(XmlLenient, PrologsThatAreWellFormed) {
  // Comments and processing instructions in the internal subset may hold quotes and brackets,
  // with or without a declaration before it.
  for (const char* declaration : {"", "<?xml version='1.0'?>"}) {
    const std::string text = std::string(declaration) +
                             "<!DOCTYPE a [<!-- it's --><!-- ] --><?pi it's ]?><!-- '\" -->"
                             "<!ENTITY e \"]>\"><!ENTITY e 'x'>]><!-- c --><a n='1'><![CDATA[<b>]]>"
                             "</a><?end?>";
    XmlDocument doc;
    EXPECT_TRUE(doc.LoadFromBytes(text)) << text << " -> " << U8(doc.GetResult());
    ASSERT_TRUE(doc.FindNextElement(u"a")) << text;
    EXPECT_EQ(doc.ReadAttribute(u"n"), u"1");
  }
}

TEST(XmlLenient, StrayEndTagIsSkipped) {
  XmlDocument doc;
  EXPECT_FALSE(doc.LoadFromBytes("<a><b n='1'/></zz><c n='2'/></a>"));
  EXPECT_TRUE(Has(doc, u"<lone_end_tag tagname=\"zz\" offset=\"13\"/>")) << U8(doc.GetResult());
  EXPECT_TRUE(doc.GetElement(1)->flagsAndLevel & XmlDocument::kIllFormedInside);
  ASSERT_TRUE(Enter(doc, u"a"));
  EXPECT_EQ(Collect(doc, u"n"), u"12");
  // A thousand of them keep the report short.
  std::string text = "<a>";
  for (int i = 0; i < 1000; ++i) text += "</stray>";
  EXPECT_FALSE(doc.LoadFromBytes(text + "</a>"));
  EXPECT_LT(doc.GetResult().size(), 1200u);
  EXPECT_TRUE(Has(doc, u"lone_end_tag"));
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
  EXPECT_EQ(doc.GetElement(1)->length, text.size());
  EXPECT_TRUE(doc.GetElement(1)->flagsAndLevel & XmlDocument::kIllFormedInside);
  EXPECT_EQ(doc.GetElement(3)->flagsAndLevel, 2u);  // no longer a first child
  ASSERT_TRUE(Enter(doc, u"a"));
  EXPECT_EQ(Collect(doc, u"n"), u"bcd");

  // Unended up to the end of the text: everything ends up at the top level.
  EXPECT_FALSE(doc.LoadFromBytes("<a><b><c/>"));
  EXPECT_TRUE(Has(doc, u"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"10\"/>"
                       u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"10\"/>"))
      << U8(doc.GetResult());
  EXPECT_TRUE(Has(doc, u"<root_has_sibling tagname=\"b\" offset=\"3\"/>"));
  EXPECT_EQ(Collect(doc, u""), u"abc");

  // b is never ended: c moves up to a, and d and e, below c, move up with it.
  EXPECT_FALSE(doc.LoadFromBytes("<r><a><b><c><d><e/></d></c></a></r>"));
  const uint32_t levels[] = {0, 1, 2, 3, 3, 4, 5};
  for (uint32_t i = 1; i < doc.GetElementCount(); ++i) {
    EXPECT_EQ(doc.GetElement(i)->flagsAndLevel & XmlDocument::kLevelMask, levels[i]) << i;
  }
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
  int levels = 0;
  while (Enter(doc, u"e")) ++levels;
  EXPECT_EQ(levels, depth);
  while (doc.LeaveElement()) {
  }
  EXPECT_EQ(doc.GetCurrentIndex(), 1u);  // back on the root element

  // Never ended at all: everything is flattened to the top level without deep recursion.
  EXPECT_FALSE(doc.LoadFromBytes(text.substr(0, 3 * depth)));
  int top = 0;
  while (doc.FindNextElement(u"")) ++top;
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
  // Early records written before the index grew were completed after it (the root's end tag
  // comes last).
  EXPECT_EQ(doc.GetElement(1)->length, text.size() - text.find("<list>") - 1);
  EXPECT_EQ(doc.GetElement(1)->firstChild, 2u);
  EXPECT_EQ(doc.GetElement(2)->previous, items + 1);
  ASSERT_TRUE(Enter(doc, u"list"));
  uint32_t seen = 0;
  while (doc.FindNextElement(u"item") &&
         doc.ReadAttribute(u"n") == plat::FromUtf8(std::to_string(seen))) {
    ++seen;
  }
  EXPECT_EQ(seen, items);
}

// ---------------------------------------------------------------------------------------------
// Files and encodings

const std::u16string kBody =
    u"<diskMaker>\n  <partition name=\"\u4E2D\u6587\" type='fat32'/>\n</diskMaker>\n";

// kBody after `prolog`, its two characters written as `name` in an 8-bit encoding.
std::string Body8(const std::string& prolog, const std::string& name) {
  return prolog + "\n<diskMaker>\n  <partition name=\"" + name +
         "\" type='fat32'/>\n</diskMaker>\n";
}

TEST(XmlEncodings, EveryEncodingLoadsToTheSameText) {
  testsupport::TempDir dir;
  const std::u16string decl16 = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
  const std::string gbk = "\xD6\xD0\xCE\xC4";
  const struct {
    std::string name;
    std::string bytes;
    uint32_t flags;
    const char16_t* entry;
  } files[] = {
      {"utf16le.xml", "\xFF\xFE" + Utf16Bytes(decl16 + kBody, false), XmlDocument::kUtf16LeMark,
       u"<bom encoding=\"UTF-16LE\"/>"},
      {"utf16be.xml", "\xFE\xFF" + Utf16Bytes(decl16 + kBody, true), XmlDocument::kUtf16BeMark,
       u"<endian_swap/>"},
      {"utf8bom.xml", "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n" + U8(kBody), XmlDocument::kUtf8Mark,
       u"<bom encoding=\"UTF-8\"/>"},
      {"gb2312.xml", Body8("<?xml version='1.0' encoding = 'gb2312' ?>", gbk), 0, u"<converted_to"},
      {"html.xml",
       Body8("<!DOCTYPE html>\n<html><head><title>t</title><META HTTP-EQUIV=\"content-type\" "
             "CONTENT=\"text/html; charset=gbk\"></head><body>",
             gbk),
       0, u"<converted_to"},
  };
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    XmlDocument doc;
    const std::string path = dir.Join(f.name);
    ASSERT_TRUE(testsupport::WriteFile(path, f.bytes));
    const bool wellFormed = doc.LoadFromFile(plat::FromUtf8(path));
    EXPECT_EQ(wellFormed, f.name != "html.xml") << U8(doc.GetResult());
    EXPECT_EQ(doc.GetDocFlags(), f.flags);
    EXPECT_TRUE(Has(doc, f.entry)) << U8(doc.GetResult());
    // The unended html and body elements hand diskMaker up to the top level.
    ASSERT_TRUE(Enter(doc, u"diskMaker"));
    ASSERT_TRUE(doc.FindNextElement(u"partition"));
    EXPECT_EQ(doc.ReadAttribute(u"name"), u"\u4E2D\u6587");
  }
}

TEST(XmlEncodings, DeclaredOrDetected) {
  const struct {
    std::string bytes;
    const char16_t* value;
    const char16_t* entry;  // a result entry that must be there, or with `absent` must not
    bool absent;
  } cases[] = {
      // "Grüße" in ISO-8859-1; the same bytes are not valid UTF-8.
      {"<?xml version='1.0' encoding='latin1'?><a v='Gr\xFC\xDF" "e'/>", u"Gr\u00FC\u00DFe",
       u"", false},
      // Leading white space: no declaration, not starting with '<', valid UTF-8.
      {" \n<a v='\xE4\xB8\xAD'/>", u"\u4E2D", u"<read encoding=\"UTF-8\" length=\"14\"/>", false},
      // Not UTF-8 and nothing declared: the locale's code set (UTF-8 in the tests) replaces the
      // bad byte.
      {" <a v='\xD6'/>", u"\uFFFD", u"<read", true},
      // Characters beyond the BMP become surrogate pairs, in UTF-8 and in UTF-16 files alike.
      {"<a v='\xF0\x9F\x98\x80'/>", u"\xD83D\xDE00", u"", false},
      {"\xFE\xFF" + Utf16Bytes(u"<a v='\xD83D\xDE00'/>", true), u"\xD83D\xDE00", u"", false},
      // An unknown declared encoding falls back to the locale's code set.
      {"<?xml version='1.0' encoding='x-nonsense'?><a v='\xC3\xA9'/>", u"\u00E9", u"", false},
      // A wide encoding declared in 8-bit bytes is not believed.
      {"<?xml version='1.0' encoding='UTF-16'?><a v='x'/>", u"x", u"", false},
      // Zero units are removed and counted; an odd last byte is no unit.
      {std::string("<a\0 v='1'\0\0/>", 13), u"1", u"<nulls_removed count=\"3\"/>", false},
      {"\xFF\xFE" + Utf16Bytes(u"<a v='1'/>", false) + std::string(4, '\0') + "x", u"1",
       u"<nulls_removed count=\"2\"/><read encoding=\"UTF-16LE\" length=\"12\"/>", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    XmlDocument doc;
    ASSERT_TRUE(doc.LoadFromBytes(c.bytes)) << U8(doc.GetResult());
    EXPECT_NE(Has(doc, c.entry), c.absent) << U8(doc.GetResult());
    ASSERT_TRUE(doc.FindNextElement(u"a"));
    EXPECT_EQ(doc.ReadAttribute(u"v"), c.value);
  }
}

TEST(XmlFiles, MissingFileEmptiesTheDocument) {
  testsupport::TempDir dir;
  XmlDocument doc;
  ASSERT_TRUE(doc.LoadFromBytes("<a/>"));
  EXPECT_FALSE(doc.LoadFromFile(plat::FromUtf8(dir.Join("missing.xml"))));
  EXPECT_TRUE(Has(doc, u"<file_error msg=\"No such file or directory\" n=\"2\"/>"))
      << U8(doc.GetResult());
  EXPECT_EQ(doc.GetDoc(), u"");
  EXPECT_FALSE(doc.FindNextElement(u""));
}

// ---------------------------------------------------------------------------------------------
// Tables

TEST(XmlTables, Lookups) {
  // Every name of the table is checked against its own entry below; these are the known
  // answers, the case twins among them.
  const std::pair<std::u16string, int> names[] = {
      {u"", 0},           {u"UTF-8", 65001},        {u"utf-16LE", 1200}, {u"UTF-16BE", 1201},
      {u"utf-32", 12000}, {u"UTF-32", 65005},       {u"GBK", 936},       {u"no-such-charset", -1},
      {u"utf-8 ", -1},    {std::u16string(100, u'a'), -1},
  };
  for (const auto& [name, codePage] : names) {
    EXPECT_EQ(xml::CharsetCodePage(name), codePage) << U8(name);
  }

  // Every entry of the code page table is found in its bucket, and every code page means
  // something to iconv here.
  for (unsigned b = 0; b < xml::kCharsetBucketCount; ++b) {
    for (const char* p = xml::kCharsetBuckets[b]; *p != 0;) {
      const size_t length = std::stoul(std::string(p, 2));
      const int codePage = std::stoi(std::string(p + 2, 5));
      const std::u16string name = plat::FromUtf8(std::string(p + 7, length));
      EXPECT_EQ(xml::CharsetCodePage(name), codePage) << U8(name);
      bool known = false;
      std::u16string out;
      for (const auto& n : xml::IconvNamesOfCodePage(codePage)) {
        known = known || plat::FromCodeSet("A", n, out);
      }
      EXPECT_TRUE(known || codePage == 52936) << U8(name) << " " << codePage;
      p += 7 + length;
    }
  }
  const std::pair<std::u16string, uint32_t> points[] = {
      {u"apos", 39}, {u"diams", 9830}, {u"Yuml", 376}, {u"yuml", 255}, {u"nope", 0}};
  for (const auto& [name, point] : points) EXPECT_EQ(xml::EntityCodePoint(name), point) << U8(name);
}

}  // namespace
