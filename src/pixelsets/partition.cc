#include "pixelsets/partition.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "pixelsets/storage.h"

namespace pixelsets {
namespace {

// Draw positions are computed this many at a time: they depend only on the
// generator and the shrinking count, so the records they name can be
// prefetched before they are needed.
constexpr std::size_t kBatch = 1024;
// How far ahead to fetch a record's view, and (once the view is cached) its
// text: the pool is far larger than the caches, so each draw is a miss.
// Measured: without prefetching the draw of ten million records takes 3 to 4
// times as long; nearer or farther distances were slower.
constexpr std::size_t kViewAhead = 16;
constexpr std::size_t kTextAhead = 8;

inline void Prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;  // a hint only: without it the draw is slower, not different
#endif
}

// Gathers a set file's bytes in large blocks: one write per block keeps
// system calls rare, and a bounded block keeps memory flat.
class BlockWriter {
 public:
  explicit BlockWriter(std::FILE* file)
      : file_(file), block_(std::make_unique_for_overwrite<char[]>(kSize)) {}

  void Header(std::int32_t caract) {
    used_ = static_cast<std::size_t>(
        std::to_chars(block_.get(), block_.get() + 16, caract).ptr -
        block_.get());
  }
  // Appends a line end and `text`; false once a write has failed.
  bool Line(std::string_view text) {
    if (kSize - used_ < text.size() + 1 && !Drain()) return false;
    block_[used_++] = '\n';
    std::memcpy(block_.get() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }
  // Writes what is left and flushes the stream; false if any write failed,
  // with the reason in errno.
  bool Finish() { return Drain() && std::fflush(file_) == 0; }

 private:
  static constexpr std::size_t kSize = 1 << 20;  // > kMaxLineLength + 1

  // Every this many bytes the file's data is sent on to storage while the
  // draw goes on, so that the sync at the end waits for little. Measured at
  // ten million records (medians of 7 runs): no sync 0.70 s, a sync only at
  // the end 0.69 s, writeback every 8 MiB and the sync 0.62 to 0.64 s.
  static constexpr std::size_t kWritebackBytes = std::size_t{8} << 20;

  bool Drain() {
    if (used_ > 0 && std::fwrite(block_.get(), 1, used_, file_) != used_)
      return false;
    unsynced_ += used_;
    used_ = 0;
    if (unsynced_ >= kWritebackBytes) {
      if (std::fflush(file_) != 0) return false;
      StartWriteback(file_);
      unsynced_ = 0;
    }
    return true;
  }

  std::FILE* file_;
  std::unique_ptr<char[]> block_;
  std::size_t used_ = 0;
  std::size_t unsynced_ = 0;
};

// Draws `count` records from the first `*n_total` of the pool into `out`.
bool Draw(Pool* pool, std::size_t* n_total, std::int32_t count,
          const Generator& rand, BlockWriter* out) {
  std::uint64_t* cadenas = pool->cadenas.data();
  const char* buffer = pool->buffer.get();
  std::size_t pos[kBatch];
  std::size_t left = static_cast<std::size_t>(count);
  while (left > 0) {
    const std::size_t n = std::min(left, kBatch);
    // One generator call per draw, in draw order, so the files are those of
    // drawing one record at a time.
    for (std::size_t i = 0; i < n; ++i)
      pos[i] = static_cast<unsigned>(rand()) % (*n_total - i);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kViewAhead < n) Prefetch(&cadenas[pos[i + kViewAhead]]);
      if (i + kTextAhead < n)
        Prefetch(buffer + (cadenas[pos[i + kTextAhead]] >> Pool::kLengthBits));
      if (!out->Line(pool->View(cadenas[pos[i]]))) return false;
      cadenas[pos[i]] = cadenas[--*n_total];
    }
    left -= n;
  }
  return true;
}

}  // namespace

std::string SetFileError(const char* name, int errnum) {
  return std::string("Error al escribir el fichero ") + name + ": " +
         std::strerror(errnum != 0 ? errnum : EIO);
}

bool Partition(Pool* pool, std::int32_t caract, std::int32_t n_entr,
               std::int32_t n_test, const Generator& rand,
               const SetStream& fEntrenamiento, const SetStream& fTest,
               std::string* err) {
  std::size_t n_total = pool->size();
  // Counts beyond the pool would draw from records already taken.
  if (n_entr < 0 || n_test < 0 ||
      static_cast<std::uint64_t>(n_entr) + static_cast<std::uint64_t>(n_test) >
          n_total) {
    *err = "Cuentas fuera del conjunto: " + std::to_string(n_entr) + " + " +
           std::to_string(n_test) + " de " + std::to_string(n_total);
    return false;
  }
  BlockWriter entr(fEntrenamiento.file);
  BlockWriter test(fTest.file);
  entr.Header(caract);
  test.Header(caract);
  errno = 0;
  bool ok = true;
  if (!Draw(pool, &n_total, n_entr, rand, &entr) || !entr.Finish()) {
    *err = SetFileError(fEntrenamiento.name, errno);
    ok = false;
  } else if (!Draw(pool, &n_total, n_test, rand, &test) || !test.Finish()) {
    *err = SetFileError(fTest.name, errno);
    ok = false;
  }
  pool->cadenas.resize(n_total);
  return ok;
}

}  // namespace pixelsets
