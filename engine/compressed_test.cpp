// Compressed images read as what they decompress to, checked with the compressors' own tools;
// SHA-256 against known digests; the checksum and size checks of validation.
#include "LocalText.h"
#include "Platform.h"
#include "PlinthApp.h"
#include "Sha256.h"
#include "SourceReader.h"
#include "testing/TestDisk.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>

namespace {

using testsupport::Quote;
using testsupport::RunTool;
using testsupport::TempDir;

std::u16string U(const std::string& s) { return plat::FromUtf8(s); }

std::string HexOf(std::string_view text) {
  Sha256 hash;
  hash.Add(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return plat::ToUtf8(HexDigest(hash.Finish()));
}

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block's end.
  EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_TRUE(IsSha256Text(U(HexOf("x"))));
  EXPECT_FALSE(IsSha256Text(U(HexOf("x").substr(1))));
  EXPECT_FALSE(IsSha256Text(U(HexOf("x").substr(1) + "g")));
  // Files are compared with sha256sum by the command-line tests.
  EXPECT_TRUE(Sha256OfFile(u"/nonexistent/brindle.img").empty());
}

struct Format {
  const char* tool;
  const char* compress;  // writes to standard output
  const char* suffix;
};

class CompressedSourceTest : public ::testing::TestWithParam<Format> {
 protected:
  void SetUp() override {
    if (!testsupport::HaveTool(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " missing";
    // Random data, a long run of zeros, and a tail that ends inside a sector.
    std::mt19937 random(7);
    // More than the decompressing thread runs ahead, so it waits for the reader as well.
    original_.resize(1536 * 1024 + 4 * 1048576 + 1001);
    for (size_t i = 0; i < 1536 * 1024; ++i) original_[i] = static_cast<uint8_t>(random());
    for (size_t i = original_.size() - 1001; i < original_.size(); ++i) original_[i] = 0x5A;
    ASSERT_TRUE(testsupport::WriteFile(dir_.Join("plain"), original_));
  }

  // From the file (zstd records its size then), or from a pipe (it does not).
  std::string Compress(const std::string& name, bool piped = false) {
    const std::string path = dir_.Join(name);
    const std::string plain = Quote(dir_.Join("plain"));
    const std::string tool = GetParam().compress;
    EXPECT_EQ(RunTool((piped ? "cat " + plain + " | " + tool : tool + " " + plain) + " > " +
                      Quote(path)), 0);
    return path;
  }

  // Everything the source yields, read in pieces of an odd size; false when a read failed.
  static bool ReadAll(SourceReader& source, std::vector<uint8_t>& out, int& error) {
    uint8_t piece[70001];
    for (;;) {
      const int64_t n = source.Read(piece, sizeof piece);
      if (n < 0) {
        error = errno;
        return false;
      }
      out.insert(out.end(), piece, piece + n);
      if (static_cast<size_t>(n) < sizeof piece) return true;
    }
  }

  // Whether the file is refused: at opening, or by a read, as damaged.
  static bool Refused(const std::string& path) {
    DiskJob.measuredSources.clear();
    std::unique_ptr<SourceReader> source = OpenFileSource(U(path));
    if (source == nullptr) return errno == EBADMSG;
    std::vector<uint8_t> out;
    int error = 0;
    return !ReadAll(*source, out, error) && error == EBADMSG;
  }

  TempDir dir_;
  std::vector<uint8_t> original_;
};

TEST_P(CompressedSourceTest, ReadsAsTheDecompressedBytes) {
  // One stream, one written from a pipe, and two one after the other (as cat joins them).
  const std::string single = Compress("one");
  const std::string piped = Compress("piped", true);
  const std::string twice = dir_.Join("two");
  RunTool("cat " + Quote(single) + " " + Quote(single) + " > " + Quote(twice));
  std::vector<uint8_t> doubled = original_;
  doubled.insert(doubled.end(), original_.begin(), original_.end());
  for (const auto& [path, expected] :
       {std::pair{single, &original_}, std::pair{piped, &original_}, std::pair{twice, &doubled}}) {
    EXPECT_EQ(SourceLength(U(path)), static_cast<int64_t>(expected->size())) << path;
    std::unique_ptr<SourceReader> source = OpenFileSource(U(path));
    ASSERT_NE(source, nullptr);
    std::vector<uint8_t> out;
    int error = 0;
    ASSERT_TRUE(ReadAll(*source, out, error)) << error;
    EXPECT_TRUE(out == *expected) << path;
  }
  // A source left half read stops its thread cleanly.
  std::unique_ptr<SourceReader> half = OpenFileSource(U(single));
  uint8_t some[4096];
  EXPECT_EQ(half->Read(some, sizeof some), 4096);
  half.reset();
}

TEST_P(CompressedSourceTest, DamagedOrCutStreamsAreRefused) {
  const std::string good = Compress("good");
  const std::string stored = testsupport::ReadFile(good);
  ASSERT_GT(stored.size(), 64u);
  struct Damage {
    const char* what;
    std::string bytes;
  };
  std::vector<Damage> damages = {
      {"cut by one byte", stored.substr(0, stored.size() - 1)},
      {"trailing garbage", stored + "garbage"},
  };
  // A bit of the trailer; the command-line tests flip a bit in the middle of the data.
  damages.push_back({"a flipped bit", stored});
  damages.back().bytes[stored.size() - 6] ^= 0x10;
  for (const Damage& d : damages) {
    const std::string path = dir_.Join("damaged");
    ASSERT_TRUE(testsupport::WriteFile(path, d.bytes));
    EXPECT_TRUE(Refused(path)) << d.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CompressedSourceTest,
                         ::testing::Values(Format{"gzip", "gzip -c -n", "gz"},
                                           Format{"xz", "xz -c -T1 -1", "xz"},
                                           Format{"zstd", "zstd -q -c", "zst"}),
                         [](const auto& info) { return std::string(info.param.suffix); });

// Decompressed sizes, checksum texts and checksums that do not match, in the validation report.
TEST(CompressedValidationTest, SizesAndChecksumsAreJudgedBeforeWriting) {
  if (!testsupport::HaveTool("gzip")) GTEST_SKIP() << "gzip missing";
  TempDir dir;
  testing_support::JobRecorder recorder;
  CPlinthApp job;
  job.showMsgFunc = DiskJob.showMsgFunc;
  job.firmwareFolder = U(dir.path());
  job.diskSize = uint64_t(64) << 20;
  // 2 MiB of zeros compress to a few kilobytes, but do not fit a 1 MiB partition.
  RunTool("head -c 2097152 /dev/zero | gzip -c > " + Quote(dir.Join("big.gz")));
  ASSERT_TRUE(testsupport::WriteFile(dir.Join("small.bin"), std::string(1000, 'x')));
  const std::pair<const char*, std::string> images[] = {
      {"big.gz", ""}, {"small.bin", "not a digest"}, {"small.bin", std::string(64, 'A')}};
  for (const auto& [image, sum] : images) {
    PartitionSpec p;
    p.name = U(image);
    p.capacityBytes = 1 << 20;
    p.offset = job.partitions.empty() ? 2048 : 0;
    p.imagePath = U(dir.Join(image));
    p.sha256 = U(sum);
    job.partitions.push_back(p);
  }
  EXPECT_EQ(job.ValidateLayout(0), 0);
  ASSERT_EQ(recorder.reports.size(), 1u);
  EXPECT_EQ(recorder.reports[0],
            LocalText(u"WrittenInfoErr", 0) + u"\n" + LocalText(u"Par", 0) + u" big.gz:" +
                LocalText(u"SizeTooSmall", 0) + u"\n" + LocalText(u"Par", 0) + u" small.bin:" +
                LocalText(u"ChecksumInvalid", 0) + U(dir.Join("small.bin")) + u"\n" +
                LocalText(u"Par", 0) + u" small.bin:" + LocalText(u"ChecksumMismatch", 0) +
                U(dir.Join("small.bin")) + u"\n");
}

}  // namespace
