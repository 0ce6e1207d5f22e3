#include "LocalText.h"
#include "Platform.h"
#include "ProfileReader.h"
#include "TextUtil.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

// A path in `dir`, as the text routines take it.
std::u16string WidePath(const TempDir& dir, const std::string& name) {
  return plat::FromUtf8(dir.Join(name));
}

const std::u16string kCatalogue =
    u"; comment line\r\n"
    u"[EN_TEXT]\r\n"
    u"  Hello  =  Hello there  \r\n"
    u"Quoted=\"  kept blanks: \"\r\n"
    u"Tip=No.%d item\r\n"
    u"[chs_text]\n"
    u"Hello=\u4f60\u597d\n"
    u"[TW_TEXT]\r"
    u"Hello=\u60a8\u597d\r"
    u"[EN_TEXT]\n"
    u"Later=never read: the first section of a name decides\n";

TEST(ProfileReader, EveryEncodingReadsTheSame) {
  TempDir dir;
  WriteFile(dir.Join("u8.ini"), plat::ToUtf8(kCatalogue));
  WriteFile(dir.Join("u8bom.ini"), "\xEF\xBB\xBF" + plat::ToUtf8(kCatalogue));
  WriteFile(dir.Join("le.ini"), "\xFF\xFE" + testsupport::Utf16Bytes(kCatalogue, false));
  WriteFile(dir.Join("be.ini"), "\xFE\xFF" + testsupport::Utf16Bytes(kCatalogue, true));
  for (const char* name : {"u8.ini", "u8bom.ini", "le.ini", "be.ini"}) {
    SCOPED_TRACE(name);
    ProfileReader reader(WidePath(dir, name));
    EXPECT_EQ(reader.Read(u"EN_TEXT", u"Hello"), u"Hello there");
    EXPECT_EQ(reader.Read(u"en_text", u"HELLO"), u"Hello there");  // names ignore case
    EXPECT_EQ(reader.Read(u"CHS_TEXT", u"Hello"), u"\u4f60\u597d");
    EXPECT_EQ(reader.Read(u"TW_TEXT", u"Hello"), u"\u60a8\u597d");
    EXPECT_EQ(reader.Read(u"EN_TEXT", u"Quoted"), u"  kept blanks: ");
    EXPECT_EQ(reader.Read(u"EN_TEXT", u"Later"), u"");
    EXPECT_EQ(reader.Read(u"EN_TEXT", u"Missing"), u"");
    EXPECT_EQ(reader.Read(u"NO_SECTION", u"Hello"), u"");
  }
  EXPECT_EQ(ProfileReader(WidePath(dir, "absent.ini")).Read(u"EN_TEXT", u"Hello"), u"");
}

TEST(ProfileReader, LongValuesAreCutTo259Units) {
  TempDir dir;
  const std::u16string longValue(300, u'x');
  // 258 units, then a surrogate pair that the cut would split.
  const std::u16string pairAtCut = std::u16string(258, u'y') + u"\U0001F600z";
  WriteFile(dir.Join("t.ini"),
             plat::ToUtf8(u"[S]\nlong=" + longValue + u"\npair=" + pairAtCut + u"\n"));
  ProfileReader reader(WidePath(dir, "t.ini"));
  EXPECT_EQ(reader.Read(u"S", u"long"), std::u16string(259, u'x'));
  EXPECT_EQ(reader.Read(u"S", u"pair"), std::u16string(258, u'y'));
}

TEST(ProfileWriter, CreatesUpdatesAndKeepsTheRest) {
  TempDir dir;
  const std::u16string path = WidePath(dir, "config.ini");
  ASSERT_TRUE(WriteProfileString(path, u"FIRMWARE", u"PATH", u"/srv/fw one"));
  EXPECT_EQ(ProfileReader(path).Read(u"FIRMWARE", u"PATH"), u"/srv/fw one");

  WriteFile(dir.Join("config.ini"),
             "\xEF\xBB\xBF[Other]\nkeep=1\n\n[firmware]\npath=/old\nnext=2\n[Last]\nz=3\n");
  ASSERT_TRUE(WriteProfileString(path, u"FIRMWARE", u"PATH", u" /new \u4e2d "));
  ASSERT_TRUE(WriteProfileString(path, u"FIRMWARE", u"EXTRA", u"e"));
  ProfileReader reader(path);
  EXPECT_EQ(reader.Read(u"FIRMWARE", u"PATH"), u" /new \u4e2d ");
  EXPECT_EQ(reader.Read(u"FIRMWARE", u"EXTRA"), u"e");
  EXPECT_EQ(reader.Read(u"FIRMWARE", u"NEXT"), u"2");
  EXPECT_EQ(reader.Read(u"Other", u"keep"), u"1");
  EXPECT_EQ(reader.Read(u"Last", u"z"), u"3");
  EXPECT_EQ(ReadFile(dir.Join("config.ini")).substr(0, 3), "\xEF\xBB\xBF");

  EXPECT_FALSE(WriteProfileString(u"/no/such/dir/config.ini", u"A", u"B", u"C"));
}

TEST(LocalText, LanguageSectionsAndLineFeeds) {
  TempDir dir;
  WriteFile(dir.Join("text_info.ini"), plat::ToUtf8(kCatalogue));
  const std::u16string ini = WidePath(dir, "text_info.ini");
  EXPECT_EQ(LocalTextFrom(ini, 1, u"Hello", 0), u"\u4f60\u597d");
  EXPECT_EQ(LocalTextFrom(ini, 3, u"Hello", 1), u"\u60a8\u597d\n");
  EXPECT_EQ(LocalTextFrom(ini, 2, u"Hello", 0), u"Hello there");
  // No fallback to another section; an absent key is empty or a lone line feed.
  EXPECT_EQ(LocalTextFrom(ini, 1, u"Tip", 0), u"");
  EXPECT_EQ(LocalTextFrom(ini, 1, u"Tip", 1), u"\n");
  // Singapore and Macao read English.
  const std::pair<unsigned, int> ids[] = {{0x0804, 1}, {0x0404, 3}, {0x0C04, 3},
                                          {0x1004, 2}, {0x1404, 2}, {0x0409, 2}};
  for (const auto& [langId, code] : ids) EXPECT_EQ(LanguageCodeOf(langId), code) << langId;
}

TEST(Convertor, UnmappableCharactersBecomeSpaces) {
  CChineseConvertor convertor;
  EXPECT_EQ(convertor.ToMultiByte(u"/tmp/\u56fa\u4ef6\u00e9\u0e01.img", 1),
            "/tmp/\xb9\xcc\xbc\xfe\xa8\xa6 .img");  // Thai is not in GBK
  EXPECT_EQ(convertor.ToMultiByte(u"\u4e2d", 2), "\xa4\xa4");
  testsupport::ScopedEnv env("LC_ALL", "en_US.ISO-8859-1");
  EXPECT_EQ(convertor.ToMultiByte(u"a\u00e9\u4e2d", 0), "a\xe9 ");
  env.Set("C.UTF-8");
  EXPECT_EQ(convertor.ToMultiByte(u"a\u00e9\u4e2d", 0), "a\xc3\xa9\xe4\xb8\xad");
  EXPECT_EQ(convertor.ToMultiByte(nullptr, 0), "");
}

TEST(Directories, ExistsAndEnsure) {
  TempDir dir;
  WriteFile(dir.Join("plain"), "x");
  EXPECT_EQ(DirectoryExists(plat::FromUtf8(dir.path())), 1);
  EXPECT_EQ(DirectoryExists(WidePath(dir, "plain")), 0);
  EXPECT_EQ(DirectoryExists(WidePath(dir, "missing")), 0);

  EXPECT_EQ(EnsureDirectory(WidePath(dir, "a/b/\u56fa\u4ef6/c")), 1);
  EXPECT_TRUE(fs::is_directory(dir.Join("a/b/\xe5\x9b\xba\xe4\xbb\xb6/c")));
  EXPECT_EQ(EnsureDirectory(WidePath(dir, "plain/sub")), 0);  // a file stands in the way
  EXPECT_EQ(EnsureDirectory(WidePath(dir, "plain")), 0);
}

TEST(TextRoutines, ContainsNoCaseAndTrim) {
  const std::vector<std::u16string> names = {u"boot", u"System", u"\u00c4rger"};
  EXPECT_EQ(ContainsNoCase(u"BOOT", names), 1);
  EXPECT_EQ(ContainsNoCase(u"system", names), 1);
  EXPECT_EQ(ContainsNoCase(u"\u00e4RGER", names), 1);
  EXPECT_EQ(ContainsNoCase(u"boot2", names), 0);
  EXPECT_EQ(ContainsNoCase(u"boot", {}), 0);
  EXPECT_EQ(Trim(u" \t a b \r\n"), u"a b");
  EXPECT_EQ(Trim(u"   "), u"");
}

// FormatText fills numbered places in any order; FormatWithInt takes only one integer.
TEST(TextRoutines, FormatTexts) {
  EXPECT_EQ(FormatText(u"{2} 是 {1} 的分区", {u"sdb", u"sdb1"}), u"sdb1 是 sdb 的分区");
  EXPECT_EQ(FormatText(u"{1}{1} {3} {0} {x", {u"a", u"b"}), u"aa {3} {0} {x");
  EXPECT_EQ(FormatText(u"no places {", {}), u"no places {");
  EXPECT_EQ(FormatText(u"{1}", {u"{2}", u"b"}), u"{2}");  // an argument is never read again
  EXPECT_EQ(FormatWithInt(u"Writing partition %d", 3), u"Writing partition 3");
  EXPECT_EQ(FormatWithInt(u"%d%% of %d", 50), u"50% of %d");
  // Other conversions in a catalogue text are copied as written, never interpreted.
  EXPECT_EQ(FormatWithInt(u"%s %n %d", -7), u"%s %n -7");
  EXPECT_EQ(FormatWithInt(u"no number", 1), u"no number");
  EXPECT_EQ(FormatWithInt(u"trailing %", 1), u"trailing %");
}

TEST(TextRoutines, SizeTexts) {
  // Single precision rounds just below 1 TiB up to it.
  const std::pair<int64_t, const char16_t*> sizes[] = {
      {0, u"0B"},          {512, u"512B"},         {1023, u"1023B"},      {-1, u"-1B"},
      {1536, u"1.50K"},    {64LL << 20, u"64.00M"}, {4LL << 30, u"4.00G"}, {15LL << 29, u"7.50G"},
      {1LL << 40, u"1.00T"}, {2LL << 40, u"2.00T"}, {(1LL << 40) - 1, u"1.00T"}};
  for (const auto& [size, text] : sizes) EXPECT_EQ(FormatSizeText(size), text) << size;
}

}  // namespace
