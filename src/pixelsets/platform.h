// What a run needs from the system beyond the standard library, but for the
// set files' commit (set_files_platform.h): memory for the large arrays and
// how much of it there is, the mapped source, reads at an offset and hints
// on how a file is read, writeback and syncs ahead of the end, names typed at
// the console, terminals and the user's language. One implementation per
// platform: platform_posix.cc, platform_win.cc.

#ifndef PARTICION_SRC_PIXELSETS_PLATFORM_H_
#define PARTICION_SRC_PIXELSETS_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

namespace pixelsets {

// Memory for an array of `bytes` that is read at random or filled in bulk:
// large ones are backed by huge pages where the system has them, so that a
// random access costs one cache miss and no page-table walk, and new memory
// costs one trip to the system per 2 MiB rather than per small page (on a
// virtual machine, about 10 us each). Throws std::bad_alloc.
void* AllocateLarge(std::size_t bytes);
void FreeLarge(void* memory, std::size_t bytes);

// An allocator on AllocateLarge that leaves new elements uninitialised, so
// that growing a buffer to read into costs no zeroing.
template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  explicit LargeAllocator(const LargeAllocator<U>& /*other*/) {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(AllocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) { FreeLarge(p, n * sizeof(T)); }
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
  }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Starts writing what `file` holds so far out to storage, without waiting, so
// that the sync that ends a large set file finds little left to do. A hint:
// does nothing where the platform has no such call or `file` is not a file.
void StartWriteback(std::FILE* file);

// What another thread syncs an open file through while its stream goes on
// writing it (the stream itself is not safe to share): taken from the
// stream on the stream's own thread.
using SyncTarget = std::intptr_t;
SyncTarget SyncTargetOf(std::FILE* file);

// Waits until what was written to the file so far, flushed from its stream,
// is on storage; false with errno set when that fails.
bool SyncData(SyncTarget target);

// Tells the system how `file` will be read: from start to end, so that it
// reads further ahead; or in large pieces from the end backwards, so that it
// reads nothing beyond each piece. A hint: does nothing where the platform
// has none.
void AdviseReading(std::FILE* file, bool backward);

// Tells the system that bytes [offset, offset + size) of `file` will not be
// read again, so that their pages make room for others. A hint, as above.
void ForgetCached(std::FILE* file, std::uint64_t offset, std::uint64_t size);

// Tells the system that all of `file` will be read soon, so that it starts
// reading it from storage now. A hint, as above.
void ReadSoon(std::FILE* file);

// A regular file mapped whole into memory for reading, or nothing.
class MappedFile {
 public:
  MappedFile() = default;
  // Maps the regular file open as `file` (from its first byte, whatever the
  // stream's position); empty when it is not a regular file, is empty, or
  // cannot be mapped, so that the caller reads it instead. Should the file
  // be cut short while it is mapped, the pages it lost read as zero bytes and
  // SourceCut() says so, instead of the program being killed.
  static MappedFile Map(std::FILE* file);
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;

  bool mapped() const { return data_ != nullptr; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  MappedFile(const char* data, std::size_t size) : data_(data), size_(size) {}
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

// The file that a typed `name` means. On Windows the bytes are taken as
// UTF-8 where they are valid UTF-8, else in the console's (or, from a
// script, the system's) code page, so that accented names open; elsewhere
// they are the name as it stands.
std::filesystem::path TypedPath(const std::string& name);

// True when `file` is a terminal (a person watches it).
bool IsTerminal(std::FILE* file);

// Reads up to `size` bytes of `file` from byte `offset` into `data`,
// whatever the stream's position (which it may move); safe on several
// threads at once. Returns the bytes read (fewer only at the end of the
// file), or -1 on a read error.
std::int64_t ReadAt(std::FILE* file, std::uint64_t offset, char* data,
                    std::size_t size);

// A regular file open as `file`, opened once more to be read past the
// system's cache where the platform can: for a file read once in large
// pieces, larger than memory, whose pages would only push out others (and,
// on a virtual machine, cost the host a new page each). Otherwise, and for
// any file the system will not read so, reads go through ReadAt.
class UncachedFile {
 public:
  // What the memory read into, and the offsets read from, are multiples of.
  static constexpr std::size_t kAlign = 4096;

  explicit UncachedFile(std::FILE* file);
  ~UncachedFile();
  UncachedFile(const UncachedFile&) = delete;
  UncachedFile& operator=(const UncachedFile&) = delete;

  // As ReadAt, with `offset` and `data` multiples of kAlign; `data` must
  // have room for `size` rounded up to one. Safe on several threads at once.
  std::int64_t ReadAt(std::uint64_t offset, char* data, std::size_t size);

 private:
  std::FILE* file_;
  [[maybe_unused]] int fd_ = -1;  // the second opening, or none (Windows)
};

// Opens `path` for reading in binary mode; null on failure, with the
// reason's errno in `*errnum`.
std::FILE* OpenForReading(const std::filesystem::path& path, int* errnum);

// How much memory the run may still take without pushing the system into
// swapping or hitting a limit: the least of the memory available, what the
// run's control group and each group above it have left below their limits
// (memory_limits.h), and the address-space limit less what is mapped. A
// large number where none of them can be read.
std::uint64_t MemoryFree();

// What FilesFree says where there is no telling.
inline constexpr std::size_t kManyFiles = std::size_t{1} << 20;

// How many more files the run may open: the system's limit on open files
// less those open now (kManyFiles where it cannot be told or is higher).
std::size_t FilesFree();

// True once a mapped source has lost pages while it was mapped: what was
// read of it since is not what the file held.
bool SourceCut();

// Under an address-space limit (ulimit -v), keeps what the threads take of
// it to what they use: they share one allocation area rather than each
// reserving one of its own, and have stacks of 1 MiB. Before any thread.
void KeepThreadsSmall();

// Takes the language of the system's messages (the reasons of Reason()) from
// the user's environment, and nothing else: numbers and everything else stay
// as in the "C" locale.
void UseTheUsersLanguage();

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_PLATFORM_H_
