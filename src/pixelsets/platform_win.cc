// What platform.h promises, on Windows: plain memory, no mapping (the source
// is read), names typed in the console's code page or UTF-8.

#include "pixelsets/platform.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <utility>

namespace pixelsets {

void* AllocateLarge(std::size_t bytes) { return ::operator new(bytes); }

void FreeLarge(void* memory, std::size_t /*bytes*/) {
  ::operator delete(memory);
}

void StartWriteback(std::FILE* /*file*/) {}

SyncTarget SyncTargetOf(std::FILE* file) {
  return _get_osfhandle(_fileno(file));
}

bool SyncData(SyncTarget target) {
  // The C runtime hands out the handle as a number.
  const auto handle =
      reinterpret_cast<HANDLE>(target);  // NOLINT(performance-no-int-to-ptr)
  if (FlushFileBuffers(handle) != 0) return true;
  errno = EIO;
  return false;
}

// The source is read, not mapped, on Windows.
MappedFile MappedFile::Map(std::FILE* /*file*/) { return {}; }
MappedFile::~MappedFile() {}  // nothing is ever mapped here
MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}
MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  return *this;
}
bool SourceCut() { return false; }

std::uint64_t MemoryFree() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0) return static_cast<std::uint64_t>(-1);
  return std::min<std::uint64_t>(status.ullAvailPhys, status.ullAvailVirtual);
}

std::size_t FilesFree() {
  // The C runtime's streams are the limit here; those a run holds beside
  // the draw's (the standard three, the source, the two sets) are counted
  // rather than asked for, which it cannot be.
  constexpr int kHeld = 6;
  // The runtime's 512 by default would not hold both halves' buckets: asked
  // for more once (2048, the most every runtime gives).
  static const bool raised = _setmaxstdio(2048) != -1;
  (void)raised;
  const int most = _getmaxstdio();
  return most > kHeld ? static_cast<std::size_t>(most - kHeld) : 0;
}

std::filesystem::path TypedPath(const std::string& name) {
  if (name.empty()) return {};
  const auto convert = [&name](UINT code_page, DWORD flags) {
    const int length =
        MultiByteToWideChar(code_page, flags, name.data(),
                            static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
      MultiByteToWideChar(code_page, flags, name.data(),
                          static_cast<int>(name.size()), wide.data(), length);
    }
    return wide;
  };
  std::wstring wide = convert(CP_UTF8, MB_ERR_INVALID_CHARS);
  if (wide.empty()) {
    // Typed at a console, the name comes in the console's code page; from
    // a script, most likely in the system's.
    DWORD mode;
    const bool console =
        GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    wide = convert(console ? GetConsoleCP() : CP_ACP, 0);
  }
  return std::filesystem::path(wide);
}

void AdviseReading(std::FILE* /*file*/, bool /*backward*/) {}

void ForgetCached(std::FILE* /*file*/, std::uint64_t /*offset*/,
                  std::uint64_t /*size*/) {}

void ReadSoon(std::FILE* /*file*/) {}

std::int64_t ReadAt(std::FILE* file, std::uint64_t offset, char* data,
                    std::size_t size) {
  // The C runtime hands out the handle as a number.
  const auto handle =
      reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
          _get_osfhandle(_fileno(file)));
  std::size_t done = 0;
  while (done < size) {
    // The offset goes with each read, so another thread's reads, which may
    // move the handle's position in between, do not matter.
    OVERLAPPED at = {};
    const std::uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    const DWORD want = static_cast<DWORD>(
        std::min<std::size_t>(size - done, std::size_t{1} << 30));
    DWORD got = 0;
    if (ReadFile(handle, data + done, want, &got, &at) == FALSE) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

// Windows reads a file past its cache only in whole sectors of its disk,
// which the program does not ask for: the file is read as any other.
UncachedFile::UncachedFile(std::FILE* file) : file_(file) {}
UncachedFile::~UncachedFile() {}

std::int64_t UncachedFile::ReadAt(std::uint64_t offset, char* data,
                                  std::size_t size) {
  return pixelsets::ReadAt(file_, offset, data, size);
}

bool IsTerminal(std::FILE* file) { return _isatty(_fileno(file)) != 0; }

std::FILE* OpenForReading(const std::filesystem::path& path, int* errnum) {
  errno = 0;
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  *errnum = file == nullptr && errno == 0 ? EIO : errno;
  return file;
}

// Windows has no address-space limit of the kind.
void KeepThreadsSmall() {}

// The C runtime has its reasons in English only.
void UseTheUsersLanguage() {}

}  // namespace pixelsets
