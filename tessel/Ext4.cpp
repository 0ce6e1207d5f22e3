// ext4 volumes through libext2fs, written by our own io_manager onto a BlockTarget.
#include "Tessel.h"

#include "LittleEndian.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <ext2fs/ext2fs.h>
#pragma GCC diagnostic pop
#include <uuid/uuid.h>

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessel {
namespace {

constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kTiB = uint64_t(1) << 40;
constexpr char kChannelPrefix[] = "tessel:";
constexpr unsigned kLogGroupsPerFlex = 4;       // 16 groups per flex group
constexpr unsigned kInodeSize = 256;
constexpr unsigned kReservedPercent = 5;
constexpr unsigned kLostFoundBytes = 16384;     // room for entries before e2fsck must grow it
constexpr unsigned kLowestDefaultJournalBlocks = 1024;

// Block size and bytes per inode by volume size, as the usual mke2fs.conf size types.
struct Ext4Plan {
  unsigned blockSize;
  unsigned inodeRatio;
  uint64_t blocks;
};

Ext4Plan PlanExt4(uint64_t size) {
  Ext4Plan p{};
  if (size < 3 * kMiB) {            // "floppy"
    p.blockSize = 1024;
    p.inodeRatio = 8192;
  } else if (size < 512 * kMiB) {   // "small"
    p.blockSize = 1024;
    p.inodeRatio = 4096;
  } else if (size < 4 * kTiB) {     // default
    p.blockSize = 4096;
    p.inodeRatio = 16384;
  } else {                          // "big"
    p.blockSize = 4096;
    p.inodeRatio = 32768;
  }
  p.blocks = size / p.blockSize;
  return p;
}

// ---- io_manager onto a BlockTarget ---------------------------------------------------------
// The channel's name carries the target's address, so no global state is needed.

BlockTarget* TargetOf(io_channel channel) { return static_cast<BlockTarget*>(channel->private_data); }

uint64_t ByteCount(io_channel channel, int count) {
  // A negative count is a byte count, a positive one a block count.
  return count < 0 ? uint64_t(-int64_t(count)) : uint64_t(count) * uint64_t(channel->block_size);
}

errcode_t ChannelClose(io_channel channel);
errcode_t ChannelSetBlockSize(io_channel channel, int blockSize) {
  channel->block_size = blockSize;
  return 0;
}
errcode_t ChannelRead64(io_channel channel, unsigned long long block, int count, void* data) {
  const uint64_t offset = uint64_t(block) * uint64_t(channel->block_size);
  return TargetOf(channel)->Read(data, ByteCount(channel, count), offset) ? 0 : EXT2_ET_SHORT_READ;
}
errcode_t ChannelWrite64(io_channel channel, unsigned long long block, int count,
                         const void* data) {
  const uint64_t offset = uint64_t(block) * uint64_t(channel->block_size);
  return TargetOf(channel)->Write(data, ByteCount(channel, count), offset) ? 0
                                                                           : EXT2_ET_SHORT_WRITE;
}
errcode_t ChannelRead(io_channel channel, unsigned long block, int count, void* data) {
  return ChannelRead64(channel, block, count, data);
}
errcode_t ChannelWrite(io_channel channel, unsigned long block, int count, const void* data) {
  return ChannelWrite64(channel, block, count, data);
}
errcode_t ChannelWriteByte(io_channel channel, unsigned long offset, int count,
                           const void* data) {
  if (count < 0) return EXT2_ET_INVALID_ARGUMENT;
  return TargetOf(channel)->Write(data, size_t(count), offset) ? 0 : EXT2_ET_SHORT_WRITE;
}
errcode_t ChannelFlush(io_channel channel) {
  return TargetOf(channel)->Flush() ? 0 : EXT2_ET_SHORT_WRITE;
}
errcode_t ChannelSetOption(io_channel, const char*, const char*) {
  return EXT2_ET_INVALID_ARGUMENT;
}
errcode_t ChannelDiscard(io_channel, unsigned long long, unsigned long long) {
  return EXT2_ET_UNIMPLEMENTED;
}
errcode_t ChannelZeroOut(io_channel channel, unsigned long long block, unsigned long long count) {
  const uint64_t bs = uint64_t(channel->block_size);
  return TargetOf(channel)->Zero(block * bs, count * bs) ? 0 : EXT2_ET_SHORT_WRITE;
}
errcode_t ChannelOpen(const char* name, int flags, io_channel* result);

struct_io_manager MakeManager() {
  struct_io_manager m{};
  m.magic = EXT2_ET_MAGIC_IO_MANAGER;
  m.name = "tessel block target";
  m.open = ChannelOpen;
  m.close = ChannelClose;
  m.set_blksize = ChannelSetBlockSize;
  m.read_blk = ChannelRead;
  m.write_blk = ChannelWrite;
  m.flush = ChannelFlush;
  m.write_byte = ChannelWriteByte;
  m.set_option = ChannelSetOption;
  m.read_blk64 = ChannelRead64;
  m.write_blk64 = ChannelWrite64;
  m.discard = ChannelDiscard;
  m.zeroout = ChannelZeroOut;
  return m;
}

struct_io_manager gManager = MakeManager();

errcode_t ChannelOpen(const char* name, int, io_channel* result) {
  if (name == nullptr || std::strncmp(name, kChannelPrefix, sizeof(kChannelPrefix) - 1) != 0)
    return EXT2_ET_BAD_DEVICE_NAME;
  char* end = nullptr;
  const uintptr_t address = std::strtoull(name + sizeof(kChannelPrefix) - 1, &end, 16);
  if (address == 0 || end == nullptr || *end != '\0') return EXT2_ET_BAD_DEVICE_NAME;

  io_channel channel = nullptr;
  errcode_t err = ext2fs_get_memzero(sizeof(struct_io_channel), &channel);
  if (err) return err;
  const size_t nameSize = std::strlen(name) + 1;
  err = ext2fs_get_mem(nameSize, &channel->name);
  if (err) {
    ext2fs_free_mem(&channel);
    return err;
  }
  std::memcpy(channel->name, name, nameSize);
  channel->magic = EXT2_ET_MAGIC_IO_CHANNEL;
  channel->manager = &gManager;
  channel->block_size = 1024;
  channel->refcount = 1;
  channel->private_data = reinterpret_cast<BlockTarget*>(address);
  *result = channel;
  return 0;
}

errcode_t ChannelClose(io_channel channel) {
  if (--channel->refcount > 0) return 0;
  ext2fs_free_mem(&channel->name);
  ext2fs_free_mem(&channel);
  return 0;
}

std::string ChannelName(BlockTarget& target) {
  char name[64];
  std::snprintf(name, sizeof(name), "%s%" PRIxPTR, kChannelPrefix,
                reinterpret_cast<uintptr_t>(&target));
  return name;
}

// ---- the steps of making the file system ---------------------------------------------------

void SetFeatures(ext2_super_block& sb) {
  ext2fs_set_feature_xattr(&sb);
  ext2fs_set_feature_resize_inode(&sb);
  ext2fs_set_feature_dir_index(&sb);
  ext2fs_set_feature_filetype(&sb);
  ext2fs_set_feature_extents(&sb);
  ext2fs_set_feature_64bit(&sb);
  ext2fs_set_feature_flex_bg(&sb);
  ext2fs_set_feature_sparse_super(&sb);
  ext2fs_set_feature_large_file(&sb);
  ext2fs_set_feature_huge_file(&sb);
  ext2fs_set_feature_dir_nlink(&sb);
  ext2fs_set_feature_extra_isize(&sb);
  ext2fs_set_feature_metadata_csum(&sb);
  // has_journal is set when the journal inode is added.
}

// Closes (and frees) the file system on every path out of BuildExt4.
struct FsCloser {
  ext2_filsys fs = nullptr;
  ~FsCloser() {
    if (fs) ext2fs_free(fs);
  }
};

// The reserved inodes live in the first blocks of group 0's inode table, which lazy
// initialisation never zeroes; old data there would read as garbage inodes.
errcode_t ZeroReservedInodes(ext2_filsys fs) {
  const uint64_t inodes = EXT2_FIRST_INODE(fs->super) + 1;
  const uint64_t bytes = inodes * EXT2_INODE_SIZE(fs->super);
  const int blocks = int((bytes + fs->blocksize - 1) / fs->blocksize);
  return ext2fs_zero_blocks2(fs, ext2fs_inode_table_loc(fs, 0), blocks, nullptr, nullptr);
}

errcode_t MakeLostAndFound(ext2_filsys fs) {
  static const char kName[] = "lost+found";
  const __u32 umask = fs->umask;
  fs->umask = 077;  // what e2fsck recovers may be anyone's files
  errcode_t err = ext2fs_mkdir(fs, EXT2_ROOT_INO, 0, kName);
  fs->umask = umask;
  if (err) return err;
  ext2_ino_t ino = 0;
  err = ext2fs_lookup(fs, EXT2_ROOT_INO, kName, sizeof(kName) - 1, nullptr, &ino);
  if (err) return err;
  for (;;) {
    ext2_inode inode{};
    err = ext2fs_read_inode(fs, ino, &inode);
    if (err) return err;
    if (EXT2_I_SIZE(&inode) >= kLostFoundBytes) return 0;
    err = ext2fs_expand_dir(fs, ino);
    if (err) return err;
  }
}

errcode_t ReserveInodes(ext2_filsys fs) {
  for (ext2_ino_t ino = EXT2_ROOT_INO + 1; ino < EXT2_FIRST_INODE(fs->super); ++ino)
    ext2fs_inode_alloc_stats2(fs, ino, +1, 0);
  ext2fs_mark_ib_dirty(fs);
  // The bad-blocks inode: allocated, with an empty list.
  ext2fs_mark_inode_bitmap2(fs->inode_map, EXT2_BAD_INO);
  ext2fs_inode_alloc_stats2(fs, EXT2_BAD_INO, +1, 0);
  return ext2fs_update_bb_inode(fs, nullptr);
}

errcode_t AddJournal(ext2_filsys fs) {
  ext2fs_journal_params params{};
  errcode_t err = ext2fs_get_journal_params(&params, fs);
  if (err) return err;
  if (params.num_journal_blocks < kLowestDefaultJournalBlocks) return EXT2_ET_JOURNAL_TOO_SMALL;
  // Not lazy: an old journal's leftovers must never be replayed. On an image file the zeros
  // are holes (the io_manager's zeroout), so this costs no space.
  return ext2fs_add_journal_inode3(fs, &params, ~blk64_t(0), EXT2_MKJOURNAL_NO_MNT_CHECK);
}

// Passes everything on and remembers which parts of the volume's last MiB were written, so
// that the rest of it can be cleared of old signatures at the end. Cleared first, the tail
// would send the engine's offset-based progress to its end at once.
class TailRecorder final : public BlockTarget {
 public:
  TailRecorder(BlockTarget& inner, uint64_t size)
      : inner_(inner),
        size_(WholeSectorsEnd(size)),
        tailStart_(size_ - std::min(size_, kSignatureArea)) {}
  bool Write(const void* data, size_t length, uint64_t offset) override {
    Note(offset, length);
    return inner_.Write(data, length, offset);
  }
  bool Read(void* buffer, size_t length, uint64_t offset) override {
    return inner_.Read(buffer, length, offset);
  }
  bool Zero(uint64_t offset, uint64_t length) override {
    Note(offset, length);
    return inner_.Zero(offset, length);
  }
  bool Flush() override { return inner_.Flush(); }

  // Zeros every byte of the tail not written so far (up to its last whole sector).
  bool ClearUnwrittenTail() {
    std::sort(written_.begin(), written_.end());
    uint64_t at = tailStart_;
    for (const auto& [from, to] : written_) {
      if (from > at && !inner_.ZeroWhereNotZero(at, from)) return false;
      at = std::max(at, to);
    }
    return at >= size_ || inner_.ZeroWhereNotZero(at, size_);
  }

 private:
  void Note(uint64_t offset, uint64_t length) {
    const uint64_t from = std::max(offset, tailStart_);
    const uint64_t to = std::min(offset + length, size_);
    if (from < to) written_.emplace_back(from, to);
  }

  BlockTarget& inner_;
  uint64_t size_;
  uint64_t tailStart_;
  std::vector<std::pair<uint64_t, uint64_t>> written_;
};

// Superblock fields (byte offsets in the superblock), checked against libext2fs's own layout.
constexpr size_t kSbBlocksLo = 4, kSbFirstDataBlock = 20, kSbLogBlockSize = 24, kSbMagic = 56,
                 kSbInodeSize = 88, kSbCompat = 92, kSbIncompat = 96, kSbRoCompat = 100,
                 kSbBlocksHi = 336, kSbChecksum = 1020;
static_assert(kSbBlocksLo == offsetof(ext2_super_block, s_blocks_count));
static_assert(kSbFirstDataBlock == offsetof(ext2_super_block, s_first_data_block));
static_assert(kSbLogBlockSize == offsetof(ext2_super_block, s_log_block_size));
static_assert(kSbMagic == offsetof(ext2_super_block, s_magic));
static_assert(kSbInodeSize == offsetof(ext2_super_block, s_inode_size));
static_assert(kSbCompat == offsetof(ext2_super_block, s_feature_compat));
static_assert(kSbIncompat == offsetof(ext2_super_block, s_feature_incompat));
static_assert(kSbRoCompat == offsetof(ext2_super_block, s_feature_ro_compat));
static_assert(kSbBlocksHi == offsetof(ext2_super_block, s_blocks_count_hi));
static_assert(kSbChecksum == offsetof(ext2_super_block, s_checksum));
static_assert(kExtSuperblockSize == sizeof(ext2_super_block));
static_assert(kExtSuperblockOffset == SUPERBLOCK_OFFSET);

// What ext3 readers understand; anything beyond makes the file system ext4 (blkid's rule).
constexpr uint32_t kExt3Incompat =
    EXT2_FEATURE_INCOMPAT_FILETYPE | EXT3_FEATURE_INCOMPAT_RECOVER | EXT2_FEATURE_INCOMPAT_META_BG;
constexpr uint32_t kRoCompatBtreeDir = 0x0004;  // never used, but ext3 readers accept it
constexpr uint32_t kExt3RoCompat = EXT2_FEATURE_RO_COMPAT_SPARSE_SUPER |
                                   EXT2_FEATURE_RO_COMPAT_LARGE_FILE | kRoCompatBtreeDir;

}  // namespace

int32_t ClassifyExtSuperblock(const uint8_t* sb) {
  if (Get16(sb + kSbMagic) != EXT2_SUPER_MAGIC) return 0;
  const uint32_t incompat = Get32(sb + kSbIncompat);
  if (incompat & EXT3_FEATURE_INCOMPAT_JOURNAL_DEV) return 0;  // an external journal only
  if ((incompat & ~kExt3Incompat) != 0 || (Get32(sb + kSbRoCompat) & ~kExt3RoCompat) != 0) return 5;
  return (Get32(sb + kSbCompat) & EXT3_FEATURE_COMPAT_HAS_JOURNAL) != 0 ? 4 : 3;
}

bool CheckExt4Superblock(uint64_t size, BlockTarget& target, VolumeFindings& findings) {
  uint8_t sb[kExtSuperblockSize];
  if (!target.Read(sb, sizeof sb, kExtSuperblockOffset)) return false;
  const Ext4Plan plan = PlanExt4(size);
  ext2_super_block wanted{};
  SetFeatures(wanted);
  wanted.s_feature_compat |= EXT3_FEATURE_COMPAT_HAS_JOURNAL;

  // Sectors of the superblock holding a field that is not what Build writes.
  std::set<uint64_t> bad;
  auto expect = [&bad](bool same, size_t field) {
    if (!same) bad.insert(field / kSectorBytes);
  };
  const uint32_t incompat = Get32(sb + kSbIncompat);
  uint64_t blocks = Get32(sb + kSbBlocksLo);
  if (incompat & EXT4_FEATURE_INCOMPAT_64BIT) blocks |= uint64_t(Get32(sb + kSbBlocksHi)) << 32;
  expect(Get16(sb + kSbMagic) == EXT2_SUPER_MAGIC, kSbMagic);
  expect(blocks == plan.blocks, kSbBlocksLo);
  expect(Get32(sb + kSbFirstDataBlock) == (plan.blockSize == 1024 ? 1u : 0u), kSbFirstDataBlock);
  expect(Get32(sb + kSbLogBlockSize) == (plan.blockSize == 1024 ? 0u : 2u), kSbLogBlockSize);
  expect(Get16(sb + kSbInodeSize) == kInodeSize, kSbInodeSize);
  auto has = [](uint32_t have, uint32_t want) { return (have & want) == want; };
  expect(has(Get32(sb + kSbCompat), wanted.s_feature_compat), kSbCompat);
  expect(has(incompat, wanted.s_feature_incompat), kSbIncompat);
  const uint32_t roCompat = Get32(sb + kSbRoCompat);
  expect(has(roCompat, wanted.s_feature_ro_compat), kSbRoCompat);
  // The checksum covers every other byte: a change the fields above miss still shows, though
  // not where it is.
  if ((roCompat & EXT4_FEATURE_RO_COMPAT_METADATA_CSUM) != 0 &&
      ext2fs_crc32c_le(~0U, sb, kSbChecksum) != Get32(sb + kSbChecksum) && bad.empty()) {
    bad = {0, (kExtSuperblockSize - 1) / kSectorBytes};
  }
  findings.badSectors = bad.size();
  findings.firstBadSector = bad.empty() ? 0 : kExtSuperblockOffset / kSectorBytes + *bad.begin();
  return true;
}

bool BuildExt4(uint64_t size, BlockTarget& target, const BuildOptions& options) {
  if (!SizeFits(Kind::Ext4, size)) return false;
  const Ext4Plan plan = PlanExt4(size);

  ext2_super_block param{};
  ext2fs_blocks_count_set(&param, plan.blocks);
  param.s_log_block_size = plan.blockSize == 1024 ? 0 : 2;
  param.s_rev_level = EXT2_DYNAMIC_REV;
  param.s_inode_size = kInodeSize;
  param.s_min_extra_isize = param.s_want_extra_isize =
      sizeof(ext2_inode_large) - EXT2_GOOD_OLD_INODE_SIZE;
  param.s_log_groups_per_flex = kLogGroupsPerFlex;
  param.s_desc_size = EXT2_MIN_DESC_SIZE_64BIT;
  const uint64_t inodes = size / plan.inodeRatio;
  param.s_inodes_count = inodes > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(inodes);
  ext2fs_r_blocks_count_set(&param, plan.blocks * kReservedPercent / 100);
  param.s_default_mount_opts = EXT2_DEFM_XATTR_USER | EXT2_DEFM_ACL;
  SetFeatures(param);

  if (!target.ZeroWhereNotZero(0, std::min(WholeSectorsEnd(size), kSignatureArea))) return false;
  TailRecorder recorder(target, size);

  FsCloser closer;
  const std::string name = ChannelName(recorder);
  if (ext2fs_initialize(name.c_str(), EXT2_FLAG_64BITS, &param, &gManager, &closer.fs))
    return false;
  ext2_filsys fs = closer.fs;
  ext2_super_block* sb = fs->super;

  const time_t now = options.time ? time_t(*options.time) : std::time(nullptr);
  fs->now = now;
  sb->s_mkfs_time = sb->s_lastcheck = sb->s_wtime = uint32_t(now);
  sb->s_max_mnt_count = -1;  // no periodic checks
  sb->s_checkinterval = 0;

  // libext2fs 1.47 leaves the checksum type unset, and the seed derives from the UUID.
  sb->s_checksum_type = EXT2_CRC32C_CHKSUM;
  if (options.uuid) {
    std::memcpy(sb->s_uuid, options.uuid->data(), sizeof(sb->s_uuid));
    // A fixed hash seed that still differs from the UUID.
    for (size_t i = 0; i < sizeof(sb->s_hash_seed); ++i)
      reinterpret_cast<uint8_t*>(sb->s_hash_seed)[i] = uint8_t((*options.uuid)[15 - i] ^ 0x5A);
  } else {
    uuid_generate(sb->s_uuid);
    uuid_generate(reinterpret_cast<unsigned char*>(sb->s_hash_seed));
  }
  ext2fs_init_csum_seed(fs);
  sb->s_def_hash_version = EXT2_HASH_HALF_MD4;
  sb->s_flags |= std::is_signed_v<char> ? EXT2_FLAGS_SIGNED_HASH : EXT2_FLAGS_UNSIGNED_HASH;

  if (ext2fs_allocate_tables(fs)) return false;
  if (ZeroReservedInodes(fs)) return false;
  if (ext2fs_mkdir(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, nullptr)) return false;
  if (MakeLostAndFound(fs)) return false;
  if (ReserveInodes(fs)) return false;
  if (ext2fs_has_feature_resize_inode(sb) && ext2fs_create_resize_inode(fs)) return false;
  if (AddJournal(fs)) return false;
  if (!recorder.ClearUnwrittenTail()) return false;

  // Writes the superblocks, group descriptors and bitmaps; frees fs whatever happens.
  const errcode_t err = ext2fs_close_free(&closer.fs);
  return err == 0 && target.Flush();
}

}  // namespace tessel
