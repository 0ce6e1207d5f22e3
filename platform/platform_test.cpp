#include "Platform.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>


namespace {

TEST(Utf, RoundTripsEveryPlaneAndReplacesMalformedInput) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(plat::ToUtf8(text), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z");
  EXPECT_EQ(plat::FromUtf8(plat::ToUtf8(text)), text);
  EXPECT_EQ(plat::FromUtf8("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(plat::FromUtf8("a\xe4\xb8"), u"a\uFFFD\uFFFD");      // truncated at the end
  EXPECT_EQ(plat::FromUtf8("\xc0\x80"), u"\uFFFD\uFFFD");         // overlong NUL
  EXPECT_EQ(plat::FromUtf8("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(plat::ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
}

TEST(Locale, LanguageIdsAndCodeSets) {
  const std::pair<const char*, unsigned> ids[] = {
      {"zh_CN.UTF-8", 0x0804}, {"zh_TW", 0x0404},       {"zh_HK.Big5HKSCS", 0x0C04},
      {"zh_SG.GBK", 0x1004},   {"zh_MO.UTF-8", 0x1404}, {"en_US.UTF-8", 0x0409},
      {"zh", 0x0409},          {"C", 0x0409},           {"", 0x0409}};
  for (const auto& [locale, id] : ids) EXPECT_EQ(plat::LangIdOfLocale(locale), id) << locale;
  EXPECT_EQ(plat::CodeSetOfLocale("zh_CN.GBK"), "GBK");
  EXPECT_EQ(plat::CodeSetOfLocale("de_DE.ISO-8859-15@euro"), "ISO-8859-15");
  EXPECT_EQ(plat::CodeSetOfLocale("C"), "UTF-8");
  EXPECT_EQ(plat::CodeSetOfLocale(""), "UTF-8");
}

TEST(Locale, EnvironmentOrder) {
  testsupport::ScopedEnv lang("LANG", "zh_TW.UTF-8"), messages("LC_MESSAGES", "zh_CN.UTF-8");
  testsupport::ScopedEnv all("LC_ALL", "");
  EXPECT_EQ(plat::SystemLangId(), 0x0804);  // empty LC_ALL does not count
  all.Set("zh_HK.UTF-8");
  EXPECT_EQ(plat::SystemLangId(), 0x0C04);
  all.Set(nullptr);
  messages.Set(nullptr);
  EXPECT_EQ(plat::SystemLangId(), 0x0404);
}

TEST(Iconv, UnmappableCharactersBecomeOneSpaceEach) {
  std::string out;
  ASSERT_TRUE(plat::ToCodeSet(u"a\u4e2d\u00e9\U0001F600b", "GBK", out));
  // GBK holds the CJK ideograph and e-acute; the emoji is one space.
  EXPECT_EQ(out, "a\xd6\xd0\xa8\xa6 b");
  EXPECT_FALSE(plat::ToCodeSet(u"x", "NO-SUCH-CODESET", out));
  // Decoding replaces invalid bytes.
  std::u16string text;
  ASSERT_TRUE(plat::FromCodeSet("\xd6\xd0\xce\xc4", "GBK", text));
  EXPECT_EQ(text, u"\u4e2d\u6587");
  ASSERT_TRUE(plat::FromCodeSet("a\xff" "b", "UTF-8", text));
  EXPECT_EQ(text, u"a\uFFFDb");
}

TEST(Files, StatusLengthRealPathsAndFolders) {
  EXPECT_TRUE(plat::IsDirectory(u"/"));
  EXPECT_FALSE(plat::IsRegularFile(u"/"));
  EXPECT_FALSE(plat::PathExists(u"/no/such/path/here"));
  EXPECT_EQ(plat::FileLength(u"/no/such/path/here"), -1);
  const std::u16string folder = plat::ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), u'/');
  EXPECT_TRUE(plat::IsDirectory(folder));
  EXPECT_FALSE(plat::ErrorText(ENOENT).empty());
  testsupport::TempDir dir;
  const std::u16string real = plat::RealPath(plat::FromUtf8(dir.path()));
  ASSERT_FALSE(real.empty());
  ASSERT_EQ(symlink("/etc", dir.Join("up").c_str()), 0);
  EXPECT_EQ(plat::RealPath(plat::FromUtf8(dir.Join("up/../etc"))), u"/etc");
  EXPECT_EQ(plat::RealPath(plat::FromUtf8(dir.Join("none"))), u"");
  EXPECT_TRUE(plat::IsInsideFolder(real + u"/a/b", real));
  EXPECT_TRUE(plat::IsInsideFolder(u"/etc", u"/"));
  EXPECT_FALSE(plat::IsInsideFolder(real, real));
  EXPECT_FALSE(plat::IsInsideFolder(real + u"x/a", real));  // a sibling sharing the prefix
  EXPECT_FALSE(plat::IsInsideFolder(u"/etc/passwd", real));
}

TEST(Mounts, OctalEscapesAreDecoded) {
  EXPECT_EQ(plat::DecodeMountEscapes("/media/boot\\040fs"), "/media/boot fs");
  EXPECT_EQ(plat::DecodeMountEscapes("a\\011b\\012c\\134d"), "a\tb\nc\\d");
  // Not an escape: left as written.
  for (const char* raw : {"x\\4", "x\\089", "x\\400", ""}) {
    EXPECT_EQ(plat::DecodeMountEscapes(raw), raw);
  }
}

TEST(Files, UserConfigFolderFollowsXdgAndIgnoresRelativePaths) {
  testsupport::ScopedEnv xdg("XDG_CONFIG_HOME", "/x/cfg");
  EXPECT_EQ(plat::UserConfigFolder(), u"/x/cfg/");
  xdg.Set("relative/cfg");
  testsupport::ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(plat::UserConfigFolder(), u"/home/someone/.config/");
  home.Set(nullptr);  // then the password database's
  EXPECT_EQ(plat::UserConfigFolder(), plat::FromUtf8(getpwuid(getuid())->pw_dir) + u"/.config/");
}

}  // namespace
