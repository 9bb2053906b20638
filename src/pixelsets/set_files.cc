// The set-file writer of partition.h on POSIX systems: temporaries, the commit
// of the pair, the lock between runs, signals and durability. This is the one
// file that speaks to the operating system beyond the standard library.

#include "pixelsets/partition.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "pixelsets/storage.h"

namespace pixelsets {
namespace {

// Signals whose default action ends the program. While the sets are written
// they remove named temporaries first; while the pair is committed they wait.
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT,
                                  SIGXCPU, SIGPIPE,   SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGVTALRM, SIGPROF};
constexpr int kSignalCount = sizeof(kEndingSignals) / sizeof(int);

// The named temporaries of the write in progress, in storage a signal handler
// can read without allocating. Unnamed temporaries need no cleanup at all.
constexpr std::size_t kMaxPath = 4096;
char g_temp[2][kMaxPath];
volatile sig_atomic_t g_named[2] = {0, 0};

extern "C" void RemoveTemporariesAndStop(int sig) {
  for (int i = 0; i < 2; ++i) {
    if (g_named[i] != 0) unlink(g_temp[i]);
  }
  signal(sig, SIG_DFL);
  raise(sig);  // delivered when the handler returns: the run ends by `sig`
}

sigset_t EndingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  sigaddset(&set, SIGXFSZ);
  return set;
}

// While set files are written, an ending signal removes the temporaries, and
// a file-size limit becomes a write error (reported and cleaned up) instead
// of a kill. A signal the caller ignores (a background job's SIGINT) stays
// ignored.
class SignalGuard {
 public:
  SignalGuard() {
    struct sigaction action = {};
    action.sa_handler = RemoveTemporariesAndStop;
    action.sa_mask = EndingSignals();  // one cleanup at a time
    for (int i = 0; i < kSignalCount; ++i) {
      sigaction(kEndingSignals[i], nullptr, &previous_[i]);
      if (previous_[i].sa_handler != SIG_IGN)
        sigaction(kEndingSignals[i], &action, nullptr);
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous_xfsz_);
  }
  ~SignalGuard() {
    for (int i = 0; i < kSignalCount; ++i)
      sigaction(kEndingSignals[i], &previous_[i], nullptr);
    sigaction(SIGXFSZ, &previous_xfsz_, nullptr);
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  struct sigaction previous_[kSignalCount];
  struct sigaction previous_xfsz_;
};

// Holds back every ending signal while it lives: one that arrives meanwhile
// is delivered, and acted on, once the pair is in place or put back.
class SignalBlock {
 public:
  SignalBlock() {
    const sigset_t set = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// "Error al escribir en la carpeta FOLDER: REASON", the folder in full so
// that "." says where it is.
std::string FolderError(const std::string& folder, int errnum) {
  std::error_code ec;
  const std::filesystem::path shown = std::filesystem::canonical(folder, ec);
  return "Error al escribir en la carpeta " + (ec ? folder : shown.string()) +
         ": " + std::strerror(errnum);
}

// One set file on its way: the target, its temporary beside it, and what the
// target was before.
struct SetFile {
  SetFile(const char* target, const std::string& folder, int slot)
      : target(target), slot(slot) {
    const std::string prefix =
        folder + "/." + std::filesystem::path(target).filename().string() +
        "." + std::to_string(getpid());
    temp = prefix + ".tmp";
    backup = prefix + ".old";
  }
  // Whatever happens, nothing of this run stays behind but a committed file.
  ~SetFile() {
    if (file != nullptr) {
      std::fclose(file);
    } else if (fd >= 0) {
      close(fd);
    }
    Discard();
  }
  // Removes this run's names: the temporary (after an exchange, the old
  // file) and the backup.
  void Discard() {
    if (g_named[slot] != 0) unlink(temp.c_str());
    g_named[slot] = 0;
    if (backed_up) unlink(backup.c_str());
    backed_up = false;
  }
  SetFile(const SetFile&) = delete;
  SetFile& operator=(const SetFile&) = delete;

  const char* target;
  int slot;
  std::string temp;    // the new content, once named; the old one after an
                       // exchange
  std::string backup;  // the old content where no exchange was possible
  int fd = -1;
  std::FILE* file = nullptr;
  bool existed = false;
  struct stat before = {};
  bool backed_up = false;  // `backup` holds the old file
  bool had_old = false;    // after Replace: the old file is at `old`
  const std::string* old = nullptr;
};

// A target may be replaced only if it is absent, or a regular file that the
// user may write (as a shell's ">" would see it). Records what it was.
bool CheckTarget(SetFile* set, std::string* err) {
  if (stat(set->target, &set->before) != 0) {
    if (errno == ENOENT) return true;
    *err = SetFileError(set->target, errno);
    return false;
  }
  set->existed = true;
  if (S_ISDIR(set->before.st_mode)) {
    *err = SetFileError(set->target, EISDIR);
    return false;
  }
  if (!S_ISREG(set->before.st_mode)) {
    *err = std::string("Error al escribir el fichero ") + set->target +
           ": no es un fichero regular";
    return false;
  }
  if (faccessat(AT_FDCWD, set->target, W_OK, AT_EACCESS) != 0) {
    *err = SetFileError(set->target, errno);
    return false;
  }
  return true;
}

// Where the file system can, the temporary has no name until the commit, so
// that even a kill leaves nothing behind; linking it needs /proc.
bool UnnamedTemporariesPossible() {
#ifdef O_TMPFILE
  static const bool possible = access("/proc/self/fd", X_OK) == 0;
  return possible;
#else
  return false;
#endif
}

// Opens a new, empty temporary for `set` in `folder` (open as `dir`), with the
// mode, owner and group of the file it will replace where it may set them.
bool CreateTemporary(SetFile* set, int dir, std::string* err) {
#ifdef O_TMPFILE
  if (UnnamedTemporariesPossible()) {
    set->fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // Not every file system has unnamed files; those fall back to names.
    if (set->fd < 0 && errno != EOPNOTSUPP && errno != EISDIR &&
        errno != EINVAL) {
      *err = SetFileError(set->target, errno);
      return false;
    }
  }
#else
  (void)dir;
#endif
  if (set->fd < 0) {
    std::memcpy(g_temp[set->slot], set->temp.c_str(), set->temp.size() + 1);
    g_named[set->slot] = 1;  // before it exists, so that a signal finds it
    // The name holds this process's id: one found already is a dead run's.
    unlink(set->temp.c_str());
    set->fd =
        open(set->temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (set->fd < 0) {
      g_named[set->slot] = 0;
      *err = SetFileError(set->target, errno);
      return false;
    }
  }
  if (set->existed) {
    // The owner first: a change of owner clears the set-id bits.
    if (set->before.st_uid != geteuid() || set->before.st_gid != getegid()) {
      if (fchown(set->fd, set->before.st_uid, set->before.st_gid) != 0) {
        // Only a privileged user may give a file away; keep the group if
        // that alone is allowed.
        if (fchown(set->fd, static_cast<uid_t>(-1), set->before.st_gid) != 0) {
          // The file stays the user's own, as a new file would be.
        }
      }
    }
    if (fchmod(set->fd, set->before.st_mode & 07777) != 0) {
      *err = SetFileError(set->target, errno);
      return false;
    }
  }
  set->file = fdopen(set->fd, "wb");
  if (set->file == nullptr) {
    if (errno == ENOMEM) throw std::bad_alloc();
    *err = SetFileError(set->target, errno);
    return false;
  }
  return true;
}

// Writes out what the stream holds and waits until it is on storage.
bool Sync(SetFile* set, std::string* err) {
  errno = 0;
  if (std::fflush(set->file) != 0 || fsync(set->fd) != 0) {
    *err = SetFileError(set->target, errno);
    return false;
  }
  return true;
}

// Gives an unnamed temporary its name beside the target.
bool NameTemporary(SetFile* set) {
  if (g_named[set->slot] != 0) return true;
  const std::string proc = "/proc/self/fd/" + std::to_string(set->fd);
  unlink(set->temp.c_str());  // a dead run's, as above
  if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, set->temp.c_str(),
             AT_SYMLINK_FOLLOW) != 0)
    return false;
  std::memcpy(g_temp[set->slot], set->temp.c_str(), set->temp.size() + 1);
  g_named[set->slot] = 1;
  return true;
}

// Puts back what Replace took away.
void Undo(SetFile* set) {
  if (!set->had_old) {
    unlink(set->target);
  } else if (std::rename(set->old->c_str(), set->target) == 0) {
    set->backed_up = false;
    if (set->old == &set->temp) g_named[set->slot] = 0;
  }
  set->had_old = false;
}

// Puts the temporary in place of the target, keeping the target's earlier
// file under a name of this run's (`*set->old`) until the pair is whole.
bool Replace(SetFile* set) {
#ifdef RENAME_EXCHANGE
  // One step, with nothing copied: the old file takes the temporary's name.
  if (renameat2(AT_FDCWD, set->temp.c_str(), AT_FDCWD, set->target,
                RENAME_EXCHANGE) == 0) {
    set->had_old = true;
    set->old = &set->temp;
    return true;
  }
  if (errno != ENOENT && errno != EINVAL && errno != ENOSYS &&
      errno != EOPNOTSUPP)
    return false;
#endif
  // No exchange here: the old file steps aside first. Moving it needs the
  // same rights as replacing it, so a target that cannot be replaced fails
  // here with nothing changed.
  if (std::rename(set->target, set->backup.c_str()) == 0) {
    set->backed_up = true;
    set->had_old = true;
    set->old = &set->backup;
  } else if (errno != ENOENT) {
    return false;
  }
  if (std::rename(set->temp.c_str(), set->target) != 0) {
    const int reason = errno;
    if (set->had_old) Undo(set);
    errno = reason;
    return false;
  }
  return true;
}

// Removes the temporaries that runs killed outright left in the folder: names
// of the form ".TARGET.PID.tmp" or ".TARGET.PID.old" whose process is gone.
void RemoveLeftovers(const std::string& folder, const SetFile& a,
                     const SetFile& b) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  const std::string prefixes[2] = {
      "." + std::filesystem::path(a.target).filename().string() + ".",
      "." + std::filesystem::path(b.target).filename().string() + "."};
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    for (const std::string& prefix : prefixes) {
      if (name.size() <= prefix.size() + 4 ||
          name.substr(0, prefix.size()) != prefix)
        continue;
      const std::string_view pid =
          name.substr(prefix.size(), name.size() - prefix.size() - 4);
      const std::string_view ending = name.substr(name.size() - 4);
      if ((ending != ".tmp" && ending != ".old") ||
          pid.find_first_not_of("0123456789") != std::string_view::npos ||
          pid.size() > 9)
        continue;
      if (kill(static_cast<pid_t>(std::stol(std::string(pid))), 0) != 0 &&
          errno == ESRCH)
        unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
}

// A source rewritten or cut short while the sets were drawn gave them text
// that was never a record of it: such sets must not replace the earlier ones.
bool SourceWhole(const Pool& pool, std::string* err) {
  if (SourceUnchanged(pool)) return true;
  *err = kSourceChanged;
  return false;
}

// Puts both complete, synced temporaries in place as one step: afterwards
// both targets hold the new sets, or (on failure) both hold what they held.
bool Commit(SetFile* entr, SetFile* test, const std::string& folder, int dir,
            std::string* err) {
  // Another run in this folder commits before or after us, never between
  // our two replacements. A file system without locks still gets the rest.
  while (flock(dir, LOCK_EX) != 0 && errno == EINTR) {
  }
  SignalBlock block;
  RemoveLeftovers(folder, *entr, *test);
  bool ok = true;
  for (SetFile* set : {entr, test}) {
    if (ok && !NameTemporary(set)) {
      *err = SetFileError(set->target, errno);
      ok = false;
    }
  }
  if (ok && !Replace(entr)) {
    *err = SetFileError(entr->target, errno);
    ok = false;
  } else if (ok && !Replace(test)) {
    *err = SetFileError(test->target, errno);
    Undo(entr);
    ok = false;
  }
  // The old files (or, on failure, the new ones) go while signals still
  // wait, so that no interrupt can leave them behind.
  entr->Discard();
  test->Discard();
  // The new names must outlast a power cut. A folder that cannot be synced
  // has taken both files all the same, so this is no failure of the run.
  if (ok) fsync(dir);
  return ok;
}

}  // namespace

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The mapped source, for the handler below; lock-free, so a handler may read
// them.
std::atomic<std::uintptr_t> g_map_start{0};
std::atomic<std::uintptr_t> g_map_end{0};
volatile sig_atomic_t g_cut = 0;
std::uintptr_t g_page = 4096;

// A read of a mapped source beyond its end, once another program has cut it
// short, raises SIGBUS. The lost page is replaced by zeros and the loss
// noted, so that the run can refuse the source instead of dying; any other
// SIGBUS keeps its default action.
extern "C" void ZeroLostPage(int sig, siginfo_t* info, void* /*context*/) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (address >= g_map_start.load() && address < g_map_end.load()) {
    char* page = static_cast<char*>(info->si_addr) - (address & (g_page - 1));
    if (mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
             -1, 0) != MAP_FAILED) {
      g_cut = 1;
      return;
    }
  }
  signal(sig, SIG_DFL);  // the faulting access runs again, and ends the run
}

}  // namespace

MappedFile MappedFile::Map(std::FILE* file) {
  struct stat st;
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size <= 0 ||
      static_cast<std::uint64_t>(st.st_size) > static_cast<std::size_t>(-1))
    return {};
  static const bool handled = [] {
    g_page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = ZeroLostPage;
    action.sa_flags = SA_SIGINFO;
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  if (!handled) return {};
  const auto length = static_cast<std::size_t>(st.st_size);
  int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;  // one call instead of a fault every few pages
#endif
  void* start = mmap(nullptr, length, PROT_READ, flags, fd, 0);
  if (start == MAP_FAILED) return {};
#ifdef MADV_HUGEPAGE
  madvise(start, length, MADV_HUGEPAGE);  // where the kernel can, fewer misses
#endif
  g_cut = 0;
  g_map_start.store(reinterpret_cast<std::uintptr_t>(start));
  g_map_end.store(reinterpret_cast<std::uintptr_t>(start) + length + g_page -
                  1);
  return MappedFile(static_cast<const char*>(start), length);
}

MappedFile::~MappedFile() {
  if (data_ == nullptr) return;
  if (g_map_start.load() == reinterpret_cast<std::uintptr_t>(data_)) {
    g_map_start.store(0);
    g_map_end.store(0);
  }
  munmap(const_cast<char*>(data_), size_);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    MappedFile old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool SourceCut() { return g_cut != 0; }

std::filesystem::path TypedPath(const std::string& name) { return name; }

std::FILE* OpenForReading(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "rb");
}

void* AllocateLarge(std::size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes);
  // Mapped one huge page over and trimmed, so that the array starts on a
  // huge page boundary and all of it can be backed by huge pages.
  if (bytes > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
  const std::size_t mapped = bytes + kHugePage;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  // Offsets from `raw`, so that no integer becomes a pointer.
  const auto misalign = reinterpret_cast<std::uintptr_t>(raw) % kHugePage;
  const std::size_t head = misalign == 0 ? 0 : kHugePage - misalign;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t used = head + (bytes + page - 1) / page * page;
  char* aligned = static_cast<char*>(raw) + head;
  if (head > 0) munmap(raw, head);
  if (used < mapped) munmap(static_cast<char*>(raw) + used, mapped - used);
#ifdef MADV_HUGEPAGE
  madvise(aligned, bytes, MADV_HUGEPAGE);
#endif
  return aligned;
}

void FreeLarge(void* memory, std::size_t bytes) {
  if (memory == nullptr) return;
  if (bytes < kHugePage) {
    ::operator delete(memory);
  } else {
    munmap(memory, bytes);
  }
}

void StartWriteback(std::FILE* file) {
#ifdef SYNC_FILE_RANGE_WRITE
  sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

bool WriteSetFiles(Pool* pool, std::int32_t caract, std::int32_t n_entr,
                   std::int32_t n_test, const Generator& rand, std::string* err,
                   const char* entrenamiento, const char* test) {
  std::string folder =
      std::filesystem::path(entrenamiento).parent_path().string();
  if (folder.empty()) folder = ".";
  SetFile fTest(test, folder, 0);
  SetFile fEntrenamiento(entrenamiento, folder, 1);
  if (!CheckTarget(&fTest, err) || !CheckTarget(&fEntrenamiento, err))
    return false;
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    *err = FolderError(folder, errno);
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{dir};
  if (faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    *err = FolderError(folder, errno);
    return false;
  }

  SignalGuard guard;
  return CreateTemporary(&fTest, dir, err) &&
         CreateTemporary(&fEntrenamiento, dir, err) &&
         Partition(pool, caract, n_entr, n_test, rand,
                   {fEntrenamiento.file, entrenamiento}, {fTest.file, test},
                   err) &&
         Sync(&fTest, err) && Sync(&fEntrenamiento, err) &&
         SourceWhole(*pool, err) &&
         Commit(&fEntrenamiento, &fTest, folder, dir, err);
}

}  // namespace pixelsets
