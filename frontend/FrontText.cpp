#include "FrontText.h"

#include "DiskParse.h"
#include "LocalText.h"
#include "Platform.h"
#include "TextUtil.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kTimestampMax = 127;
constexpr size_t kChooserTitleMax = 49;

}  // namespace

std::u16string FormatDiskSize(int64_t bytes) { return FormatSizeText(bytes); }

std::u16string FormatElapsed(uint64_t seconds) {
  const int32_t hours = static_cast<int32_t>(seconds / 3600);
  const uint64_t rest = seconds - 3600ull * static_cast<uint64_t>(static_cast<uint32_t>(hours));
  const int32_t minutes = static_cast<int32_t>(rest / 60);
  const int32_t secs = static_cast<int32_t>(rest - 60ull * static_cast<uint64_t>(minutes));
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", hours, minutes, secs);
  return plat::FromUtf8(text);
}

std::u16string FormatTimestamp(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return {};
  char text[kTimestampMax + 1];
  const size_t length = std::strftime(text, sizeof text, "%Y%m%d-%H:%M:%S", &local);
  if (length == 0) return {};
  return plat::FromUtf8(std::string(text, length));
}

std::u16string OutputLine(const std::u16string& timestamp, const std::u16string& text) {
  return timestamp + u"   " + text + u"\r\n";
}

std::u16string RowTextOfLine(const std::u16string& line) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == u'\r' || line[end - 1] == u'\n')) --end;
  return line.substr(0, end);
}

std::u16string DiskLabel(int position, uint64_t diskSize) {
  char head[32];
  std::snprintf(head, sizeof head, "HD%d: ", position);
  return plat::FromUtf8(head) + FormatDiskSize(static_cast<int64_t>(diskSize));
}

std::u16string DiskItemText(int position, const DISK_DATA& disk) {
  std::u16string text = DiskLabel(position, disk.diskSize) + u" \u2014 ";
  const std::string description = DiskDescription(disk);
  const std::u16string node = plat::FromUtf8(disk.devicePath);
  text += description.empty() ? node : plat::FromUtf8(description) + u" (" + node + u")";
  if (disk.systemUse[0] != '\0') {
    text += u" [" + LocalText(u"SystemDiskTag", 0) + u"]";
  } else if (disk.readOnly != 0) {
    text += u" [" + LocalText(u"ReadOnlyTag", 0) + u"]";
  }
  return text;
}

int DiskPositionOfLabel(const std::u16string& label) {
  const size_t colon = label.find(u':');
  if (colon == std::u16string::npos || colon <= 2) return -1;
  int64_t value = 0;
  for (size_t i = 2; i < colon; ++i) {
    const char16_t c = label[i];
    if (c < u'0' || c > u'9') return -1;
    value = value * 10 + (c - u'0');
    if (value > INT32_MAX) return -1;
  }
  return static_cast<int>(value);
}

std::u16string QtTranslationName(uint16_t langId) {
  // The catalogue's choice of language, so that Qt's buttons speak the window's language.
  switch (LanguageCodeOf(langId)) {
    case 1:
      return u"zh_CN";
    case 3:
      return u"zh_TW";
    default:
      return {};
  }
}

const char16_t* HelpFileName(uint16_t langId) {
  switch (langId) {
    case 0x0804:
      return u"help_ch.mht";
    case 0x0404:
    case 0x0C04:
      return u"help_tw.mht";
    default:
      return u"help_en.mht";
  }
}

std::u16string ChooserTitle(const std::u16string& text) {
  size_t length = std::min(text.size(), kChooserTitleMax);
  // Never keep half of a surrogate pair.
  if (length == kChooserTitleMax && length < text.size() && text[length - 1] >= 0xD800 &&
      text[length - 1] <= 0xDBFF) {
    --length;
  }
  return text.substr(0, length);
}
