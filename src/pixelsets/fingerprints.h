// Fingerprints of a source, block by block, so that a run can tell whether
// the file still holds what it loaded before it trusts what it reads again.

#ifndef PARTICION_SRC_PIXELSETS_FINGERPRINTS_H_
#define PARTICION_SRC_PIXELSETS_FINGERPRINTS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pixelsets {

// Bytes covered by one fingerprint.
inline constexpr std::size_t kSumBlock = std::size_t{1} << 20;

// The fingerprint of data[0, size): any change of one byte changes it, and
// any other change does so but for a chance of about 2^-64.
std::uint64_t BlockSum(const char* data, std::size_t size);

// The fingerprints of text[0, size), one per kSumBlock bytes, computed on two
// cores when there are many.
std::vector<std::uint64_t> BlockSums(const char* text, std::size_t size);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_FINGERPRINTS_H_
