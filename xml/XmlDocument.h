// The engine's own XML reader: loads a file in any of the usual encodings into one UTF-16
// text, indexes its elements in a single pass, and walks them with a cursor
// (parent / current / child). Lenient: a broken document is indexed as far as it goes.
#pragma once

#include <cstdint>
#include <string>

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Reads, decodes and parses the file. True when it was read and is well formed; a document
  // that is not well formed is still indexed and can be walked. The cursor ends at 0/0/0.
  bool LoadFromFile(const std::u16string& path);

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

 private:
  struct Impl;
  Impl* impl_;
};
