// The one place the engine, the text catalogue and the front ends meet the operating system:
// UTF-16 <-> UTF-8 at the system boundary, code-set conversion through iconv, the locale,
// the executable's folder, file status and errno texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// UTF-8 <-> UTF-16. Malformed input never fails: each bad byte or lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// The locale as the system's default language: LC_ALL, LC_MESSAGES, LANG in that order.
// zh_CN 0x0804, zh_TW 0x0404, zh_HK 0x0C04, zh_SG 0x1004, zh_MO 0x1404, anything else 0x0409.
uint16_t SystemLangId();
// Same rule on a given locale name ("zh_CN.UTF-8", "en_US", "C", "").
uint16_t LangIdOfLocale(std::string_view locale);
// The code set of the locale (the part after '.', before '@'), "UTF-8" when none is named.
std::string LocaleCodeSet();
std::string CodeSetOfLocale(std::string_view locale);

// Code-set conversion through iconv. `code` is an iconv name ("GBK", "BIG5", "UTF-8").
// ToCodeSet: characters the target cannot hold become `replacement`. Returns false only when
// iconv does not know the code set.
bool ToCodeSet(std::u16string_view text, const std::string& code, std::string& out,
               char replacement = ' ');
// FromCodeSet: invalid or incomplete input sequences become U+FFFD.
bool FromCodeSet(std::string_view bytes, const std::string& code, std::u16string& out);

// Folder of /proc/self/exe, ending in '/'.
std::u16string ExecutableFolder();

// File status on a UTF-16 path.
bool PathExists(std::u16string_view path);       // file, folder or anything else that exists
bool IsDirectory(std::u16string_view path);      // follows links
bool IsRegularFile(std::u16string_view path);    // follows links
// Size in bytes of a regular file or block device; -1 when it cannot be opened.
int64_t FileLength(std::u16string_view path);

// The user's configuration folder, ending in '/': $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config (the password database's home when HOME is unset).
std::u16string UserConfigFolder();
// Creates `path` and every missing folder above it with mode 0700 (the user's own settings);
// true when it is a folder afterwards.
bool MakePrivateFolders(const std::u16string& path);
// The absolute path with every link, "." and ".." resolved; empty when it does not exist.
std::u16string RealPath(std::u16string_view path);
// Whether the real path `path` lies inside the real folder `folder`.
bool IsInsideFolder(std::u16string_view path, std::u16string_view folder);
// Reads a whole regular file of at most `maxBytes` bytes. 0, or an errno value: EINVAL for
// anything but a regular file (a FIFO is never waited on), EFBIG for a larger file.
int ReadRegularFile(std::u16string_view path, uint64_t maxBytes, std::string& bytes);

// strerror text of an errno value, as UTF-16.
std::u16string ErrorText(int err);

}  // namespace plat

namespace plat {

// A field of /proc/self/mountinfo or /proc/swaps with its octal escapes decoded: the kernel
// writes a blank, tab, newline or backslash in a name as "\ooo".
std::string DecodeMountEscapes(std::string_view field);

}  // namespace plat
