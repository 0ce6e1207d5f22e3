// The partition-table arithmetic, byte for byte, without a disk.
#include "DiskLogicData.h"
#include "Layout.h"
#include "MbrCode.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <tuple>

namespace {

using Sector = std::array<uint8_t, 512>;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

PartitionSpec Partition(int64_t mib, int32_t offset = 0, int32_t type = kTypeFat32) {
  PartitionSpec p;
  p.capacityBytes = mib << 20;
  p.offset = offset;
  p.type = type;
  return p;
}

TEST(Chs, AddressesOfTheFixedGeometry) {
  struct Case {
    uint32_t lba;
    int32_t cylinder, head, sector;
  } cases[] = {
      {0, 0, 0, 1},
      {62, 0, 0, 63},
      {63, 0, 1, 1},
      {16065, 1, 0, 1},
      {8388607, 522, 42, 32},
      // The last sector CHS can reach, and the first ones past it: the "use LBA" marker.
      {1024 * 16065 - 1, 1023, 254, 63},
      {1024 * 16065, 1023, 254, 63},
      {UINT32_MAX, 1023, 254, 63},
  };
  CDiskLogicData disk;
  for (const Case& c : cases) {
    const auto chs = disk.LbaToChs(c.lba);
    EXPECT_EQ(std::tie(chs.cylinder, chs.head, chs.sector), std::tie(c.cylinder, c.head, c.sector))
        << c.lba;
  }
  // The origins are added to every address.
  disk.baseHead = 1;
  EXPECT_EQ(disk.LbaToChs(0).head, 1);
}

// A partition at 2048 of 64 MiB, and one whose last sector is 8,388,607 (a 4 GiB card).
TEST(Entries, WholeEntriesByteForByte) {
  struct Case {
    int32_t active;
    int64_t bytes;
    uint8_t type;
    uint8_t entry[16];
  } cases[] = {
      {1, 64 << 20, kTypeByteFat32,
       {0x80, 0x20, 0x21, 0x00, 0x0B, 0x49, 0x01, 0x08, 0x00, 0x08, 0, 0, 0x00, 0x00, 0x02, 0}},
      {0, (8388608LL - 2048) * 512, kTypeByteLinux,
       {0x00, 0x20, 0x21, 0x00, 0x83, 0x2A, 0xA0, 0x0A, 0x00, 0x08, 0, 0, 0x00, 0xF8, 0x7F, 0}},
  };
  for (const Case& c : cases) {
    CDiskLogicData disk;
    Sector mbr{};
    EXPECT_EQ(disk.SetFirstEntry(0, 2048, c.active, c.bytes, c.type, mbr.data()), 2048u);
    EXPECT_EQ(std::memcmp(mbr.data() + 446, c.entry, 16), 0) << c.bytes;
    for (size_t i = 462; i < 512; ++i) ASSERT_EQ(mbr[i], 0) << i;  // entry 2 stays zero
  }
}

TEST(Entries, FirstRoundsUpAndSecondRoundsDown) {
  CDiskLogicData disk;
  Sector ebr{};
  disk.SetFirstEntry(100, 63, 0, 1000, kTypeByteLinux, ebr.data());
  EXPECT_EQ(Le32(&ebr[446 + 8]), 63u);   // relative to the EBR
  EXPECT_EQ(Le32(&ebr[446 + 12]), 2u);   // 1000 bytes need two sectors
  disk.SetSecondEntry(100, 500, 1000, kTypeByteLink, ebr.data());
  EXPECT_EQ(ebr[462], 0x00);             // never active
  EXPECT_EQ(ebr[462 + 4], kTypeByteLink);
  EXPECT_EQ(Le32(&ebr[462 + 8]), 500u);
  EXPECT_EQ(Le32(&ebr[462 + 12]), 1u);
  // CHS of entry 2 is computed from absolute sectors: base + relative start.
  const auto first = disk.LbaToChs(600);
  EXPECT_EQ(ebr[462 + 1], first.head);
  EXPECT_EQ(ebr[462 + 2], first.sector);
}

TEST(Plan, OneAndTwoPartitions) {
  LayoutPlan plan = PlanLayout({Partition(64, 2048)});
  EXPECT_EQ(plan.extendedStart, 0u);
  EXPECT_EQ(plan.endSector, 2048u + 131072u);
  plan = PlanLayout({Partition(64, 2048), Partition(32)});
  // One sector between the first partition and the extended partition stays unused.
  EXPECT_EQ(plan.extendedStart, 2048u + 131072u + 1u);
  EXPECT_EQ(plan.extendedCount, 65536u + 63u);
  EXPECT_EQ(plan.partitions[1].tableSector, plan.extendedStart);
  EXPECT_EQ(plan.partitions[1].start, plan.extendedStart + 63u);
  EXPECT_TRUE(PlanLayout({}).partitions.empty());
  // Huge layouts stay exact in 64 bits, so the caller can see they do not fit.
  plan = PlanLayout({Partition(int64_t{3} << 20, 2048), Partition(int64_t{3} << 20)});
  EXPECT_GT(plan.endSector, uint64_t{UINT32_MAX});
}

TEST(TypeBytes, CodesAndIdentifiedImages) {
  EXPECT_EQ(TypeByteOfCode(kTypeFat16), 0x06);
  EXPECT_EQ(TypeByteOfCode(kTypeFat32), 0x0B);
  EXPECT_EQ(TypeByteOfCode(kTypeExt3), 0x83);
  EXPECT_EQ(TypeByteOfCode(kTypeExt4), 0x83);
  EXPECT_EQ(TypeByteOfCode(kTypeUnknown), 0x00);
  EXPECT_EQ(TypeByteOfIdentify(1), 0x06);
  EXPECT_EQ(TypeByteOfIdentify(2), 0x0B);
  for (int kind = 3; kind <= 5; ++kind) EXPECT_EQ(TypeByteOfIdentify(kind), 0x83);
  EXPECT_EQ(TypeByteOfIdentify(0), 0x00);
  EXPECT_EQ(TypeByteOfIdentify(6), 0x00);
  // Without an image the configuration's code decides, whatever the builder library does.
  EXPECT_EQ(CDiskLogicData::ResolveTypeByte(u"  ", kTypeExt4), 0x83);
}

TEST(MbrTemplate, BootCodeTableAndSignature) {
  Sector mbr;
  mbr.fill(0xEE);
  MbrTemplate(mbr.data());
  EXPECT_EQ(std::memcmp(mbr.data(), kMbrBootCode, sizeof(kMbrBootCode)), 0);
  for (size_t i = sizeof(kMbrBootCode); i < 510; ++i) ASSERT_EQ(mbr[i], 0) << i;
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
}

}  // namespace
