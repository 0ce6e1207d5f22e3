// What the end-to-end tests of brindle-cli share: running the program, reading its log, and
// the example firmware folder. Folders, tools and files are in testsupport/TestSupport.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli_test {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs brindle-cli with `args` (already quoted for the shell), standard input from `input`
// (a file path; /dev/null by default, so no terminal is there to ask on).
Outcome RunCli(const std::string& args, const std::string& input = "/dev/null");

bool IsRoot();

std::vector<std::string> SplitLines(const std::string& text);
// The catalogue text of a key, without a line feed, as UTF-8.
std::string KeyText(const char16_t* key);
// Every stdout line must be a log line; returns their texts after the timestamp, or records a
// test failure for each line that is not one.
std::vector<std::string> LogTexts(const std::string& out);
std::vector<std::string> KeyTexts(const std::vector<const char16_t*>& keys);

// The tools examples/make-example needs; empty when all are there, else the missing one.
std::string MissingExampleTool();
// Generates the example firmware folder at `folder`.
bool MakeExample(const std::string& folder);

// The example's layout in sectors, worked out by hand from its config.xml: boot at 2048 for
// 64 MiB; the extended partition from the sector after it; each logical partition 63 sectors
// after its extended boot record.
struct ExamplePart {
  uint64_t start;
  uint64_t count;
  const char* fsType;  // blkid's TYPE
};
inline constexpr ExamplePart kExampleParts[] = {
    {2048, 131072, "vfat"},     // boot, from boot.img
    {133184, 196608, "vfat"},   // data, empty FAT32
    {329855, 49152, "vfat"},    // cache, empty FAT16
    {379070, 32768, "ext4"},    // misc, empty ext4
    {411901, 262144, "ext4"},   // rootfs, from rootfs.img
};
inline constexpr uint64_t kExampleEndSector = 674045;
// Partition numbers as the kernel and sfdisk count them: 1, then 5 onwards.
inline constexpr int kExamplePartNumbers[] = {1, 5, 6, 7, 8};

// fsck of one partition of an image (copied out with dd), by its file system type: the exit
// status, with what the tools said in `output`.
int CheckPartition(const std::string& image, const ExamplePart& part, const std::string& scratch,
                   std::string* output);

}  // namespace cli_test
