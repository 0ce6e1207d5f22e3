// libTessel.so's one export: CreateDisk and the VolumeBuilder it returns.
#include "Tessel.h"

#include "tessel/VolumeBuilder.h"

#include <new>

namespace {

class Volume final : public VolumeBuilder {
 public:
  Volume(uint64_t size, std::optional<tessel::Kind> kind) : size_(size), kind_(kind) {}

  void Release() override { delete this; }

  int32_t Build(const char* path, int32_t, int32_t) override {
    if (!kind_) return 0;  // an identify-only object builds nothing
    try {
      if (target_ != nullptr) {
        tessel::CommTarget target(target_);
        return tessel::BuildOnTarget(*kind_, size_, target, {}) ? 1 : 0;
      }
      const std::string utf8 = tessel::PathFromLocale(path);
      return tessel::BuildImageFile(*kind_, size_, utf8, {}) ? 1 : 0;
    } catch (...) {  // nothing may cross the export
      return 0;
    }
  }

  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Reserved6() override {}
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  void Reserved10() override {}
  void Reserved11() override {}

  void AttachTarget(CImageComm* target, int32_t enable) override {
    target_ = enable != 0 ? target : nullptr;
  }

  int32_t VerifyTarget(CImageComm* target, VolumeCheck* check) override {
    if (target == nullptr || check == nullptr) return 0;
    try {
      tessel::CommTarget volume(target);
      tessel::VolumeFindings findings;
      const bool read = tessel::VerifyVolume(kind_, size_, volume, findings);
      *check = VolumeCheck{findings.identified, 0, findings.firstBadSector, findings.badSectors};
      return read ? 1 : 0;
    } catch (...) {  // nothing may cross the export
      return 0;
    }
  }
  void Reserved14() override {}
  void Reserved15() override {}
  void Reserved16() override {}
  void Reserved17() override {}

  int32_t Identify(const char* path) override {
    try {
      return tessel::Identify(tessel::PathFromLocale(path));
    } catch (...) {
      return 0;
    }
  }

 private:
  uint64_t size_;
  std::optional<tessel::Kind> kind_;
  CImageComm* target_ = nullptr;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) VolumeBuilder* CreateDisk(uint64_t size,
                                                                             int32_t kind) {
  if (kind == kVolumeIdentifyOnly)
    return size == 0 ? new (std::nothrow) Volume(0, std::nullopt) : nullptr;
  const std::optional<tessel::Kind> k = tessel::KindFromInt(kind);
  if (!k || !tessel::SizeFits(*k, size)) return nullptr;
  return new (std::nothrow) Volume(size, k);
}
