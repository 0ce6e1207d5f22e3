// What the end-to-end tests of brindle-cli share: running the program, reading its log, and
// the example firmware folder. Folders, tools and files are in testsupport/TestSupport.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/TestSupport.h"

namespace cli_test {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs brindle-cli with `args` (already quoted for the shell), standard input from `input`
// (a file path; /dev/null by default, so no terminal is there to ask on).
Outcome RunCli(const std::string& args, const std::string& input = "/dev/null");
// RunCli, and a test failure showing the arguments and both outputs unless it exits `status`.
Outcome RunCliExpecting(int status, const std::string& args);

// The program's path, quoted for the shell.
std::string Cli();

std::vector<std::string> SplitLines(const std::string& text);
// The catalogue text of a key, without a line feed, as UTF-8.
std::string KeyText(const char16_t* key);
// Every stdout line must be a log line; returns their texts after the timestamp, or records a
// test failure for each line that is not one.
std::vector<std::string> LogTexts(const std::string& out);
std::vector<std::string> KeyTexts(const std::vector<const char16_t*>& keys);
bool Has(const std::string& text, const std::string& part);

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

// The volume at `path` (a file or a partition node) has blkid's TYPE `fsType` and passes the
// file system's own check.
void ExpectVolume(const std::string& path, const std::string& fsType);
// Bytes [sector * 512, + length of `file`) of `image` equal the file (compared by cmp).
void ExpectFileAt(const std::string& image, uint64_t sector, const std::string& file);

// The end-to-end tests on the example firmware folder, generated once per suite; each test is
// skipped when a tool the example needs is missing.
class ExampleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  static std::string Example() { return example_->Join("fw"); }

  static inline std::string missingTool_;
  static inline std::unique_ptr<testsupport::TempDir> example_;  // removed at exit
  testsupport::TempDir dir_;
};

}  // namespace cli_test
