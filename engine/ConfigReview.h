// What the configuration reader passes over in config.xml without a word: elements and
// attributes it does not know (typos such as "partiton" or "capcity"), and sections it does
// not read because of where they stand. Jobs read config.xml as always; this is for a check
// of a firmware folder, so that such mistakes are seen before a card is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConfigNote {
  enum Kind {
    kUnreadable,        // error: the errno value (EINVAL: no regular file; EFBIG: too large)
    kNotWellFormed,     // text: what the XML reader found
    kUnknownElement,    // text: the element's name
    kUnknownAttribute,  // text: the attribute's name; element: its element's
    kSectionNotRead,    // text: the name of a section standing before one read earlier, or again
  };
  Kind kind;
  uint32_t line = 0;  // of the element, counting from 1; 0 for the file as a whole
  std::u16string text;
  std::u16string element;
  int error = 0;
};

std::vector<ConfigNote> ReviewConfig(const std::u16string& configPath);

class XmlDocument;

// The elements of a loaded config.xml that the jobs read as files to write, in document order,
// which is the order of the lists they are read into.
struct ConfigFileEntry {
  enum List { kPartitions, kBinFiles, kUpdatePartitions, kUpdateBinFiles };
  List list;
  uint32_t element;  // index in the document
};
std::vector<ConfigFileEntry> ConfigFileEntries(const XmlDocument& doc);
