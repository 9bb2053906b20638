#include "run/progress.h"

#include "pixelsets/messages.h"
#include "pixelsets/platform.h"

namespace particion {
namespace {

constexpr int kWidth = 34;  // "Escribiendo los conjuntos: 100 %"

}  // namespace

ProgressLine::ProgressLine(std::FILE* in, std::FILE* err)
    : err_(err),
      shown_(pixelsets::IsTerminal(in) && pixelsets::IsTerminal(err)),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::Update(std::uint64_t done, std::uint64_t total) {
  if (total == 0 || !lock_.try_lock()) return;
  const auto percent = static_cast<int>(done * 100 / total);
  if (percent != last_ &&
      std::chrono::steady_clock::now() - start_ > std::chrono::seconds(1)) {
    std::fputc('\r', err_);
    std::fprintf(err_, pixelsets::kProgress, percent);
    std::fflush(err_);
    last_ = percent;
  }
  lock_.unlock();
}

void ProgressLine::Erase() {
  if (last_ < 0) return;
  std::fprintf(err_, "\r%*s\r", kWidth, "");
  std::fflush(err_);
  last_ = -1;
}

}  // namespace particion
