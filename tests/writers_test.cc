// A write that fails part way is never written again: the bytes of a bucket
// or a set file whose write failed may be partly on disk already, and a
// second write of them would put records in twice.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "pixelsets/block_writer.h"
#include "pixelsets/buckets.h"

namespace {

#ifdef __GLIBC__
// A file that takes bytes until `room`, takes what fits of the write that
// crosses it, fails the next write with ENOSPC, and then has room again:
// a disk that fills and is freed meanwhile, or a file-size limit lifted.
struct Disk {
  std::string bytes;
  std::size_t room;
  bool failed = false;
};

std::FILE* OpenDisk(Disk* disk) {
  cookie_io_functions_t io = {};
  io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
    auto* d = static_cast<Disk*>(cookie);
    const std::size_t take =
        d->failed
            ? size
            : std::min(size, d->room - std::min(d->room, d->bytes.size()));
    d->bytes.append(data, take);
    if (take < size) {
      // Short, as the system's write that meets a full disk, with the
      // reason of the call that would follow it (-1 would not be seen).
      d->failed = true;
      errno = ENOSPC;
    }
    return static_cast<ssize_t>(take);
  };
  return fopencookie(disk, "w", io);
}
#endif

// Each writer, filled with numbered lines over a disk that fills part way:
// the write fails with the disk's reason, later calls fail alike, and the
// disk holds a beginning of what was written, nothing twice. Where all the
// lines fit in the writers' buffers, the failure comes at the last flush.
TEST(Writers, AWriteThatFailedIsNeverWrittenAgain) {
#ifndef __GLIBC__
  GTEST_SKIP() << "needs a C library that makes a file of functions";
#else
  struct Case {
    const char* label;
    std::size_t room;
    int lines;
  };
  const Case cases[] = {{"at once", 0, 400000},
                        {"part way", 70001, 400000},
                        {"later", 3 << 20, 400000},
                        {"at the last flush", 1000, 200}};
  for (const Case& c : cases) {
    for (const bool bucket : {true, false}) {
      Disk disk{{}, c.room};
      std::FILE* file = OpenDisk(&disk);
      ASSERT_NE(file, nullptr);
      const std::string label =
          std::string(c.label) + (bucket ? ", a bucket" : ", a set file");
      std::string meant;
      bool failed = false;
      {
        pixelsets::Buckets buckets(1, 4096);
        pixelsets::BlockWriter set(file);
        if (bucket) {
          ASSERT_TRUE(buckets.Open([file] { return file; })) << label;
        }
        const auto add = [&](const std::string& line) {
          if (bucket) return buckets.Add(0, line);
          return set.Line(line);
        };
        for (int k = 0; k < c.lines && !failed; ++k) {
          const std::string line = "line " + std::to_string(k);
          failed = !add(line);
          if (!failed) meant += bucket ? line + "\n" : "\n" + line;
        }
        if (!failed) failed = !(bucket ? buckets.Flush(0) : set.Finish());
        ASSERT_TRUE(failed) << label;
        EXPECT_EQ(errno, ENOSPC) << label;
        // Asked again, to finish, the writer fails the same way.
        errno = 0;
        EXPECT_FALSE(bucket ? buckets.Flush(0) : set.Finish()) << label;
        EXPECT_EQ(errno, ENOSPC) << label;
        EXPECT_FALSE(add("one more")) << label;
        // Whatever reached the disk is a beginning of what was meant.
        EXPECT_EQ(meant.compare(0, disk.bytes.size(), disk.bytes), 0) << label;
        if (!bucket) std::fclose(file);
      }
    }
  }
#endif
}

}  // namespace
