// What set_files_platform.h promises, on POSIX systems: temporaries without
// a name where the file system has them (else named ones that every ending
// signal removes), exchanges, locks on the folder itself, held signals and
// syncs.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "pixelsets/messages.h"
#include "pixelsets/set_files_platform.h"

namespace pixelsets {
namespace {

namespace fs = std::filesystem;

// Signals whose default action ends the program. While the sets are written
// they remove named temporaries first; while the pair is committed they wait.
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT,
                                  SIGXCPU, SIGPIPE,   SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGVTALRM, SIGPROF};
constexpr int kSignalCount = sizeof(kEndingSignals) / sizeof(int);

// The named temporaries of the write in progress, in storage a signal handler
// can read without allocating. Unnamed temporaries need no cleanup at all.
// Slots 0 and 1 are the two sets', 2 a scratch file for the moment between
// its creation and its removal where it cannot be made without a name, and
// the rest scratch files whose name could not be removed at once (a network
// or FUSE file system may refuse to remove an open file's name), until the
// end of the run tries again. Beyond those, such names are still tried again
// at the end, but a signal leaves them.
constexpr std::size_t kMaxPath = 4096;
constexpr int kScratchSlot = 2;
constexpr int kSlots = 3 + 16;
char g_temp[kSlots][kMaxPath];
volatile sig_atomic_t g_named[kSlots] = {};

// What the signals did before the run took them, and the mask before a
// commit held them.
struct sigaction g_previous[kSignalCount];
struct sigaction g_previous_xfsz;
sigset_t g_mask_before_commit;

extern "C" void RemoveTemporariesAndStop(int sig) {
  for (int i = 0; i < kSlots; ++i) {
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

// Notes `path` in `slot` as a name to remove should the run be ended.
void NoteNamed(int slot, const std::string& path) {
  if (path.size() >= kMaxPath) return;  // no such name can be created
  std::memcpy(g_temp[slot], path.c_str(), path.size() + 1);
  g_named[slot] = 1;
}

// A new file in the folder open as `dir`, opened with `flags` (O_WRONLY or
// O_RDWR), that has no name where the file system allows, so that even a
// kill leaves nothing. Elsewhere it is created as `name` (`*named`), which
// sits in `slot` from before it exists, so that an ending signal removes it.
// Returns -1 with errno set on failure.
int OpenTemporary(int dir, int flags, const std::string& name, int slot,
                  bool* named) {
  *named = false;
#ifdef O_TMPFILE
  // Linking an unnamed file at the commit needs /proc.
  static const bool possible = access("/proc/self/fd", X_OK) == 0;
  if (possible) {
    const int fd = openat(dir, ".", O_TMPFILE | flags | O_CLOEXEC, 0666);
    // Not every file system has unnamed files; those fall back to names.
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
      return fd;
  }
#else
  (void)dir;
#endif
  NoteNamed(slot, name);
  // The name holds this process's id: one found already is a dead run's.
  unlink(name.c_str());
  const int fd = open(name.c_str(), O_CREAT | O_EXCL | flags | O_CLOEXEC, 0666);
  *named = fd >= 0;
  if (fd < 0) {
    const int reason = errno;
    g_named[slot] = 0;
    errno = reason;
  }
  return fd;
}

// `folder` in full, so that "." says where it is.
std::string Shown(const fs::path& folder) {
  std::error_code ec;
  const fs::path shown = fs::canonical(folder, ec);
  return ec ? folder.string() : shown.string();
}

}  // namespace

SignalsWhileWriting::SignalsWhileWriting() {
  struct sigaction action = {};
  action.sa_handler = RemoveTemporariesAndStop;
  action.sa_mask = EndingSignals();  // one cleanup at a time
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kEndingSignals[i], nullptr, &g_previous[i]);
    // A signal the caller ignores (a background job's SIGINT) stays ignored.
    if (g_previous[i].sa_handler != SIG_IGN)
      sigaction(kEndingSignals[i], &action, nullptr);
  }
  // A file-size limit becomes a write error, reported and cleaned up,
  // instead of a kill.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &g_previous_xfsz);
}

SignalsWhileWriting::~SignalsWhileWriting() {
  for (int i = 0; i < kSignalCount; ++i)
    sigaction(kEndingSignals[i], &g_previous[i], nullptr);
  sigaction(SIGXFSZ, &g_previous_xfsz, nullptr);
}

SignalsHeld::SignalsHeld() {
  // The stop signals too, so that Ctrl-Z cannot leave a new file beside an
  // old one (and other runs waiting on the lock) for as long as the run
  // stays stopped.
  sigset_t set = EndingSignals();
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, &g_mask_before_commit);
}

SignalsHeld::~SignalsHeld() {
  pthread_sigmask(SIG_SETMASK, &g_mask_before_commit, nullptr);
}

int ProcessId() { return static_cast<int>(getpid()); }

bool ProcessGone(int pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
  // A process killed outright lets go of its files and locks on its way
  // out, and stays a zombie until its parent notes its end: from the first
  // step of its exit (the kernel's PF_EXITING) it is gone for this purpose.
  // Its state and flags follow the last ")" of /proc/PID/stat, as its name
  // may hold one too.
  constexpr unsigned kExiting = 0x4;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  char line[512];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  const char* name_end = read ? std::strrchr(line, ')') : nullptr;
  char state = 0;
  unsigned flags = 0;
  return name_end != nullptr &&
         std::sscanf(name_end + 1, " %c %*d %*d %*d %*d %*d %u", &state,
                     &flags) == 2 &&
         (state == 'Z' || state == 'X' || (flags & kExiting) != 0);
}

bool MayFollowLink(const fs::path& link) {
  struct stat st;
  struct stat in;
  const fs::path parent =
      link.parent_path().empty() ? fs::path(".") : link.parent_path();
  if (lstat(link.c_str(), &st) != 0 || stat(parent.c_str(), &in) != 0)
    return false;
  const bool shared =
      (in.st_mode & S_ISVTX) != 0 && (in.st_mode & S_IWOTH) != 0;
  return !shared || st.st_uid == geteuid() || st.st_uid == in.st_uid;
}

SetFile::~SetFile() {
  Discard();
  if (folder_fd_ >= 0) close(folder_fd_);
}

bool SetFile::Inspect(std::string* err) {
  struct stat before;
  if (stat(real_.c_str(), &before) != 0) {
    if (errno == ENOENT) return true;
    *err = SetFileError(target_, errno);
    return false;
  }
  existed_ = true;
  mode_ = before.st_mode & 07777;
  owner_ = before.st_uid;
  group_ = before.st_gid;
  const char* refused = nullptr;
  if (S_ISDIR(before.st_mode)) {
    errno = EISDIR;
  } else if (!S_ISREG(before.st_mode)) {
    refused = kNotRegular;
  } else if (faccessat(AT_FDCWD, real_.c_str(), W_OK, AT_EACCESS) == 0) {
    return true;
  }
  *err = refused != nullptr ? SetFileError(target_, refused)
                            : SetFileError(target_, errno);
  return false;
}

bool SetFile::OpenFolder(std::string* err) {
  const int dir = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  folder_fd_ = dir;
  struct stat st;
  // The folder's identity is taken once, here: a key that could come out
  // differently at the commit (a network file system's EIO or ESTALE) would
  // make the run take one folder for two and wait on its own lock.
  if (dir < 0 || faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0 ||
      fstat(dir, &st) != 0) {
    const int reason = errno;  // before Shown, which may change it
    *err = FolderError(Shown(folder_), reason);
    return false;
  }
  // Fixed width, so that the keys order as the numbers do.
  char key[48];
  std::snprintf(key, sizeof key, "%020llu:%020llu",
                static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  folder_key_ = key;
  return true;
}

std::string SetFile::FolderKey() const { return folder_key_; }

bool SetFile::CreateTemporary(std::string* err) {
  const int fd =
      OpenTemporary(folder_fd_, O_WRONLY, temp_.string(), slot_, &named_);
  fd_ = fd;
  if (fd < 0) {
    *err = SetFileError(target_, errno);
    return false;
  }
  if (existed_) {
    // The owner first: a change of owner clears the set-id bits.
    if (owner_ != geteuid() || group_ != getegid()) {
      if (fchown(fd, owner_, group_) != 0) {
        // Only a privileged user may give a file away; keep the group if
        // that alone is allowed.
        if (fchown(fd, static_cast<uid_t>(-1), group_) != 0) {
          // The file stays the user's own, as a new file would be.
        }
      }
    }
    if (fchmod(fd, static_cast<mode_t>(mode_)) != 0) {
      *err = SetFileError(target_, errno);
      return false;
    }
  }
  file_ = fdopen(fd, "wb");
  if (file_ == nullptr) {
    if (errno == ENOMEM) throw std::bad_alloc();
    *err = SetFileError(target_, errno);
    return false;
  }
  return true;
}

std::FILE* SetFile::OpenScratch(const fs::path& name, bool* still_named) {
  bool named = false;
  *still_named = false;
  const int fd =
      OpenTemporary(folder_fd_, O_RDWR, name.string(), kScratchSlot, &named);
  if (fd < 0) return nullptr;
  if (named && unlink(name.c_str()) != 0) {
    *still_named = true;
    for (int slot = kScratchSlot + 1; slot < kSlots; ++slot) {
      if (g_named[slot] == 0) {
        NoteNamed(slot, name.string());
        break;
      }
    }
  }
  g_named[kScratchSlot] = 0;
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

bool RemoveScratch(const fs::path& name) {
  if (unlink(name.c_str()) != 0 && errno != ENOENT) return false;
  for (int slot = kScratchSlot + 1; slot < kSlots; ++slot) {
    if (g_named[slot] != 0 && name.string() == g_temp[slot]) g_named[slot] = 0;
  }
  return true;
}

bool SetFile::Sync(std::string* err) {
  errno = 0;
  if (std::fflush(file_) != 0 || fsync(fd_) != 0) {
    *err = SetFileError(target_, errno);
    return false;
  }
  return true;
}

void SetFile::LockFolder(const Notify& notify) {
  const int dir = folder_fd_;
  constexpr int kQuietTries = 100;  // of 10 ms: one second
  for (int i = 0; i <= kQuietTries; ++i) {
    // A file system without locks still gets the rest.
    if (flock(dir, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return;
    if (i < kQuietTries) {
      const struct timespec pause = {0, 10'000'000};
      nanosleep(&pause, nullptr);
    }
  }
  notify(Waiting(Shown(folder_)));
  while (flock(dir, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void SetFile::HoldOld() {
  // O_PATH needs no right to read the file, which a set file may lack.
#ifdef O_PATH
  old_fd_ = open(real_.c_str(), O_PATH | O_CLOEXEC);
#else
  old_fd_ = open(real_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#endif
  // Without it the old file is freed as its name goes: slower, no less
  // sound.
}

bool SetFile::NameTemporary() {
  if (named_) return true;
  const std::string proc = "/proc/self/fd/" + std::to_string(fd_);
  unlink(temp_.c_str());  // a dead run's, as above
  if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp_.c_str(),
             AT_SYMLINK_FOLLOW) != 0)
    return false;
  NoteNamed(slot_, temp_.string());
  named_ = true;
  return true;
}

bool SetFile::Replace() {
#ifdef RENAME_EXCHANGE
  // One step, with nothing copied: the old file takes the temporary's name.
  if (renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, real_.c_str(),
                RENAME_EXCHANGE) == 0) {
    had_old_ = exchanged_ = placed_ = true;
    return true;
  }
  if (errno != ENOENT && errno != EINVAL && errno != ENOSYS &&
      errno != EOPNOTSUPP)
    return false;
#endif
  // No exchange here: the old file steps aside first. Moving it needs the
  // same rights as replacing it, so a file that cannot be replaced fails
  // here with nothing changed.
  if (std::rename(real_.c_str(), backup_.c_str()) == 0) {
    had_old_ = backed_up_ = true;
  } else if (errno != ENOENT) {
    return false;
  }
  if (std::rename(temp_.c_str(), real_.c_str()) != 0) {
    const int reason = errno;
    Undo();
    errno = reason;
    return false;
  }
  // The temporary's name is the file's now.
  named_ = false;
  placed_ = true;
  g_named[slot_] = 0;
  return true;
}

void SetFile::Undo() {
  placed_ = false;
  if (!had_old_) {
    unlink(real_.c_str());
  } else if (std::rename(old().c_str(), real_.c_str()) == 0) {
    backed_up_ = false;
    if (exchanged_) {
      named_ = false;
      g_named[slot_] = 0;
    }
  }
  had_old_ = exchanged_ = false;
}

const fs::path& SetFile::old() const { return exchanged_ ? temp_ : backup_; }

bool SetFile::RemoveOld() {
  bool removed = true;
  if (had_old_) {
    // Tried twice: a second try is cheap, and a file left is reported.
    removed = unlink(old().c_str()) == 0 || errno == ENOENT ||
              unlink(old().c_str()) == 0 || errno == ENOENT;
  }
  named_ = backed_up_ = had_old_ = false;
  g_named[slot_] = 0;
  return removed;
}

void SetFile::Discard() {
  if (named_) unlink(temp_.c_str());
  named_ = false;
  g_named[slot_] = 0;
  if (file_ != nullptr) {
    std::fclose(file_);
  } else if (fd_ >= 0) {
    close(fd_);
  }
  file_ = nullptr;
  fd_ = -1;
  // The last reference to the old file, if it was replaced: the system
  // frees its blocks now, with no name of it left to find.
  if (old_fd_ >= 0) close(old_fd_);
  old_fd_ = -1;
}

void SetFile::SyncFolder() { fsync(folder_fd_); }

}  // namespace pixelsets
