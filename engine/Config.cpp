#include "Config.h"

#include "Platform.h"
#include "PlinthApp.h"
#include "TextUtil.h"
#include "XmlDocument.h"

namespace {

constexpr int64_t kMiB = 1048576;

bool IsSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Appends one BinFileSpec per `file` of the entered binFiles element.
void ReadBinFiles(XmlDocument& doc, const std::u16string& configPath,
                  std::vector<BinFileSpec>& out) {
  while (doc.FindNextElement(u"file")) {
    BinFileSpec spec;
    spec.path = ResolveImagePath(doc.ReadAttribute(u"path"), configPath);  // not trimmed
    spec.offset = SectorOf(doc.ReadAttribute(u"offset"));
    spec.sha256 = Trim(doc.ReadAttribute(u"sha256"));
    out.push_back(std::move(spec));
  }
}

}  // namespace

int64_t ParseDecimal(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // Accumulate towards the sign's side so that INT64_MIN itself is reachable.
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const int digit = text[i] - u'0';
    if (negative) {
      if (value < (kMin + digit) / 10) return kMin;
      value = value * 10 - digit;
    } else {
      if (value > (kMax - digit) / 10) return kMax;
      value = value * 10 + digit;
    }
  }
  return value;
}

int64_t CapacityBytesOf(std::u16string_view text) {
  const int64_t mib = ParseDecimal(text);
  if (mib > kCapacityTooBig / kMiB || mib < std::numeric_limits<int64_t>::min() / kMiB) {
    return kCapacityTooBig;
  }
  return mib * kMiB;
}

int32_t SectorOf(std::u16string_view text) {
  const int64_t value = ParseDecimal(text);
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
    return kOffsetOutOfRange;
  }
  return static_cast<int32_t>(value);
}

int32_t TypeCodeOf(std::u16string_view text) {
  const std::u16string type = Trim(text);
  if (EqualsNoCase(type, u"fat32")) return kTypeFat32;
  if (EqualsNoCase(type, u"fat16")) return kTypeFat16;
  if (EqualsNoCase(type, u"ext3")) return kTypeExt3;
  if (EqualsNoCase(type, u"ext4")) return kTypeExt4;
  return kTypeUnknown;
}

std::u16string ResolveImagePath(std::u16string_view relative, std::u16string_view configPath) {
  if (relative.empty()) return {};
  std::u16string result;
  const size_t slash = configPath.rfind(u'/');
  if (slash != std::u16string_view::npos) result.assign(configPath.substr(0, slash + 1));
  for (const char16_t c : relative) result.push_back(c == u'\\' ? u'/' : c);
  return result;
}

std::u16string FolderOf(std::u16string_view configPath) {
  const size_t slash = configPath.rfind(u'/');
  return slash == std::u16string_view::npos ? std::u16string(u".")
                                           : std::u16string(configPath.substr(0, slash));
}

void CPlinthApp::ParseConfig(const std::u16string& configPath) {
  firmwareFolder = FolderOf(configPath);
  // Read here rather than by the reader: a FIFO must not hang the job, nor /dev/zero fill
  // the memory; either is simply no configuration.
  std::string bytes;
  if (plat::ReadRegularFile(configPath, kMaxConfigBytes, bytes) != 0) return;
  XmlDocument doc;
  if (!doc.LoadFromBytes(bytes)) return;
  doc.RewindLevel();
  if (!doc.FindNextElement(u"diskMaker") || !doc.EnterElement()) return;

  // The sections are searched forward only: partitions, then binFiles, then update.
  if (doc.FindNextElement(u"partitions") && doc.EnterElement()) {
    while (doc.FindNextElement(u"partition")) {
      PartitionSpec spec;
      spec.name = Trim(doc.ReadAttribute(u"name"));
      spec.capacityBytes = CapacityBytesOf(doc.ReadAttribute(u"capacity"));
      spec.imagePath = ResolveImagePath(Trim(doc.ReadAttribute(u"imagePath")), configPath);
      spec.active = EqualsNoCase(Trim(doc.ReadAttribute(u"active")), u"true") ? 1 : 0;
      spec.offset = SectorOf(Trim(doc.ReadAttribute(u"offset")));
      spec.type = TypeCodeOf(doc.ReadAttribute(u"type"));
      spec.sha256 = Trim(doc.ReadAttribute(u"sha256"));
      partitions.push_back(std::move(spec));
    }
    doc.LeaveElement();
  }

  if (doc.FindNextElement(u"binFiles") && doc.EnterElement()) {
    ReadBinFiles(doc, configPath, binFiles);
    doc.LeaveElement();
  }

  if (doc.FindNextElement(u"update") && doc.EnterElement()) {
    if (doc.FindNextElement(u"partitions") && doc.EnterElement()) {
      while (doc.FindNextElement(u"partition")) {
        UpdatePartitionSpec spec;
        spec.name = Trim(doc.ReadAttribute(u"name"));
        spec.index = FindPartitionIndex(spec.name);
        spec.imagePath = ResolveImagePath(Trim(doc.ReadAttribute(u"imagePath")), configPath);
        spec.type = TypeCodeOf(doc.ReadAttribute(u"type"));
        spec.sha256 = Trim(doc.ReadAttribute(u"sha256"));
        updatePartitions.push_back(std::move(spec));
      }
      doc.LeaveElement();
    }
    if (doc.FindNextElement(u"binFiles") && doc.EnterElement()) {
      ReadBinFiles(doc, configPath, updateBinFiles);
      doc.LeaveElement();
    }
    doc.LeaveElement();
  }
}

int32_t CPlinthApp::FindPartitionIndex(const std::u16string& name) const {
  int32_t found = -1;
  for (size_t i = 0; i < partitions.size(); ++i) {
    if (partitions[i].name != name) continue;
    if (found != -1) return -2;
    found = static_cast<int32_t>(i);
  }
  return found;
}
