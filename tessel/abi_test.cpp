// libTessel.so as the engine sees it: loaded with dlopen, one export, operations called
// through their fixed slots in the table of virtual operations.
#include "TestSupport.h"
#include "tessel/VolumeBuilder.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

namespace tessel {
namespace {

using namespace tessel::test;
using namespace testsupport;

const std::string kLibrary = std::string(BRINDLE_BIN_DIR) + "/libTessel.so";

class Library : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    create_ = reinterpret_cast<CreateDiskFunc>(dlsym(handle_, "CreateDisk"));
    ASSERT_NE(create_, nullptr);
  }
  // The engine loads the library for each use; it must really leave the process each time.
  void TearDown() override {
    if (handle_ == nullptr) return;
    EXPECT_EQ(dlclose(handle_), 0);
    EXPECT_EQ(dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  }
  void* handle_ = nullptr;
  CreateDiskFunc create_ = nullptr;
};

// The slot numbers are the ABI: call each operation through the raw table, not by name.
using ReleaseSlot = void (*)(VolumeBuilder*);
using BuildSlot = int32_t (*)(VolumeBuilder*, const char*, int32_t, int32_t);
using AttachSlot = void (*)(VolumeBuilder*, CImageComm*, int32_t);
using IdentifySlot = int32_t (*)(VolumeBuilder*, const char*);
using VerifySlot = int32_t (*)(VolumeBuilder*, CImageComm*, VolumeCheck*);

void* Slot(VolumeBuilder* builder, int index) {
  return (*reinterpret_cast<void***>(builder))[index];
}

TEST_F(Library, OperationsSitInTheirSlots) {
  TempDir dir;
  const std::string card = dir.Join("card.img");
  const uint64_t size = 16 * kMiB;
  ASSERT_TRUE(MakeSparseFile(card, size));

  // 12 AttachTarget, then 1 Build: the volume goes through the target, not to the path.
  VolumeBuilder* builder = create_(size, kVolumeFat16);
  ASSERT_NE(builder, nullptr);
  FileComm comm(card, 0);
  reinterpret_cast<AttachSlot>(Slot(builder, 12))(builder, &comm, 1);
  const std::string unused = dir.Join("unused.img");
  EXPECT_NE(reinterpret_cast<BuildSlot>(Slot(builder, 1))(builder, unused.c_str(), 0, 0), 0);
  EXPECT_FALSE(comm.log().empty());
  EXPECT_NE(access(unused.c_str(), F_OK), 0);
  // 13 VerifyTarget: the volume just built is exactly what Build writes.
  VolumeCheck check{-1, -1, 99, 99};
  EXPECT_EQ(reinterpret_cast<VerifySlot>(Slot(builder, 13))(builder, &comm, &check), 1);
  EXPECT_EQ(check.identified, 1);
  EXPECT_EQ(check.reserved, 0);
  EXPECT_EQ(check.badSectors, 0u);
  reinterpret_cast<ReleaseSlot>(Slot(builder, 0))(builder);

  // 18 Identify on an identify-only object.
  VolumeBuilder* identify = create_(0, kVolumeIdentifyOnly);
  ASSERT_NE(identify, nullptr);
  EXPECT_EQ(reinterpret_cast<IdentifySlot>(Slot(identify, 18))(identify, card.c_str()), 1);
  EXPECT_EQ(reinterpret_cast<BuildSlot>(Slot(identify, 1))(identify, unused.c_str(), 0, 0), 0);
  reinterpret_cast<ReleaseSlot>(Slot(identify, 0))(identify);
}

TEST_F(Library, SizesAndKindsItCannotMakeGiveNull) {
  const uint64_t MiB = kMiB, GiB = kGiB;
  struct Case {
    uint64_t size;
    int32_t kind;
    bool made;
  };
  const Case cases[] = {
      {0, kVolumeIdentifyOnly, true},       {16 * MiB, kVolumeIdentifyOnly, false},
      {3 * MiB - 512, kVolumeFat16, false}, {3 * MiB, kVolumeFat16, true},
      {2 * GiB, kVolumeFat16, true},        {2 * GiB + 512, kVolumeFat16, false},
      {66600 * 512, kVolumeFat32, false},   {66601 * 512, kVolumeFat32, true},
      {0xFFFFFFFFull * 512, kVolumeFat32, true}, {0x100000000ull * 512, kVolumeFat32, false},
      {2 * MiB - 1, kVolumeExt4, false},    {2 * MiB, kVolumeExt4, true},
      {16ull << 40, kVolumeExt4, true},     {(16ull << 40) + 1, kVolumeExt4, false},
      {0, kVolumeFat32, false},             {UINT64_MAX, kVolumeExt4, false},
      {16 * MiB, 3, false},                 {16 * MiB, 4, false},
      {16 * MiB, -1, false},
  };
  for (const Case& c : cases) {
    VolumeBuilder* b = create_(c.size, c.kind);
    EXPECT_EQ(b != nullptr, c.made) << c.size << " kind " << c.kind;
    if (b) b->Release();
  }
}

// Without a target a build writes a new image file, and never over an existing one.
TEST_F(Library, BuildsImageFilesUnlessATargetIsAttached) {
  TempDir dir;
  VolumeBuilder* builder = create_(40 * kMiB, kVolumeExt4);
  ASSERT_NE(builder, nullptr);
  const std::string image = dir.Join("volume.img");
  EXPECT_EQ(builder->Build(image.c_str(), 0, 0), 1);
  EXPECT_EQ(builder->Build(image.c_str(), 0, 0), 0);
  // Detaching the target (0) goes back to the file.
  FileComm never(image, 0, 0);
  builder->AttachTarget(&never, 0);
  EXPECT_EQ(builder->Build((image + ".second").c_str(), 0, 0), 1);
  EXPECT_TRUE(never.log().empty());
  builder->Release();
}

TEST(LibraryFile, ExportsOnlyCreateDisk) {
  TESSEL_REQUIRE_TOOLS("nm");
  std::string out;
  ASSERT_EQ(RunTool("nm -D --defined-only " + Quote(kLibrary), &out), 0) << out;
  std::stringstream lines(out);
  std::string line;
  std::vector<std::string> names;
  while (std::getline(lines, line)) {
    const std::string name = line.substr(line.rfind(' ') + 1);
    if (name.rfind("__", 0) == 0 || name.empty()) continue;  // sanitizer runtime hooks
    names.push_back(name);
  }
  EXPECT_EQ(names, std::vector<std::string>{"CreateDisk"}) << out;
}

}  // namespace
}  // namespace tessel
