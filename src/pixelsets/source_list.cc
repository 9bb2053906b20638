#include "pixelsets/source_list.h"

#include <algorithm>
#include <cstring>

namespace pixelsets {
namespace {

// A source of unknown size (a pipe, a device) is read in small chunks so that
// an endless one is refused soon after its first over-long line; a regular
// file of known size is read in large ones.
constexpr std::size_t kSmallChunk = std::size_t{64} << 10;
constexpr std::size_t kLargeChunk = std::size_t{8} << 20;

const char kBadHeader[] = "El fichero Origen no empieza con un numero entero";
const char kReadError[] = "Error al leer el fichero Origen";
const char kTooMany[] = "El fichero Origen tiene demasiados registros";

std::string LongLine(std::uint64_t line) {
  return "La linea " + std::to_string(line) +
         " del fichero Origen tiene mas de 1999 caracteres";
}

// Indexes the lines of the source as its bytes arrive, so that a bad line is
// found before the rest of the file is read.
class Loader {
 public:
  Loader(Pool* pool, std::int32_t* caract, std::string* err,
         std::uint64_t max_records)
      : pool_(pool), caract_(caract), err_(err), max_records_(max_records) {}

  bool Run(std::FILE* f, std::uint64_t size_hint);

 private:
  // Takes the complete line [start, end), its "\n" excluded.
  bool TakeLine(std::size_t start, std::size_t end);
  // The first zero byte in [start, end), or end. Calls come with increasing
  // `start`; one memchr covers all the data read so far, so a source without
  // zero bytes costs one scan per chunk instead of one call per line.
  std::size_t FirstNul(std::size_t start, std::size_t end);
  bool Fail(std::string message) {
    *err_ = std::move(message);
    return false;
  }

  Pool* pool_;
  std::int32_t* caract_;
  std::string* err_;
  std::uint64_t max_records_;
  std::size_t len_ = 0;     // bytes read so far
  std::uint64_t line_ = 1;  // number of the line being read
  std::size_t nul_ = 0;     // see FirstNul
  bool nul_found_ = false;  // buffer[nul_] is a zero byte
};

bool Loader::Run(std::FILE* f, std::uint64_t size_hint) {
  // One byte over the hint, so that the end of the file is seen without
  // growing the buffer.
  std::size_t cap =
      size_hint > 0 ? static_cast<std::size_t>(size_hint) + 1 : kSmallChunk;
  const std::size_t chunk = size_hint > 0 ? kLargeChunk : kSmallChunk;
  pool_->buffer = std::make_unique_for_overwrite<char[]>(cap);
  // Lines hold at least a few bytes each: reserving for short lines avoids
  // regrowing the views, and untouched reserve is never resident.
  pool_->cadenas.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(size_hint / 8, max_records_)));

  std::size_t line_start = 0;
  std::size_t scan = 0;
  for (;;) {
    if (len_ == cap) {
      cap *= 2;
      auto grown = std::make_unique_for_overwrite<char[]>(cap);
      std::memcpy(grown.get(), pool_->buffer.get(), len_);
      pool_->buffer = std::move(grown);
    }
    const std::size_t want = std::min(chunk, cap - len_);
    const std::size_t got = std::fread(pool_->buffer.get() + len_, 1, want, f);
    len_ += got;
    while (scan < len_) {
      const char* base = pool_->buffer.get();
      const void* nl = std::memchr(base + scan, '\n', len_ - scan);
      if (nl == nullptr) {
        scan = len_;
        break;
      }
      const std::size_t end = static_cast<const char*>(nl) - base;
      if (!TakeLine(line_start, end)) return false;
      line_start = scan = end + 1;
    }
    // The unfinished line is already too long even if a "\r" ends it.
    if (len_ - line_start > kMaxLineLength + 1) return Fail(LongLine(line_));
    if (got < want) {
      if (std::ferror(f) != 0) return Fail(kReadError);
      break;
    }
  }
  if (line_start < len_ && !TakeLine(line_start, len_)) return false;
  if (line_ == 1) return Fail(kBadHeader);  // an empty file
  return true;
}

bool Loader::TakeLine(std::size_t start, std::size_t end) {
  const char* base = pool_->buffer.get();
  if (end > start && base[end - 1] == '\r') --end;
  if (end - start > kMaxLineLength) return Fail(LongLine(line_));
  const std::size_t stop = FirstNul(start, end);
  if (line_ == 1) {
    if (!ParseHeader({base + start, stop - start}, caract_))
      return Fail(kBadHeader);
  } else {
    if (pool_->cadenas.size() >= max_records_) return Fail(kTooMany);
    pool_->cadenas.push_back(static_cast<std::uint64_t>(start)
                                 << Pool::kLengthBits |
                             (stop - start));
  }
  ++line_;
  return true;
}

std::size_t Loader::FirstNul(std::size_t start, std::size_t end) {
  // nul_ is either a zero byte at or after the last `start` (nul_found_), or
  // the point up to which the data is known to hold none.
  if (nul_ < start) {
    nul_ = start;
    nul_found_ = false;
  }
  if (!nul_found_ && nul_ < end) {
    const char* base = pool_->buffer.get();
    const void* hit = std::memchr(base + nul_, '\0', len_ - nul_);
    nul_found_ = hit != nullptr;
    nul_ = nul_found_
               ? static_cast<std::size_t>(static_cast<const char*>(hit) - base)
               : len_;
  }
  return std::min(nul_, end);
}

}  // namespace

bool LoadSource(std::FILE* fOrigen, std::uint64_t size_hint, Pool* pool,
                std::int32_t* caract, std::string* err,
                std::uint64_t max_records) {
  *pool = Pool();
  const bool ok =
      Loader(pool, caract, err, max_records).Run(fOrigen, size_hint);
  if (!ok) *pool = Pool();
  return ok;
}

bool ParseHeader(std::string_view text, std::int32_t* value) {
  constexpr std::string_view kBlanks = " \t\n\v\f\r";  // isspace in "C"
  std::size_t i = 0;
  while (i < text.size() && kBlanks.find(text[i]) != std::string_view::npos)
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digits = i;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > std::int64_t{2147483648}) return false;
  }
  if (i == digits) return false;
  const std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > 2147483647) return false;
  *value = static_cast<std::int32_t>(signed_value);
  return true;
}

}  // namespace pixelsets
