// Linux: where a file holds data, from its extent map (FS_IOC_FIEMAP), where unwritten and
// delayed extents count as data and only gaps are holes, with SEEK_DATA where no map exists;
// and how many bytes the file system has given a file.
#include "platform/posix/internal.h"

using namespace posix_detail;

namespace {

constexpr int kNoExtentMap = -1;

// The next data range from the file's extent map, contiguous extents joined. Every extent the
// file system reports is data: unwritten ones (preallocation, FALLOC_FL_ZERO_RANGE) keep the
// blocks that held the old contents, and SEEK_DATA would call them holes. No FIEMAP_FLAG_SYNC:
// delayed extents are reported as such, and forcing every dirty page out before each look would
// cost a write of its own. 1 with a range, 0 when [from, limit) holds none, kNoExtentMap when
// the file system keeps no extent map.
int next_extent(int fd, int64_t from, int64_t limit, int64_t* start, int64_t* end) {
  constexpr uint32_t kBatch = 32;
  alignas(struct fiemap) unsigned char
      buffer[sizeof(struct fiemap) + kBatch * sizeof(struct fiemap_extent)];
  std::memset(buffer, 0, sizeof buffer);
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  map->fm_start = static_cast<uint64_t>(from);
  map->fm_length = static_cast<uint64_t>(limit - from);
  map->fm_flags = 0;
  map->fm_extent_count = kBatch;
  int rc;
  do {
    rc = ioctl(fd, FS_IOC_FIEMAP, map);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EOPNOTSUPP || errno == ENOTTY || errno == ENOSYS) return kNoExtentMap;
    // A map that exists but cannot be read now: the rest is taken as data.
    *start = from;
    *end = limit;
    return 1;
  }
  if (map->fm_mapped_extents == 0) return 0;
  const struct fiemap_extent* extent = map->fm_extents;
  int64_t first = static_cast<int64_t>(extent->fe_logical);
  int64_t last = first + static_cast<int64_t>(extent->fe_length);
  for (uint32_t i = 1; i < map->fm_mapped_extents; ++i) {
    if (static_cast<int64_t>(map->fm_extents[i].fe_logical) != last) break;
    last += static_cast<int64_t>(map->fm_extents[i].fe_length);
  }
  if (first < from) first = from;
  if (last > limit) last = limit;
  if (first >= last) return 0;
  *start = first;
  *end = last;
  return 1;
}

// Whether the file system keeps an extent map for this file: a query that counts the extents of
// its first byte costs little more than the call.
bool has_extent_map(int fd) {
  // A buffer rather than a struct fiemap variable: the struct ends in a zero-length array, which
  // pedantic C++ refuses to instantiate.
  alignas(struct fiemap) unsigned char buffer[sizeof(struct fiemap)] = {};
  auto* map = reinterpret_cast<struct fiemap*>(buffer);
  map->fm_start = 0;
  map->fm_length = 1;
  map->fm_extent_count = 0;
  int rc;
  do {
    rc = ioctl(fd, FS_IOC_FIEMAP, map);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

bool os_next_data(os_handle file, int64_t from, int64_t limit, int64_t* start, int64_t* end) {
  if (from < 0) from = 0;
  if (from >= limit) return false;
  const int fd = static_cast<int>(file);
  const int extent = next_extent(fd, from, limit, start, end);
  if (extent != kNoExtentMap) return extent == 1;
  // Without an extent map SEEK_DATA is the best there is: file systems that have none (tmpfs)
  // know no unwritten ranges either. It moves the file position, which callers may be writing
  // at, so the position is put back.
  const off_t position = lseek(fd, 0, SEEK_CUR);
  const off_t data = lseek(fd, static_cast<off_t>(from), SEEK_DATA);
  const int data_error = errno;
  off_t hole = data >= 0 && data < limit ? lseek(fd, data, SEEK_HOLE) : -1;
  if (position >= 0) lseek(fd, position, SEEK_SET);
  if (data < 0) {
    // ENXIO: nothing but a hole from here on. Any other failure (a file system without
    // SEEK_DATA) means the rest is taken as data, which is never less than the truth.
    if (data_error == ENXIO) return false;
    *start = from;
    *end = limit;
    return true;
  }
  if (data >= limit) return false;
  if (hole < 0 || hole > limit) hole = static_cast<off_t>(limit);
  *start = static_cast<int64_t>(data);
  *end = static_cast<int64_t>(hole);
  return true;
}

bool os_has_block_map(os_handle file) { return has_extent_map(static_cast<int>(file)); }

bool os_file_allocation(os_handle file, os_allocation* allocation) {
#if defined(STATX_SIZE) && defined(STATX_BLOCKS)
  // Only size and blocks are asked for: NFS writes dirty pages out before it answers for times.
  struct statx sx {};
  if (statx(static_cast<int>(file), "", AT_EMPTY_PATH, STATX_SIZE | STATX_BLOCKS, &sx) == 0 &&
      (sx.stx_mask & (STATX_SIZE | STATX_BLOCKS)) == (STATX_SIZE | STATX_BLOCKS)) {
    allocation->size = static_cast<int64_t>(sx.stx_size);
    allocation->allocated = static_cast<int64_t>(sx.stx_blocks) * 512;
    return true;
  }
#endif
  struct stat st {};
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  allocation->size = static_cast<int64_t>(st.st_size);
  allocation->allocated = static_cast<int64_t>(st.st_blocks) * 512;
  return true;
}
