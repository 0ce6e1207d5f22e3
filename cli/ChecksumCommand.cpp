// brindle-cli checksum: a copy of config.xml with a sha256 attribute on every entry that names
// a file, for whoever prepares a firmware release. The copy is made from config.xml's own
// bytes, with the attributes set in place: its encoding (UTF-8, GBK, UTF-16), layout and
// comments stay exactly as they were.
#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "CliCommon.h"
#include "Commands.h"
#include "ConfigReview.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "Sha256.h"
#include "XmlDocument.h"

namespace {

constexpr const char* kDefaultOutput = "config-sha256.xml";

// config.xml's text as code units of one, two or four bytes: markup is ASCII in all of them.
class Units {
 public:
  explicit Units(const std::string& bytes) : bytes_(bytes) {
    auto starts = [&](std::string_view mark) { return bytes.compare(0, mark.size(), mark) == 0; };
    if (starts(std::string_view("\xFF\xFE\0\0", 4))) {
      width_ = 4;
    } else if (starts(std::string_view("\0\0\xFE\xFF", 4))) {
      width_ = 4;
      bigEndian_ = true;
    } else if (starts("\xFF\xFE") || (bytes.size() > 1 && bytes[0] != 0 && bytes[1] == 0)) {
      width_ = 2;
    } else if (starts("\xFE\xFF") || (bytes.size() > 1 && bytes[0] == 0 && bytes[1] != 0)) {
      width_ = 2;
      bigEndian_ = true;
    }
  }
  size_t size() const { return bytes_.size() / width_; }
  uint32_t operator[](size_t i) const {
    uint32_t unit = 0;
    for (size_t k = 0; k < width_; ++k) {
      const auto byte = static_cast<uint8_t>(bytes_[i * width_ + (bigEndian_ ? k : width_ - 1 - k)]);
      unit = unit << 8 | byte;
    }
    return unit;
  }
  size_t ByteOffset(size_t unit) const { return unit * width_; }
  // ASCII text in this encoding.
  std::string Encode(std::string_view ascii) const {
    std::string out;
    for (const char c : ascii) {
      std::string unit(width_, '\0');
      unit[bigEndian_ ? width_ - 1 : 0] = c;
      out += unit;
    }
    return out;
  }

 private:
  const std::string& bytes_;
  size_t width_ = 1;
  bool bigEndian_ = false;
};

// A start tag: its name, where a new attribute goes (after the last one), and the value of a
// sha256 attribute it has already.
struct StartTag {
  std::string name;  // ASCII letters only; others as '?'
  size_t insertAt = 0;
  size_t shaFrom = 0;
  size_t shaTo = 0;  // 0: none
};

bool Space(uint32_t u) { return u == ' ' || u == '\t' || u == '\r' || u == '\n'; }

// Every start tag in document order, past comments, processing instructions, CDATA sections,
// the document type and end tags. Nothing when the text ends inside markup.
std::optional<std::vector<StartTag>> ScanStartTags(const Units& text) {
  const size_t n = text.size();
  auto at = [&](size_t i, std::string_view s) {
    for (size_t k = 0; k < s.size(); ++k) {
      if (i + k >= n || text[i + k] != static_cast<unsigned char>(s[k])) return false;
    }
    return true;
  };
  auto find = [&](size_t i, std::string_view s) -> std::optional<size_t> {
    for (; i < n; ++i) {
      if (at(i, s)) return i + s.size();
    }
    return std::nullopt;
  };
  std::vector<StartTag> tags;
  size_t i = 0;
  while (i < n) {
    if (text[i] != '<') {
      ++i;
      continue;
    }
    std::optional<size_t> next;
    if (at(i, "<!--")) {
      next = find(i + 4, "-->");
    } else if (at(i, "<![CDATA[")) {
      next = find(i + 9, "]]>");
    } else if (at(i, "<?")) {
      next = find(i + 2, "?>");
    } else if (at(i, "</")) {
      next = find(i + 2, ">");
    } else if (at(i, "<!")) {
      int depth = 0;
      for (size_t j = i + 2; j < n && !next; ++j) {
        if (text[j] == '[') ++depth;
        if (text[j] == ']') --depth;
        if (text[j] == '>' && depth <= 0) next = j + 1;
      }
    } else {
      StartTag tag;
      size_t j = i + 1;
      for (; j < n && !Space(text[j]) && text[j] != '/' && text[j] != '>'; ++j) {
        tag.name.push_back(text[j] < 0x80 ? static_cast<char>(text[j]) : '?');
      }
      tag.insertAt = j;
      for (;;) {
        while (j < n && Space(text[j])) ++j;
        if (j >= n) return std::nullopt;
        if (text[j] == '>' || at(j, "/>")) {
          next = j + (text[j] == '>' ? 1 : 2);
          break;
        }
        std::string name;
        for (; j < n && !Space(text[j]) && text[j] != '=' && text[j] != '>'; ++j) {
          name.push_back(text[j] < 0x80 ? static_cast<char>(text[j]) : '?');
        }
        while (j < n && Space(text[j])) ++j;
        if (j >= n || text[j] != '=') return std::nullopt;
        ++j;
        while (j < n && Space(text[j])) ++j;
        if (j >= n || (text[j] != '"' && text[j] != '\'')) return std::nullopt;
        const uint32_t quote = text[j];
        const size_t valueFrom = ++j;
        while (j < n && text[j] != quote) ++j;
        if (j >= n) return std::nullopt;
        if (name == "sha256") {
          tag.shaFrom = valueFrom;
          tag.shaTo = j;
        }
        tag.insertAt = ++j;
      }
      tags.push_back(std::move(tag));
    }
    if (!next) return std::nullopt;
    i = *next;
  }
  return tags;
}

// Whether two paths name one existing file (through links too).
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Written whole or not at all: a temporary file beside it, renamed over it.
int WriteWhole(const std::string& path, const std::string& bytes) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return errno;
  fchmod(fd, 0644);
  size_t done = 0;
  int error = 0;
  while (done < bytes.size() && error == 0) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temporary.c_str());
  return error;
}

}  // namespace

int RunChecksum(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  ArgReader reader(args);
  while (!reader.Done()) {
    if (reader.Flag("-h") || reader.Flag("--help")) return ShowCommandHelp("checksum");
    if (reader.Current().size() > 1 && reader.Current()[0] == '-') {
      return UsageError("checksum", Text(u"CliUnknownOption", {reader.Current()}));
    }
    positional.push_back(reader.Current());
    reader.Flag(reader.Current());
  }
  if (positional.empty() || positional.size() > 2) {
    return UsageError("checksum", Text(u"CliChecksumArgs"));
  }
  const std::string& folder = positional[0];
  if (!CheckFirmwareFolder(folder)) return kExitFailure;
  const std::string configPath = folder + "/config.xml";
  const std::string output = positional.size() == 2 ? positional[1] : folder + "/" + kDefaultOutput;
  if (SameFile(output, configPath)) {
    std::cerr << Text(u"CliChecksumSameFile", {output}) << "\n";
    return kExitFailure;
  }

  std::string bytes;
  if (const int error = plat::ReadRegularFile(plat::FromUtf8(configPath), kMaxConfigBytes, bytes);
      error != 0) {
    std::cerr << Text(u"CliConfigUnreadable", {Utf8(plat::ErrorText(error))}) << "\n";
    return kExitFailure;
  }
  XmlDocument doc;
  if (!doc.LoadFromBytes(bytes)) {
    std::cerr << Text(u"CliConfigNotWellFormed", {Utf8(doc.GetResult())}) << "\n";
    return kExitFailure;
  }
  // The paths as the jobs resolve them, list by list in the order the entries come.
  CPlinthApp job;
  job.ParseConfig(plat::FromUtf8(configPath));
  std::vector<std::u16string> paths[4];
  for (const PartitionSpec& p : job.partitions) paths[ConfigFileEntry::kPartitions].push_back(p.imagePath);
  for (const BinFileSpec& b : job.binFiles) paths[ConfigFileEntry::kBinFiles].push_back(b.path);
  for (const UpdatePartitionSpec& u : job.updatePartitions) {
    paths[ConfigFileEntry::kUpdatePartitions].push_back(u.imagePath);
  }
  for (const BinFileSpec& b : job.updateBinFiles) paths[ConfigFileEntry::kUpdateBinFiles].push_back(b.path);

  const Units units(bytes);
  const std::optional<std::vector<StartTag>> tags = ScanStartTags(units);
  const std::vector<ConfigFileEntry> entries = ConfigFileEntries(doc);
  size_t taken[4] = {};
  bool matched = tags && tags->size() + 1 == doc.GetElementCount();
  // Each entry's tag, and the digest of the file it names (entries without a file get none).
  std::vector<std::pair<const StartTag*, std::u16string>> edits;
  for (const ConfigFileEntry& entry : entries) {
    if (!matched) break;
    std::vector<std::u16string>& list = paths[entry.list];
    const StartTag& tag = (*tags)[entry.element - 1];
    if (taken[entry.list] >= list.size() || plat::FromUtf8(tag.name) != doc.GetElementName(entry.element)) {
      matched = false;
      break;
    }
    const std::u16string& path = list[taken[entry.list]++];
    if (path.empty()) continue;
    const std::u16string digest = Sha256OfFile(path);
    if (digest.empty()) {
      std::cerr << Text(u"CliChecksumNoFile", {Utf8(path), Utf8(plat::ErrorText(errno))}) << "\n";
      return kExitFailure;
    }
    edits.emplace_back(&tag, digest);
  }
  if (!matched) {
    std::cerr << Text(u"CliChecksumUnmatched") << "\n";
    return kExitFailure;
  }

  std::string copy;
  size_t from = 0;
  for (const auto& [tag, digest] : edits) {
    const std::string hex = Utf8(digest);
    if (tag->shaTo != 0) {
      copy.append(bytes, from, units.ByteOffset(tag->shaFrom) - from);
      copy += units.Encode(hex);
      from = units.ByteOffset(tag->shaTo);
    } else {
      copy.append(bytes, from, units.ByteOffset(tag->insertAt) - from);
      copy += units.Encode(" sha256=\"" + hex + "\"");
      from = units.ByteOffset(tag->insertAt);
    }
  }
  copy.append(bytes, from, std::string::npos);
  if (const int error = WriteWhole(output, copy); error != 0) {
    std::cerr << Text(u"CliChecksumCannotWrite", {output, Utf8(plat::ErrorText(error))}) << "\n";
    return kExitFailure;
  }
  std::cout << Text(u"CliChecksumDone", {std::to_string(edits.size()), output}) << "\n";
  return kExitOk;
}
