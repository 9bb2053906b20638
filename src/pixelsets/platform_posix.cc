// What platform.h promises, on POSIX systems.

#include "pixelsets/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysinfo.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <utility>

#include "pixelsets/memory_limits.h"

namespace pixelsets {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The mapped source, for the handler below; lock-free, so a handler may read
// them.
std::atomic<std::uintptr_t> g_map_start{0};
std::atomic<std::uintptr_t> g_map_end{0};
volatile sig_atomic_t g_cut = 0;
std::uintptr_t g_page = 4096;

// A read of a mapped source beyond its end, once another program has cut it
// short, raises SIGBUS. The lost page is replaced by zeros and the loss
// noted, so that the run can refuse the source instead of dying; any other
// SIGBUS keeps its default action.
extern "C" void ZeroLostPage(int sig, siginfo_t* info, void* /*context*/) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (address >= g_map_start.load() && address < g_map_end.load()) {
    char* page = static_cast<char*>(info->si_addr) - (address & (g_page - 1));
    if (mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
             -1, 0) != MAP_FAILED) {
      g_cut = 1;
      return;
    }
  }
  signal(sig, SIG_DFL);  // the faulting access runs again, and ends the run
}

}  // namespace

MappedFile MappedFile::Map(std::FILE* file) {
  struct stat st;
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size <= 0 ||
      static_cast<std::uint64_t>(st.st_size) > static_cast<std::size_t>(-1))
    return {};
  static const bool handled = [] {
    g_page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = ZeroLostPage;
    action.sa_flags = SA_SIGINFO;
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  if (!handled) return {};
  const auto length = static_cast<std::size_t>(st.st_size);
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;  // one call instead of a fault every few pages
#endif
  void* start = mmap(nullptr, length, PROT_READ, flags, fd, 0);
  if (start == MAP_FAILED) return {};
#ifdef MADV_HUGEPAGE
  // Only pages mapped later can be large: MAP_POPULATE has mapped the rest
  // 4 KiB at a time. Mapping the cache's 2 MiB pages whole instead (this
  // advice first, then MADV_POPULATE_READ) was measured slower: 300 million
  // records, medians of 3, 61.7 s against 49.3 s.
  madvise(start, length, MADV_HUGEPAGE);
#endif
  g_cut = 0;
  g_map_start.store(reinterpret_cast<std::uintptr_t>(start));
  g_map_end.store(reinterpret_cast<std::uintptr_t>(start) + length + g_page -
                  1);
  return MappedFile(static_cast<const char*>(start), length);
}

MappedFile::~MappedFile() {
  if (data_ == nullptr) return;
  if (g_map_start.load() == reinterpret_cast<std::uintptr_t>(data_)) {
    g_map_start.store(0);
    g_map_end.store(0);
  }
  munmap(const_cast<char*>(data_), size_);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    MappedFile old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool SourceCut() { return g_cut != 0; }

namespace {

// The value of `key` (in kB) in /proc/meminfo-like text.
bool ReadKiB(const char* path, const char* key, std::uint64_t* value) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  char line[256];
  bool found = false;
  const std::size_t length = std::strlen(key);
  while (!found && std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long kib = 0;
    if (std::strncmp(line, key, length) == 0 &&
        std::sscanf(line + length, " %llu", &kib) == 1) {
      *value = static_cast<std::uint64_t>(kib) << 10;
      found = true;
    }
  }
  std::fclose(f);
  return found;
}

// The free memory the kernel itself tells, for a system that shows no
// /proc: what is not in use at all, a lower bound of what could be had.
std::uint64_t KernelFree() {
#ifdef __linux__
  struct sysinfo info;
  if (sysinfo(&info) == 0) {
    return (static_cast<std::uint64_t>(info.freeram) + info.bufferram) *
           info.mem_unit;
  }
#endif
  return static_cast<std::uint64_t>(-1);
}

}  // namespace

std::uint64_t MemoryFree() {
  std::uint64_t free = MemoryAvailableUnder("/", KernelFree());
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    std::uint64_t mapped = 0;
    if (!ReadKiB("/proc/self/status", "VmSize:", &mapped)) mapped = 0;
    const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
    free = std::min(free, cap > mapped ? cap - mapped : 0);
  }
  return free;
}

std::size_t FilesFree() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(kManyFiles))
    return kManyFiles;
  const auto most = static_cast<std::size_t>(limit.rlim_cur);
  std::size_t open = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++open;
    }
    closedir(dir);
    if (open > 0) --open;  // the folder's own, which is closed now
  } else {
    // No /proc: the descriptors in use, asked one by one.
    for (std::size_t fd = 0; fd < most; ++fd) {
      if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++open;
    }
  }
  return most > open ? most - open : 0;
}

std::filesystem::path TypedPath(const std::string& name) { return name; }

void AdviseReading(std::FILE* file, bool backward) {
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fileno(file), 0, 0,
                backward ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
#else
  (void)file;
  (void)backward;
#endif
}

void ForgetCached(std::FILE* file, std::uint64_t offset, std::uint64_t size) {
#ifdef POSIX_FADV_DONTNEED
  posix_fadvise(fileno(file), static_cast<off_t>(offset),
                static_cast<off_t>(size), POSIX_FADV_DONTNEED);
#else
  (void)file;
  (void)offset;
  (void)size;
#endif
}

void ReadSoon(std::FILE* file) {
#ifdef POSIX_FADV_WILLNEED
  posix_fadvise(fileno(file), 0, 0, POSIX_FADV_WILLNEED);
#else
  (void)file;
#endif
}

std::int64_t ReadAt(std::FILE* file, std::uint64_t offset, char* data,
                    std::size_t size) {
  const int fd = fileno(file);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got =
        pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

UncachedFile::UncachedFile(std::FILE* file) : file_(file) {
#ifdef O_DIRECT
  struct stat st;
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  // The file already open, whatever its name means by now.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const int again = open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (again < 0) return;
  struct stat same;
  if (fstat(again, &same) != 0 || same.st_dev != st.st_dev ||
      same.st_ino != st.st_ino) {
    close(again);
    return;
  }
  fd_ = again;
#endif
}

UncachedFile::~UncachedFile() {
  if (fd_ >= 0) close(fd_);
}

std::int64_t UncachedFile::ReadAt(std::uint64_t offset, char* data,
                                  std::size_t size) {
  if (fd_ < 0) return pixelsets::ReadAt(file_, offset, data, size);
  const std::size_t asked = (size + kAlign - 1) / kAlign * kAlign;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd_, data + done, asked - done,
                              static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    // A file system that reads no file past its cache says so at once.
    if (got < 0 && errno == EINVAL && done == 0)
      return pixelsets::ReadAt(file_, offset, data, size);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
    // Short of a whole block: the end of the file.
    if (done % kAlign != 0) break;
  }
  return static_cast<std::int64_t>(std::min(done, size));
}

bool IsTerminal(std::FILE* file) { return isatty(fileno(file)) != 0; }

std::FILE* OpenForReading(const std::filesystem::path& path, int* errnum) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  *errnum = file == nullptr && errno == 0 ? EIO : errno;
  return file;
}

void KeepThreadsSmall() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return;
#ifdef __GLIBC__
  // A thread's first allocation would reserve an area of 64 MiB of address
  // space, and a thread's stack takes the stack limit (8 MiB, often).
  mallopt(M_ARENA_MAX, 1);
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) == 0) {
    pthread_attr_setstacksize(&attributes, std::size_t{1} << 20);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
  }
#endif
}

void UseTheUsersLanguage() {
  // The messages, and the character set they are written in; nothing that
  // changes how numbers are read or written.
  std::setlocale(LC_MESSAGES, "");
  std::setlocale(LC_CTYPE, "");
}

void* AllocateLarge(std::size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes);
  // Mapped one huge page over and trimmed, so that the array starts on a
  // huge page boundary and all of it can be backed by huge pages.
  if (bytes > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
  const std::size_t mapped = bytes + kHugePage;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  // Offsets from `raw`, so that no integer becomes a pointer.
  const auto misalign = reinterpret_cast<std::uintptr_t>(raw) % kHugePage;
  const std::size_t head = misalign == 0 ? 0 : kHugePage - misalign;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t used = head + (bytes + page - 1) / page * page;
  char* aligned = static_cast<char*>(raw) + head;
  if (head > 0) munmap(raw, head);
  if (used < mapped) munmap(static_cast<char*>(raw) + used, mapped - used);
#ifdef MADV_HUGEPAGE
  madvise(aligned, bytes, MADV_HUGEPAGE);
#endif
  return aligned;
}

void FreeLarge(void* memory, std::size_t bytes) {
  if (memory == nullptr) return;
  if (bytes < kHugePage) {
    ::operator delete(memory);
  } else {
    munmap(memory, bytes);
  }
}

void StartWriteback(std::FILE* file) {
#ifdef SYNC_FILE_RANGE_WRITE
  sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

SyncTarget SyncTargetOf(std::FILE* file) { return fileno(file); }

bool SyncData(SyncTarget target) {
  return fdatasync(static_cast<int>(target)) == 0;
}

}  // namespace pixelsets
