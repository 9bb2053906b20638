// The set-file writer of partition.h: temporaries, renames and interrupts.

#include "pixelsets/partition.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace pixelsets {
namespace {

// The temporaries of the write in progress, in storage a signal handler can
// read without allocating.
constexpr std::size_t kMaxPath = 4096;
char g_temp[2][kMaxPath];
volatile std::sig_atomic_t g_temps = 0;

extern "C" void RemoveTemporariesAndStop(int sig) {
  for (std::sig_atomic_t i = 0; i < g_temps; ++i) std::remove(g_temp[i]);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// While set files are written, an interrupt removes the temporaries, and a
// file-size limit becomes a write error (reported and cleaned up) instead of
// a kill that would leave them behind. A signal the caller ignores (a
// background job's SIGINT) stays ignored.
class SignalGuard {
 public:
  SignalGuard() {
    for (int i = 0; i < kCount; ++i) {
      previous_[i] = std::signal(kSignals[i], RemoveTemporariesAndStop);
      if (previous_[i] == SIG_IGN) std::signal(kSignals[i], SIG_IGN);
    }
#ifdef SIGXFSZ
    previous_xfsz_ = std::signal(SIGXFSZ, SIG_IGN);
#endif
  }
  ~SignalGuard() {
    for (int i = 0; i < kCount; ++i) std::signal(kSignals[i], previous_[i]);
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, previous_xfsz_);
#endif
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
#ifdef SIGHUP
  static constexpr int kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
#else
  static constexpr int kCount = 2;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM};
#endif
  using Handler = void (*)(int);
  Handler previous_[kCount];
#ifdef SIGXFSZ
  Handler previous_xfsz_;
#endif
};

// A target may be replaced only if it is absent or a regular file; anything
// else (a directory, a device) is refused before any byte is written.
bool CheckTarget(const char* target, std::string* err) {
  std::error_code ec;
  const auto status = std::filesystem::status(target, ec);
  if (!std::filesystem::exists(status) ||
      std::filesystem::is_regular_file(status))
    return true;
  *err = std::filesystem::is_directory(status)
             ? SetFileError(target, EISDIR)
             : std::string("Error al escribir el fichero ") + target +
                   ": no es un fichero regular";
  return false;
}

// Creates a new temporary beside `target` as g_temp[slot], never reusing an
// existing file. Returns null with errno set on failure.
std::FILE* CreateTemporary(const char* target, int slot) {
  const std::filesystem::path path(target);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name =
        (path.parent_path() / ("." + path.filename().string() + "." +
                               std::to_string(attempt) + ".tmp"))
            .string();
    if (name.size() >= kMaxPath) {
      errno = ENAMETOOLONG;
      return nullptr;
    }
    // Named before it exists, so an interrupt right after creation finds it.
    std::memcpy(g_temp[slot], name.c_str(), name.size() + 1);
    g_temps = slot + 1;
    // "x": fail rather than take over a file somebody else is writing.
    std::FILE* file = std::fopen(name.c_str(), "wx");
    if (file != nullptr) return file;
    g_temps = slot;
    if (errno != EEXIST) return nullptr;
  }
  errno = EEXIST;
  return nullptr;
}

}  // namespace

bool WriteSetFiles(Pool* pool, std::int32_t caract, std::int32_t n_entr,
                   std::int32_t n_test, const Generator& rand, std::string* err,
                   const char* entrenamiento, const char* test) {
  if (!CheckTarget(test, err) || !CheckTarget(entrenamiento, err)) return false;

  SignalGuard guard;
  bool ok = true;
  std::FILE* fTest = CreateTemporary(test, 0);
  std::FILE* fEntrenamiento = nullptr;
  if (fTest == nullptr) {
    *err = SetFileError(test, errno);
    ok = false;
  } else if ((fEntrenamiento = CreateTemporary(entrenamiento, 1)) == nullptr) {
    *err = SetFileError(entrenamiento, errno);
    ok = false;
  }
  if (ok) {
    ok = Partition(pool, caract, n_entr, n_test, rand,
                   {fEntrenamiento, entrenamiento}, {fTest, test}, err);
  }
  // Close both even after a failure; the first error is the one reported.
  if (fTest != nullptr && std::fclose(fTest) != 0 && ok) {
    *err = SetFileError(test, errno);
    ok = false;
  }
  if (fEntrenamiento != nullptr && std::fclose(fEntrenamiento) != 0 && ok) {
    *err = SetFileError(entrenamiento, errno);
    ok = false;
  }
  if (ok && std::rename(g_temp[1], entrenamiento) != 0) {
    *err = SetFileError(entrenamiento, errno);
    ok = false;
  }
  if (ok && std::rename(g_temp[0], test) != 0) {
    *err = SetFileError(test, errno);
    ok = false;
  }
  if (!ok) {
    for (std::sig_atomic_t i = 0; i < g_temps; ++i) std::remove(g_temp[i]);
  }
  g_temps = 0;
  return ok;
}

}  // namespace pixelsets
