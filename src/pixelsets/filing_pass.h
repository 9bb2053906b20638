// The second read of a streamed source, which files the drawn records in
// their buckets: from the end of the file backwards, each block checked
// against the fingerprint taken when it was loaded before anything of it is
// used. A large source is read in two halves at once, on two cores, each
// into buckets of its own.

#ifndef PARTICION_SRC_PIXELSETS_FILING_PASS_H_
#define PARTICION_SRC_PIXELSETS_FILING_PASS_H_

#include <cstdint>
#include <functional>

#include "pixelsets/buckets.h"
#include "pixelsets/source.h"

namespace pixelsets {

// The bucket of a record that is not filed.
inline constexpr std::uint8_t kNoBucket = 0xFF;

enum class Filed { kDone, kChanged, kReadFailed, kWriteFailed };

// Reads `source` again and files each record r whose `bucket_of[r]` is not
// kNoBucket in that bucket of `buckets`, in descending record number: the
// order of a bucket's lines is that of its records' numbers, from the
// highest, those of its later half before those of its former half.
// `filed(count)` is told, on the caller's thread, every 65536 records or so.
// kChanged when the file no longer holds what was loaded; kWriteFailed with
// errno set.
Filed FileRecords(const StreamedSource& source, const std::uint8_t* bucket_of,
                  BucketHalves* buckets,
                  const std::function<void(std::uint64_t)>& filed);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_FILING_PASS_H_
