#include "ConfigReview.h"

#include "Platform.h"
#include "PlinthApp.h"
#include "XmlDocument.h"

#include <algorithm>

namespace {

// One element the reader knows: its attributes, the sections it searches forward in this
// order (each found once), and the child it reads any number of times.
struct Schema {
  const char16_t* name;
  std::vector<const char16_t*> attributes;
  std::vector<const Schema*> sections;
  const Schema* repeated;
};

const Schema kPartition{u"partition",
                        {u"name", u"capacity", u"imagePath", u"active", u"offset", u"type", u"sha256"},
                        {},
                        nullptr};
const Schema kUpdatePartition{u"partition", {u"name", u"imagePath", u"type", u"sha256"}, {},
                              nullptr};
const Schema kFile{u"file", {u"path", u"offset", u"sha256"}, {}, nullptr};
const Schema kPartitions{u"partitions", {}, {}, &kPartition};
const Schema kUpdatePartitions{u"partitions", {}, {}, &kUpdatePartition};
const Schema kBinFiles{u"binFiles", {}, {}, &kFile};
const Schema kUpdate{u"update", {}, {&kUpdatePartitions, &kBinFiles}, nullptr};
const Schema kDiskMaker{u"diskMaker", {}, {&kPartitions, &kBinFiles, &kUpdate}, nullptr};

bool Knows(const std::vector<const char16_t*>& names, const std::u16string& name) {
  return std::any_of(names.begin(), names.end(), [&](const char16_t* n) { return name == n; });
}

class Reviewer {
 public:
  Reviewer(const XmlDocument& doc, std::vector<ConfigNote>& notes,
           std::vector<ConfigFileEntry>* entries = nullptr)
      : doc_(doc), notes_(notes), entries_(entries) {
    const std::u16string& text = doc.GetDoc();
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == u'\n') lineEnds_.push_back(static_cast<uint32_t>(i));
    }
  }

  void Element(uint32_t index, const Schema& schema) {
    if (&schema == &kUpdate) inUpdate_ = true;
    for (const std::u16string& attribute : doc_.GetAttributeNames(index)) {
      if (!Knows(schema.attributes, attribute)) {
        Note(ConfigNote::kUnknownAttribute, index, attribute, doc_.GetElementName(index));
      }
    }
    std::vector<uint32_t> children;
    for (uint32_t c = doc_.GetElement(index)->firstChild; c != 0; c = doc_.GetElement(c)->next) {
      children.push_back(c);
    }
    // The reader's forward search: each section from just after the one found before it.
    std::vector<const Schema*> read(children.size(), nullptr);
    size_t from = 0;
    for (const Schema* section : schema.sections) {
      for (size_t k = from; k < children.size(); ++k) {
        if (doc_.GetElementName(children[k]) == section->name) {
          read[k] = section;
          from = k + 1;
          break;
        }
      }
    }
    for (size_t k = 0; k < children.size(); ++k) {
      const std::u16string name = doc_.GetElementName(children[k]);
      if (read[k] != nullptr) {
        Element(children[k], *read[k]);
      } else if (schema.repeated != nullptr && name == schema.repeated->name) {
        Entry(children[k], *schema.repeated);
        Element(children[k], *schema.repeated);
      } else if (std::any_of(schema.sections.begin(), schema.sections.end(),
                             [&](const Schema* s) { return name == s->name; })) {
        Note(ConfigNote::kSectionNotRead, children[k], name);
      } else {
        Note(ConfigNote::kUnknownElement, children[k], name);
      }
    }
  }

 private:
  void Entry(uint32_t index, const Schema& schema) {
    if (entries_ == nullptr) return;
    if (&schema == &kPartition) entries_->push_back({ConfigFileEntry::kPartitions, index});
    if (&schema == &kUpdatePartition) entries_->push_back({ConfigFileEntry::kUpdatePartitions, index});
    if (&schema == &kFile) {
      entries_->push_back(
          {inUpdate_ ? ConfigFileEntry::kUpdateBinFiles : ConfigFileEntry::kBinFiles, index});
    }
  }

  void Note(ConfigNote::Kind kind, uint32_t index, std::u16string text,
            std::u16string element = {}) {
    const uint32_t start = doc_.GetElement(index)->start;
    const size_t line = static_cast<size_t>(
        std::lower_bound(lineEnds_.begin(), lineEnds_.end(), start) - lineEnds_.begin());
    notes_.push_back(
        {kind, static_cast<uint32_t>(line) + 1, std::move(text), std::move(element), 0});
  }

  const XmlDocument& doc_;
  std::vector<ConfigNote>& notes_;
  std::vector<uint32_t> lineEnds_;
  std::vector<ConfigFileEntry>* entries_;
  bool inUpdate_ = false;  // sections are read in order, and update is the last
};

}  // namespace

std::vector<ConfigNote> ReviewConfig(const std::u16string& configPath) {
  std::vector<ConfigNote> notes;
  std::string bytes;
  if (const int error = plat::ReadRegularFile(configPath, kMaxConfigBytes, bytes); error != 0) {
    notes.push_back({ConfigNote::kUnreadable, 0, {}, {}, error});
    return notes;
  }
  XmlDocument doc;
  if (!doc.LoadFromBytes(bytes)) {
    // The reader reads nothing of a document that is not well formed.
    notes.push_back({ConfigNote::kNotWellFormed, 0, doc.GetResult(), {}, 0});
    return notes;
  }
  Reviewer reviewer(doc, notes);
  // A well-formed document has one top-level element, its root.
  const uint32_t root = doc.GetElement(0)->firstChild;
  if (doc.GetElementName(root) == kDiskMaker.name) {
    reviewer.Element(root, kDiskMaker);
  } else {
    const Schema document{u"", {}, {}, nullptr};
    reviewer.Element(0, document);
  }
  return notes;
}

std::vector<ConfigFileEntry> ConfigFileEntries(const XmlDocument& doc) {
  std::vector<ConfigNote> notes;
  std::vector<ConfigFileEntry> entries;
  Reviewer reviewer(doc, notes, &entries);
  const uint32_t root = doc.GetElement(0)->firstChild;
  if (root != 0 && doc.GetElementName(root) == kDiskMaker.name) reviewer.Element(root, kDiskMaker);
  return entries;
}
