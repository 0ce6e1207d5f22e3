#include "PlinthBinding.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

const std::string kEngine = std::string(BRINDLE_BIN_DIR) + "/libPlinth.so";

void Line(const char16_t*) {}

TEST(Binding, LoadsRegistersAndReallyUnloads) {
  ASSERT_FALSE(PlinthLibrary::IsResident(kEngine));
  {
    PlinthLibrary library;
    ASSERT_TRUE(library.Load(kEngine)) << library.error();
    EXPECT_TRUE(PlinthLibrary::IsResident(kEngine));
    PlinthCallbacks callbacks;
    callbacks.output = &Line;
    EXPECT_TRUE(library.Register(callbacks, true));

    // The registration exports hand back what they were given.
    void* handle = dlopen(kEngine.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto init = reinterpret_cast<decltype(&InitOutputFunc)>(dlsym(handle, "InitOutputFunc"));
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init(&Line), &Line);
    EXPECT_EQ(init(nullptr), nullptr);
    dlclose(handle);
  }
  // Nothing pins the engine: the next load constructs a fresh job object.
  EXPECT_FALSE(PlinthLibrary::IsResident(kEngine));
}

TEST(Binding, OnlyTheCInterfaceIsExported) {
  PlinthLibrary library;
  ASSERT_TRUE(library.Load(kEngine)) << library.error();
  void* handle = dlopen(kEngine.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  for (const char* name : {"InitOutputFunc", "InitShowProFunc", "InitSetProPosFunc",
                           "InitSetCopyTipFunc", "InitShowMsgFunc", "InitSetTimeFunc"}) {
    EXPECT_NE(dlsym(handle, name), nullptr) << name;
  }
  EXPECT_EQ(dlsym(handle, "DiskJob"), nullptr);
  EXPECT_EQ(dlsym(handle, "_Z9LocalTextNSt7__cxx1112basic_stringIDsSt11char_traitsIDsESaIDsEEEi"),
            nullptr);
  dlclose(handle);
}

TEST(Binding, MissingLibraryIsAnError) {
  PlinthLibrary library;
  EXPECT_FALSE(library.Load("/no/such/libPlinth.so"));
  EXPECT_FALSE(library.error().empty());
  EXPECT_FALSE(library.Register(PlinthCallbacks{}, true));
  std::string error;
  EXPECT_FALSE(RunPlinthJob("/no/such/libPlinth.so", PlinthCallbacks{}, PlinthJob::kWrite, u"/f",
                            u"/d", 0, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
