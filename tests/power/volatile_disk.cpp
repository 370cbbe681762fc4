// A disk with a volatile write cache, for the power-loss test: a FUSE file
// system holding one file, disk.img, meant to back a loop device.
//
//   volatile_disk serve IMAGE LOG MOUNTPOINT
//       Serves IMAGE (the disk's durable medium) as MOUNTPOINT/disk.img, in
//       the foreground. Writes go to a cache; they reach IMAGE only when the
//       kernel flushes the file (a loop device does so for every flush
//       request its file system sends). Each flush is a flush point: the
//       blocks it made durable are appended to LOG, followed by a marker.
//       MOUNTPOINT/control reads as "flushes N"; writing "cut" to it cuts the
//       power: the cache is dropped, and from then on writes and flushes are
//       accepted and forgotten, as by a disk that is no longer there.
//   volatile_disk points LOG
//       One line per flush point in LOG: its number and how many bytes it
//       made durable.
//   volatile_disk replay LOG IMAGE FROM TO
//       Applies to IMAGE, which holds the durable state as of flush point
//       FROM (0: before the first), what flush points FROM+1 to TO made
//       durable. IMAGE then holds the disk as a power cut right after flush
//       point TO would have left it.
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 4096;
constexpr char kDiskName[] = "/disk.img";
constexpr char kControlName[] = "/control";

// One record of the log: `length` bytes of data at `offset` follow a data
// record; a marker (no data) ends flush point number `offset`.
struct Record {
  uint64_t offset;
  uint32_t length;
  uint32_t kind;
};
constexpr uint32_t kData = 0;
constexpr uint32_t kMarker = 1;

using Block = std::array<char, kBlock>;

struct Disk {
  int image = -1;
  FILE* log = nullptr;
  uint64_t size = 0;
  // Written but not yet flushed, by block number.
  std::map<uint64_t, Block> cache;
  uint64_t flushes = 0;
  bool power_cut = false;
};

Disk g_disk;

bool ReadDurable(uint64_t offset, char* out, size_t length) {
  while (length > 0) {
    const ssize_t n = pread(g_disk.image, out, length, off_t(offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0) {
      // Past the medium's end: blank, as a fresh disk reads.
      memset(out, 0, length);
      return true;
    }
    out += n;
    offset += uint64_t(n);
    length -= size_t(n);
  }
  return true;
}

bool WriteDurable(uint64_t offset, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = pwrite(g_disk.image, data, length, off_t(offset));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    offset += uint64_t(n);
    length -= size_t(n);
  }
  return true;
}

// The flush point: every cached block becomes durable, and the log records
// which, so that this point's durable state can be rebuilt afterwards.
int Flush() {
  if (g_disk.power_cut)
    return 0;
  for (const auto& [number, block] : g_disk.cache) {
    const Record record{number * kBlock, uint32_t(kBlock), kData};
    if (fwrite(&record, sizeof record, 1, g_disk.log) != 1 ||
        fwrite(block.data(), kBlock, 1, g_disk.log) != 1 ||
        !WriteDurable(number * kBlock, block.data(), kBlock))
      return -EIO;
  }
  g_disk.cache.clear();
  ++g_disk.flushes;
  const Record marker{g_disk.flushes, 0, kMarker};
  if (fwrite(&marker, sizeof marker, 1, g_disk.log) != 1 || fflush(g_disk.log) != 0)
    return -EIO;
  return 0;
}

int DiskRead(char* out, size_t length, uint64_t offset) {
  if (offset >= g_disk.size)
    return 0;
  if (length > g_disk.size - offset)
    length = size_t(g_disk.size - offset);
  size_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const uint64_t number = at / kBlock;
    const size_t within = size_t(at % kBlock);
    const size_t n = std::min(kBlock - within, length - done);
    const auto cached = g_disk.cache.find(number);
    if (cached != g_disk.cache.end())
      memcpy(out + done, cached->second.data() + within, n);
    else if (!ReadDurable(at, out + done, n))
      return -EIO;
    done += n;
  }
  return int(done);
}

int DiskWrite(const char* data, size_t length, uint64_t offset) {
  if (offset >= g_disk.size || length > g_disk.size - offset)
    return -ENOSPC;
  if (g_disk.power_cut)
    return int(length);
  size_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const uint64_t number = at / kBlock;
    const size_t within = size_t(at % kBlock);
    const size_t n = std::min(kBlock - within, length - done);
    auto cached = g_disk.cache.find(number);
    if (cached == g_disk.cache.end()) {
      cached = g_disk.cache.emplace(number, Block()).first;
      // A partly written block keeps the rest of what the disk holds.
      if (n < kBlock && !ReadDurable(number * kBlock, cached->second.data(), kBlock)) {
        g_disk.cache.erase(cached);
        return -EIO;
      }
    }
    memcpy(cached->second.data() + within, data + done, n);
    done += n;
  }
  return int(done);
}

std::string ControlText() {
  return "flushes " + std::to_string(g_disk.flushes) + "\n";
}

// --- FUSE operations ---------------------------------------------------------

int OpGetattr(const char* path, struct stat* st, fuse_file_info*) {
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0700;
    st->st_nlink = 2;
  } else if (strcmp(path, kDiskName) == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = off_t(g_disk.size);
  } else if (strcmp(path, kControlName) == 0) {
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
  } else {
    return -ENOENT;
  }
  return 0;
}

int OpReaddir(const char* path,
              void* buffer,
              fuse_fill_dir_t fill,
              off_t,
              fuse_file_info*,
              fuse_readdir_flags) {
  if (strcmp(path, "/") != 0)
    return -ENOENT;
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buffer, kDiskName + 1, nullptr, 0, fuse_fill_dir_flags(0));
  fill(buffer, kControlName + 1, nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int OpOpen(const char* path, fuse_file_info* info) {
  if (strcmp(path, kDiskName) != 0 && strcmp(path, kControlName) != 0)
    return -ENOENT;
  // No page cache in between: every read and write of the loop device
  // reaches this cache, and the control file is read afresh each time.
  info->direct_io = 1;
  return 0;
}

int OpRead(const char* path, char* out, size_t length, off_t offset, fuse_file_info*) {
  if (strcmp(path, kControlName) == 0) {
    const std::string text = ControlText();
    if (size_t(offset) >= text.size())
      return 0;
    const size_t n = std::min(length, text.size() - size_t(offset));
    memcpy(out, text.data() + offset, n);
    return int(n);
  }
  return DiskRead(out, length, uint64_t(offset));
}

int OpWrite(const char* path, const char* data, size_t length, off_t offset, fuse_file_info*) {
  if (strcmp(path, kControlName) == 0) {
    if (length >= 3 && memcmp(data, "cut", 3) == 0) {
      g_disk.cache.clear();
      g_disk.power_cut = true;
      return int(length);
    }
    return -EINVAL;
  }
  return DiskWrite(data, length, uint64_t(offset));
}

int OpFsync(const char* path, int, fuse_file_info*) {
  return strcmp(path, kDiskName) == 0 ? Flush() : 0;
}

int OpTruncate(const char* path, off_t size, fuse_file_info*) {
  // The disk has a fixed size; the control file takes writes at any length.
  if (strcmp(path, kControlName) == 0)
    return 0;
  return uint64_t(size) == g_disk.size ? 0 : -EPERM;
}

int Serve(const char* image, const char* log, const char* mountpoint, const char* program) {
  g_disk.image = open(image, O_RDWR | O_CLOEXEC);
  struct stat st;
  if (g_disk.image < 0 || fstat(g_disk.image, &st) != 0) {
    perror(image);
    return 1;
  }
  g_disk.size = uint64_t(st.st_size);
  g_disk.log = fopen(log, "wbe");
  if (!g_disk.log) {
    perror(log);
    return 1;
  }
  fuse_operations ops = {};
  ops.getattr = OpGetattr;
  ops.readdir = OpReaddir;
  ops.open = OpOpen;
  ops.read = OpRead;
  ops.write = OpWrite;
  ops.fsync = OpFsync;
  ops.truncate = OpTruncate;
  // Foreground and single-threaded: the cache needs no locks, and whoever
  // started the disk can stop it by its pid.
  std::vector<const char*> args = {program, "-f", "-s", "-o", "fsname=volatile_disk", mountpoint};
  const int status = fuse_main(int(args.size()), const_cast<char**>(args.data()), &ops, nullptr);
  fclose(g_disk.log);
  close(g_disk.image);
  return status;
}

// --- Reading the log back ------------------------------------------------------

bool ReadRecord(FILE* in, Record& record, std::vector<char>& data) {
  if (fread(&record, sizeof record, 1, in) != 1)
    return false;
  data.resize(record.length);
  return record.length == 0 || fread(data.data(), record.length, 1, in) == 1;
}

int Points(const char* log) {
  FILE* in = fopen(log, "rb");
  if (!in) {
    perror(log);
    return 1;
  }
  Record record;
  std::vector<char> data;
  uint64_t bytes = 0;
  while (ReadRecord(in, record, data)) {
    if (record.kind == kMarker) {
      printf("%llu %llu\n", (unsigned long long)record.offset, (unsigned long long)bytes);
      bytes = 0;
    } else {
      bytes += record.length;
    }
  }
  fclose(in);
  return 0;
}

int Replay(const char* log, const char* image, uint64_t from, uint64_t to) {
  FILE* in = fopen(log, "rb");
  if (!in) {
    perror(log);
    return 1;
  }
  g_disk.image = open(image, O_RDWR | O_CLOEXEC);
  if (g_disk.image < 0) {
    perror(image);
    fclose(in);
    return 1;
  }
  Record record;
  std::vector<char> data;
  // The flush point the records being read belong to.
  uint64_t point = 1;
  bool ok = true;
  while (ok && point <= to && ReadRecord(in, record, data)) {
    if (record.kind == kMarker)
      point = record.offset + 1;
    else if (point > from)
      ok = WriteDurable(record.offset, data.data(), data.size());
  }
  fclose(in);
  if (close(g_disk.image) != 0 || !ok) {
    fprintf(stderr, "%s: cannot write\n", image);
    return 1;
  }
  if (point <= to) {
    fprintf(stderr, "%s: has no flush point %llu\n", log, (unsigned long long)to);
    return 1;
  }
  return 0;
}

int Usage(const char* program) {
  fprintf(stderr,
          "usage: %s serve IMAGE LOG MOUNTPOINT\n"
          "       %s points LOG\n"
          "       %s replay LOG IMAGE FROM TO\n",
          program, program, program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc >= 2 ? argv[1] : "";
  if (command == "serve" && argc == 5)
    return Serve(argv[2], argv[3], argv[4], argv[0]);
  if (command == "points" && argc == 3)
    return Points(argv[2]);
  if (command == "replay" && argc == 6)
    return Replay(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10),
                  std::strtoull(argv[5], nullptr, 10));
  return Usage(argv[0]);
}
