// Constant lookup tables of the XML reader, shared by every document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xml {

constexpr unsigned kEntityBucketCount = 130;
constexpr unsigned kCharsetBucketCount = 155;
constexpr size_t kMaxEntityNameLength = 9;
constexpr size_t kMaxCharsetNameLength = 100;

// Code pages with a meaning of their own in CharsetCodePage.
constexpr int kSystemCodePage = 0;
constexpr int kUnknownCodePage = -1;
constexpr int kUtf32CodePage = 65005;  // names beginning "UTF-32": the converter's UTF-32 path
constexpr int kUtf8CodePage = 65001;

// Each bucket is a run of entries: name length, value, name in lower case (digits fixed width).
extern const char* const kEntityBuckets[kEntityBucketCount];
extern const char* const kCharsetBuckets[kCharsetBucketCount];

// The bucket of a lower-cased name: the sum of its UTF-16 units modulo the bucket count.
unsigned BucketOf(std::u16string_view loweredName, unsigned bucketCount);

// Windows code page of an encoding name: kSystemCodePage for "", kUtf32CodePage for names
// beginning "UTF-32", kUnknownCodePage when the name is not in the table.
int CharsetCodePage(std::u16string_view name);

// iconv names for a Windows code page, best first; empty when there is none.
std::vector<std::string> IconvNamesOfCodePage(int codePage);

// Code point of an entity reference name as written (without '&' and ';'); 0 when unknown.
// ASCII case is ignored except between names that HTML tells apart only by case.
uint32_t EntityCodePoint(std::u16string_view name);

}  // namespace xml
