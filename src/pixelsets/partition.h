// The random partition of the pool into a training and a test set, and the
// writer of the two set files.

#ifndef PARTICION_SRC_PIXELSETS_PARTITION_H_
#define PARTICION_SRC_PIXELSETS_PARTITION_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "pixelsets/source_list.h"

namespace pixelsets {

// A pseudo-random source used like std::rand: each call fills `values` with
// the next `count` values of its sequence, none of them negative. Values come
// a batch at a time so that a fast generator costs no call per draw.
using Generator = std::function<void(int* values, std::size_t count)>;

// The Generator that calls `next` once for each value, in order.
Generator ValueByValue(std::function<int()> next);

// The sequence of glibc's rand() after srand(seed): its additive feedback
// generator (that of random(), degree 31), without the library's lock.
class GlibcRand {
 public:
  explicit GlibcRand(unsigned seed);
  int Next() {
    state_[front_] += state_[rear_];
    const int value = static_cast<int>(state_[front_] >> 1);
    front_ = front_ == kDegree - 1 ? 0 : front_ + 1;
    rear_ = rear_ == kDegree - 1 ? 0 : rear_ + 1;
    return value;
  }

 private:
  static constexpr int kDegree = 31;
  std::uint32_t state_[kDegree];
  int front_ = 3;
  int rear_ = 0;
};

// Seeds the C library's generator with `seed` (srand) and returns the
// generator of the draw: GlibcRand, when its first values equal those of
// std::rand() itself for this seed, else std::rand(). Either way the values
// are rand()'s, so the files are the same on every platform.
Generator SeededRand(unsigned seed);

// An open set file and the name to report its errors under.
struct SetStream {
  std::FILE* file;
  const char* name;
};

// What a draw may use beyond its pool and files.
struct DrawOptions {
  // Opens a new file to read and write that has no name and goes when it is
  // closed: the buckets of the draw for a source larger than memory. Null,
  // with errno set, on failure. std::tmpfile when empty.
  std::function<std::FILE*()> scratch;
  // Told from time to time, from either thread, how much of the work of
  // writing the sets is done: `done` of `total`.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // What a bucket of that draw holds, in bytes; 0 for the default. Small
  // ones let tests use many buckets.
  std::size_t bucket_bytes = 0;
  // Texts in memory from this many bytes up are gathered in their own
  // order, a chunk of draws at a time (source_order_gather.h): below it the
  // pages of the text and of its page tables stay within reach of the
  // caches, and reading each record where it is drawn is faster. Chunks of
  // `gather_chunk` draws, 0 for the default. Small ones let tests take that
  // way.
  std::size_t source_order_from = std::size_t{1} << 30;
  std::size_t gather_chunk = 0;
};

// Draws `n_entr` records into `fEntrenamiento`, then `n_test` into `fTest`,
// from `*pool` without replacement. Each draw takes position
// rand() % n_total, writes a line end and that record, moves the last record
// into its place and shrinks the pool. Each stream starts with `caract`.
// Afterwards the pool holds the records drawn for neither set. Returns false
// with SetFileError of the stream's `name` if writing fails, or with a note
// of the counts, writing nothing, unless 0 <= n_entr, 0 <= n_test and
// n_entr + n_test <= pool->size().
// A pool loaded as external is drawn the same, record for record, from its
// source read again in file order (external_draw.h); a source that changed
// since it was loaded then fails with kSourceChanged.
bool Partition(Pool* pool, std::int32_t caract, std::int32_t n_entr,
               std::int32_t n_test, const Generator& rand,
               const SetStream& fEntrenamiento, const SetStream& fTest,
               std::string* err, const DrawOptions& options = {});

// "Error al escribir el fichero NAME: REASON", REASON being the system's text
// for `errnum` (EIO's when the failure left no errno).
std::string SetFileError(const char* name, int errnum);

// Names of the set files, in the working directory.
inline constexpr char kEntrenamiento[] = "Entrenamiento.txt";
inline constexpr char kTest[] = "Test.txt";

// Tells the user something on the way that is no failure: a wait for another
// run, an old file that could not be removed.
using Notify = std::function<void(const std::string& message)>;

// Partitions `*pool` as above into the files `entrenamiento` and `test` (in
// one folder, or wherever symbolic links of those names lead), whole or not
// at all: both are written to temporaries beside the files they replace
// (unnamed where the file system allows, so that even a kill leaves nothing),
// synced, and then put in place together while ending and stop signals wait
// and while other runs in those folders are locked out; if the second cannot
// be put in place, the first is put back. A new set file takes the mode,
// owner and group of the one it replaces. Refuses, before writing anything, a
// target that is not a regular file or that the user may not write, a link
// planted in a shared folder, and a folder the user may not write; and,
// after drawing, a source that changed since it was loaded. On failure leaves
// earlier files as they were and fills `*err` with "Error al escribir el
// fichero NAME: REASON" (or "... en la carpeta FOLDER: ...", or the changed
// source's text). Throws std::bad_alloc, having cleaned up, when memory runs
// out.
bool WriteSetFiles(Pool* pool, std::int32_t caract, std::int32_t n_entr,
                   std::int32_t n_test, const Generator& rand,
                   const Notify& notify, const DrawOptions& options,
                   std::string* err, const char* entrenamiento = kEntrenamiento,
                   const char* test = kTest);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_PARTITION_H_
