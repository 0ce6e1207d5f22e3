// The engine's own XML reader: loads a file in any of the usual encodings into one UTF-16
// text, indexes its elements in a single pass, and walks them with a cursor
// (parent / current / child). Lenient: a broken document is indexed as far as it goes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One element of the index. Offsets and lengths count UTF-16 units of the document text.
struct ElementRecord {
  uint32_t start;          // offset of the element's '<'
  uint32_t length;         // to the end of the end tag (empty or unended: the start tag's length)
  uint32_t tagLengths;     // low 22 bits start tag length, high 10 bits end tag length
  uint32_t flagsAndLevel;  // low 16 bits nesting level, high bits the kElement* flags
  uint32_t parent;         // 0 = top level
  uint32_t firstChild;     // 0 = none
  uint32_t next;           // 0 = last sibling
  uint32_t previous;       // for a first child: the last sibling of its list
};
static_assert(sizeof(ElementRecord) == 32);

class XmlDocument {
 public:
  // Document flags.
  static constexpr uint32_t kUtf16LeMark = 0x1;
  static constexpr uint32_t kUtf8Mark = 0x4;
  static constexpr uint32_t kIgnoreCase = 0x8;
  static constexpr uint32_t kStreamRead = 0x10;
  static constexpr uint32_t kStreamWrite = 0x20;
  static constexpr uint32_t kUtf16BeMark = 0x80;

  // ElementRecord::flagsAndLevel.
  static constexpr uint32_t kLevelMask = 0xFFFF;
  static constexpr uint32_t kFirstChild = 0x80000;
  static constexpr uint32_t kUnended = 0x100000;
  static constexpr uint32_t kIllFormedInside = 0x200000;
  static constexpr uint32_t kDocNotWellFormed = 0x800000;  // record 0 only

  // ElementRecord::tagLengths; longer tags are clamped and make the document not well formed.
  static constexpr uint32_t kMaxStartTagLength = 0x3FFFFF;
  static constexpr uint32_t kMaxEndTagLength = 0x3FF;
  static constexpr uint32_t kMaxLevel = 0xFFFF;
  // Records per index segment; a segment is never reallocated, so records never move.
  static constexpr uint32_t kSegmentRecords = 0x10000;

  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reads, decodes and parses the file. True when it was read and is well formed; a document
  // that is not well formed is still indexed and can be walked. The cursor ends at 0/0/0.
  bool LoadFromFile(const std::u16string& path);
  // The same for bytes already in memory, as if they were the whole file.
  bool LoadFromBytes(std::string_view bytes);

  // Keeps the parent; current and child become 0 (before the first element of the level).
  void RewindLevel();
  // Moves forward to the next sibling whose name matches (empty name: any element).
  // Never goes back; on failure the cursor does not move.
  bool FindNextElement(const std::u16string& name);
  // The current element becomes the parent.
  bool EnterElement();
  // The parent becomes the current element.
  bool LeaveElement();
  // Decoded value of an attribute of the current element; empty when absent.
  std::u16string ReadAttribute(const std::u16string& name) const;

  // What loading and parsing found, as a small XML fragment of entries.
  const std::u16string& GetResult() const;
  // The decoded document text.
  const std::u16string& GetDoc() const;
  // Document flags (byte-order marks and the like).
  uint32_t GetDocFlags() const;

  // The element index: records 0 (the document) to GetElementCount() - 1; null beyond.
  uint32_t GetElementCount() const;
  const ElementRecord* GetElement(uint32_t index) const;
  // The name of an element of the index, and the names of its attributes as written.
  std::u16string GetElementName(uint32_t index) const;
  std::vector<std::u16string> GetAttributeNames(uint32_t index) const;
  // Cursor element indexes (0 = none).
  uint32_t GetParentIndex() const { return parent_; }
  uint32_t GetCurrentIndex() const { return current_; }
  uint32_t GetChildIndex() const { return child_; }

 private:
  struct OpenElement;

  bool LoadBytes(std::string bytes);
  void Decode(std::string bytes);
  bool Parse();
  void AddResult(std::u16string_view entry,
                 std::initializer_list<std::pair<const char*, std::u16string>> attributes);
  ElementRecord& Record(uint32_t index) { return segments_[index >> 16][index & 0xFFFF]; }
  const ElementRecord& Record(uint32_t index) const {
    return segments_[index >> 16][index & 0xFFFF];
  }
  uint32_t AddRecord();
  void ClearIndex();
  std::u16string_view ElementName(uint32_t index) const;
  // Calls visit(name, rawValue) for the attributes of an element until it returns true.
  template <typename Visit>
  void VisitAttributes(uint32_t index, Visit&& visit) const;

  std::u16string doc_;
  std::u16string result_;
  uint32_t parent_ = 0;
  uint32_t current_ = 0;
  uint32_t child_ = 0;
  uint32_t nodeType_ = 0;  // 1 when current_ names an element
  uint32_t nodeOffset_ = 0;  // non-element nodes only, which this reader never selects
  uint32_t nodeLength_ = 0;
  uint32_t docFlags_ = 0;
  // Segments of up to kSegmentRecords records; the last may be shorter when the text cannot
  // hold that many elements.
  std::vector<std::unique_ptr<ElementRecord[]>> segments_;
  uint32_t count_ = 0;       // records in use, 0 before the first parse
  uint32_t capacity_ = 0;    // records the index has grown to
  uint32_t maxRecords_ = 0;  // most records the text can produce
};
