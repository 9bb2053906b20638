// The writer of a set file's bytes: the header value, then a line end and a
// record for each record drawn, gathered in large blocks.

#ifndef PARTICION_SRC_PIXELSETS_BLOCK_WRITER_H_
#define PARTICION_SRC_PIXELSETS_BLOCK_WRITER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "pixelsets/record.h"
#include "pixelsets/sync_ahead.h"
#include "pixelsets/writeback.h"

namespace pixelsets {

// One write per block keeps system calls rare, and a bounded block keeps
// memory flat.
class BlockWriter {
 public:
  explicit BlockWriter(std::FILE* file)
      : file_(file), block_(new char[kSize]), sync_ahead_(file) {}

  // Starts the file with the header value; nothing may come before it.
  void Header(std::int32_t caract);
  // Appends a line end and `text`; false once a write has failed. A block
  // whose write failed may be partly in the file already: it is never
  // written again, and every call after it fails with its errno.
  bool Line(std::string_view text) {
    if (kSize - used_ < text.size() + 1 && !Drain()) return false;
    block_[used_++] = '\n';
    std::memcpy(block_.get() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }
  // Line, for a `text` that may be read kCopyAtOnce bytes from its start
  // (it has room after it): a short line is then copied in a few moves.
  bool PaddedLine(std::string_view text) {
    if (kSize - used_ < std::max(text.size(), kCopyAtOnce) + 1 && !Drain())
      return false;
    block_[used_++] = '\n';
    CopyAtOnce(block_.get() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }
  // Writes what is left and flushes the stream; false if any write, or any
  // sync made while the file grew, failed, with the reason in errno.
  bool Finish();
  // From now on, what has been sent on to storage leaves the system's cache:
  // for a set file larger than memory, whose pages would only crowd out
  // others still of use.
  void ForgetWritten() { forget_ = true; }

 private:
  static constexpr std::size_t kSize = 1 << 20;  // > kMaxLineLength + 1

  bool Drain();
  // Notes the first failure's errno and returns false.
  bool Failed();

  std::FILE* file_;
  std::unique_ptr<char[]> block_;
  std::size_t used_ = 0;
  bool forget_ = false;
  int failed_ = 0;                // errno of the first failed write
  std::uint64_t written_ = 0;     // bytes written to the file
  std::uint64_t sync_asked_ = 0;  // bytes the last sync ahead was asked at
  Writeback writeback_;
  SyncAhead sync_ahead_;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BLOCK_WRITER_H_
