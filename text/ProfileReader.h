// INI ("profile") files as the system reads them: section and key names ignore letter case,
// names and values are trimmed, UTF-8 with or without a byte-order mark and UTF-16 with a mark
// are read alike, and a value comes back cut to 259 characters.
#pragma once

#include <string>

class ProfileReader {
 public:
  explicit ProfileReader(std::u16string path) : path_(std::move(path)) {}

  // The value of `key` in `section`; the empty text when the file, section or key is missing.
  std::u16string Read(const std::u16string& section, const std::u16string& key) const;

  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
};

// Sets `key` in `section`, creating the file, the section or the key as needed and keeping the
// rest of the file. Returns false when the file cannot be written.
bool WriteProfileString(const std::u16string& path, const std::u16string& section,
                        const std::u16string& key, const std::u16string& value);
