#include "PlinthBinding.h"

#include "LocalText.h"
#include "Platform.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <vector>

namespace {

const std::string kEngine = std::string(BRINDLE_BIN_DIR) + "/libPlinth.so";

std::vector<std::u16string> g_lines;
std::vector<std::u16string> g_reports;
void Record(const char16_t* line) { g_lines.emplace_back(line); }
void Report(char16_t* text) {
  g_reports.emplace_back(text);
  std::free(text);
}

PlinthCallbacks Recorder() {
  PlinthCallbacks callbacks;
  callbacks.output = &Record;
  callbacks.showMsg = &Report;
  return callbacks;
}

TEST(Binding, LoadsRegistersExportsOnlyTheCInterfaceAndReallyUnloads) {
  ASSERT_FALSE(PlinthLibrary::IsResident(kEngine));
  {
    PlinthLibrary library;
    ASSERT_TRUE(library.Load(kEngine)) << library.error();
    EXPECT_TRUE(PlinthLibrary::IsResident(kEngine));
    EXPECT_TRUE(library.Register(Recorder(), true));
    void* handle = dlopen(kEngine.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    for (const char* name : {"InitOutputFunc", "InitShowProFunc", "InitSetProPosFunc",
                             "InitSetCopyTipFunc", "InitShowMsgFunc", "InitSetTimeFunc",
                             "MakeDisk", "UpdateDisk", "RemovePartitions", "VerifyDisk",
                             "SetJobOption", "GetJobRefusal"}) {
      EXPECT_NE(dlsym(handle, name), nullptr) << name;
    }
    EXPECT_EQ(dlsym(handle, "DiskJob"), nullptr);
    EXPECT_EQ(
        dlsym(handle, "_Z9LocalTextNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEEi"),
        nullptr);
    // The registration exports hand back what they were given.
    auto init = reinterpret_cast<decltype(&InitOutputFunc)>(dlsym(handle, "InitOutputFunc"));
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init(&Record), &Record);
    EXPECT_EQ(init(nullptr), nullptr);
    dlclose(handle);
  }
  // Nothing pins the engine: the next load constructs a fresh job object.
  EXPECT_FALSE(PlinthLibrary::IsResident(kEngine));
}

class JobBindingTest : public ::testing::Test {
 protected:
  // A firmware folder "fw" for the test's config.xml, an "empty" one, and a 4 MiB card.
  void SetUp() override {
    g_lines.clear();
    g_reports.clear();
    std::filesystem::create_directories(dir_.Join("fw"));
    std::filesystem::create_directories(dir_.Join("empty"));
    ASSERT_TRUE(testsupport::WriteFile(dir_.Join("card.img"), ""));
    std::filesystem::resize_file(dir_.Join("card.img"), 4 << 20);
  }
  std::u16string Path(const std::string& name) const { return plat::FromUtf8(dir_.Join(name)); }
  testsupport::TempDir dir_;
};

const std::u16string kCatalogue = plat::FromUtf8(BRINDLE_TEST_DIR "/text_info.ini");

// Every job loads the engine afresh: the second job knows nothing of the first one's plan,
// and the library is gone in between.
TEST_F(JobBindingTest, TwoJobsInOneProcessStartFresh) {
  ASSERT_TRUE(testsupport::WriteFile(
      dir_.Join("fw/config.xml"),
      "<diskMaker><partitions><partition name=\"a\" capacity=\"1\" offset=\"2048\"/>"
      "</partitions><update><partitions><partition name=\"a\"/></partitions></update>"
      "</diskMaker>"));
  std::string error;
  ASSERT_TRUE(RunPlinthJob(kEngine, Recorder(), PlinthJob::kUpdate, Path("fw"), Path("card.img"),
                           4 << 20, &error))
      << error;
  EXPECT_FALSE(PlinthLibrary::IsResident(kEngine));
  ASSERT_FALSE(g_lines.empty());
  // The card holds no table yet: the update cannot find partition a.
  EXPECT_EQ(g_lines.back(), LocalTextFrom(kCatalogue, 2, u"UpdateFailed", 1));

  g_lines.clear();
  g_reports.clear();
  ASSERT_TRUE(RunPlinthJob(kEngine, Recorder(), PlinthJob::kWrite, Path("empty"),
                           Path("card.img"), 4 << 20, &error));
  // A job object that remembered the first job's partitions would go on to the disk.
  EXPECT_TRUE(g_lines.empty());
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0], LocalTextFrom(kCatalogue, 2, u"NoWriteInfoFound", 0));
}

}  // namespace
