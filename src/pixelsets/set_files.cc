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
#include <thread>
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
// Slots 0 and 1 are the two sets', 2 a scratch file for the moment between
// its creation and its removal where it cannot be made without a name.
constexpr std::size_t kMaxPath = 4096;
constexpr int kScratchSlot = 2;
char g_temp[3][kMaxPath];
volatile sig_atomic_t g_named[3] = {0, 0, 0};

extern "C" void RemoveTemporariesAndStop(int sig) {
  for (int i = 0; i < 3; ++i) {
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

// Signals held back while the pair is put in place: the ending ones, and the
// stop signals too, so that Ctrl-Z cannot leave a new file beside an old one
// (and other runs waiting on the lock) for as long as the run stays stopped.
sigset_t CommitSignals() {
  sigset_t set = EndingSignals();
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&set, sig);
  return set;
}

// Holds back the commit's signals while it lives: one that arrives meanwhile
// is delivered, and acted on, once the pair is in place or put back.
class SignalBlock {
 public:
  SignalBlock() {
    const sigset_t set = CommitSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// `folder` in full, so that "." says where it is.
std::string Shown(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path shown = std::filesystem::canonical(folder, ec);
  return ec ? folder : shown.string();
}

// "Error al escribir en la carpeta FOLDER: REASON".
std::string FolderError(const std::string& folder, int errnum) {
  return "Error al escribir en la carpeta " + Shown(folder) + ": " +
         std::strerror(errnum);
}

std::string Parent(const std::string& path) {
  std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

// One set file on its way: the name it is written under, the folder and name
// of the file that really takes it (through symbolic links), its temporary
// beside that file, and what the file was before.
struct SetFile {
  SetFile(const char* target, int slot) : target(target), slot(slot) {}
  // Whatever happens, nothing of this run stays behind but a committed file.
  ~SetFile() {
    if (file != nullptr) {
      std::fclose(file);
    } else if (fd >= 0) {
      close(fd);
    }
    Discard();
    if (dir >= 0) close(dir);  // and with it the lock
  }
  // Says where the file that takes this set lives.
  void Place(const std::string& in, const std::string& name) {
    folder = in;
    real = folder + "/" + name;
    const std::string prefix =
        folder + "/." + name + "." + std::to_string(getpid());
    temp = prefix + ".tmp";
    backup = prefix + ".old";
    leftover_prefix = "." + name + ".";
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
  std::string folder;  // where the file that takes the set lives
  std::string real;    // that file: `target`, or where its links lead
  std::string temp;    // the new content, once named; the old one after an
                       // exchange
  std::string backup;  // the old content where no exchange was possible
  std::string leftover_prefix;
  int dir = -1;  // `folder`, open
  int fd = -1;
  std::FILE* file = nullptr;
  bool existed = false;
  struct stat before = {};
  struct stat folder_stat = {};
  bool backed_up = false;  // `backup` holds the old file
  bool had_old = false;    // after Replace: the old file is at `old`
  const std::string* old = nullptr;
};

// Whether the system would follow the link `link` (as lstat saw it) for this
// user where the shared-folder protection is on: not a link in a sticky,
// world-writable folder that belongs to neither the user nor the folder's
// owner, as one planted in /tmp by somebody else. Checked here too, so that
// such a link is refused whether or not the protection is on.
bool MayFollow(const std::string& link, const struct stat& st) {
  struct stat in;
  if (stat(Parent(link).c_str(), &in) != 0) return false;
  const bool shared =
      (in.st_mode & S_ISVTX) != 0 && (in.st_mode & S_IWOTH) != 0;
  return !shared || st.st_uid == geteuid() || st.st_uid == in.st_uid;
}

// The path of what `fd` is open on, as the kernel found it; empty where
// /proc cannot tell.
std::string PathOf(int fd) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  char path[kMaxPath];
  const ssize_t length = readlink(proc.c_str(), path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path ||
      path[0] != '/')
    return {};
  return std::string(path, static_cast<std::size_t>(length));
}

// Finds the file that writing `set->target` would write, as a shell's ">"
// would: a symbolic link is written through, a dangling one creates the file
// it names. The kernel resolves the path; the links of the last component
// are looked at first only to refuse one planted in a shared folder.
bool Locate(SetFile* set, std::string* err) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit
  std::string name = set->target;
  int links = 0;
  for (;; ++links) {
    struct stat st;
    if (lstat(name.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        *err = SetFileError(set->target, errno);
        return false;
      }
      break;  // nothing there yet
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (links == kMaxLinks) {
      *err = SetFileError(set->target, ELOOP);
      return false;
    }
    if (!MayFollow(name, st)) {
      *err = SetFileError(set->target, EACCES);
      return false;
    }
    char text[kMaxPath];
    const ssize_t length = readlink(name.c_str(), text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
      *err = SetFileError(set->target, length < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    const std::string next(text, static_cast<std::size_t>(length));
    if (next[0] == '/') {
      name = next;
    } else {
      name = Parent(name).append("/").append(next);
    }
  }
  if (links == 0) {  // no link: the file is where its name says
    set->Place(Parent(name), std::filesystem::path(name).filename().string());
    return true;
  }
  // Through the links: the file is where the kernel finds it, or, if it does
  // not exist yet, in the folder where the last link points.
  std::string found;
  const int fd = open(set->target, O_PATH | O_CLOEXEC);
  if (fd >= 0) {
    found = PathOf(fd);
    close(fd);
  } else if (errno == ENOENT) {
    const std::string base = std::filesystem::path(name).filename().string();
    const int in = open(Parent(name).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (in < 0 || base.empty() || base == "." || base == "..") {
      const int reason = in < 0 ? errno : EISDIR;
      if (in >= 0) close(in);
      *err = SetFileError(set->target, reason);
      return false;
    }
    const std::string folder = PathOf(in);
    close(in);
    if (!folder.empty()) found = (folder == "/" ? "" : folder) + "/" + base;
  } else {
    *err = SetFileError(set->target, errno);
    return false;
  }
  if (found.empty()) {  // no /proc: the links as they read
    found = name;
  }
  set->Place(Parent(found), std::filesystem::path(found).filename().string());
  return true;
}

// A target may be replaced only if it is absent, or a regular file that the
// user may write (as a shell's ">" would see it). Records what it was.
bool CheckTarget(SetFile* set, std::string* err) {
  if (stat(set->real.c_str(), &set->before) != 0) {
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
  if (faccessat(AT_FDCWD, set->real.c_str(), W_OK, AT_EACCESS) != 0) {
    *err = SetFileError(set->target, errno);
    return false;
  }
  return true;
}

// Opens the folder that takes `set`, which the user must be able to write.
bool OpenFolder(SetFile* set, std::string* err) {
  set->dir = open(set->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (set->dir < 0 || fstat(set->dir, &set->folder_stat) != 0 ||
      faccessat(set->dir, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    *err = FolderError(set->folder, errno);
    return false;
  }
  return true;
}

bool SameFolder(const SetFile& a, const SetFile& b) {
  return a.folder_stat.st_dev == b.folder_stat.st_dev &&
         a.folder_stat.st_ino == b.folder_stat.st_ino;
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

// The temporaries of a run: a new file in the folder open as `dir`, opened
// with `access` (O_WRONLY or O_RDWR), that has no name where the file system
// allows, so that even a kill leaves nothing. Elsewhere it is created as
// `name`, which sits in `slot` from before it exists, so that an ending
// signal removes it. Returns -1 with errno set on failure.
int OpenTemporary(int dir, int access, const std::string& name, int slot) {
#ifdef O_TMPFILE
  if (UnnamedTemporariesPossible()) {
    const int fd = openat(dir, ".", O_TMPFILE | access | O_CLOEXEC, 0666);
    // Not every file system has unnamed files; those fall back to names.
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
      return fd;
  }
#else
  (void)dir;
#endif
  std::memcpy(g_temp[slot], name.c_str(), name.size() + 1);
  g_named[slot] = 1;
  // The name holds this process's id: one found already is a dead run's.
  unlink(name.c_str());
  const int fd =
      open(name.c_str(), O_CREAT | O_EXCL | access | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int reason = errno;
    g_named[slot] = 0;
    errno = reason;
  }
  return fd;
}

// A scratch file beside `set`'s file (the buckets of a draw too large for
// memory): a temporary that never has a name for longer than it takes to
// remove it, and so goes when it is closed or the run ends.
std::FILE* OpenScratch(const SetFile& set) {
  static unsigned counter = 0;
  const std::string name = set.folder + "/.particion." +
                           std::to_string(getpid()) + "." +
                           std::to_string(counter++) + ".tmp";
  const int fd = OpenTemporary(set.dir, O_RDWR, name, kScratchSlot);
  if (fd < 0) return nullptr;
  if (g_named[kScratchSlot] != 0) {
    unlink(name.c_str());
    g_named[kScratchSlot] = 0;
  }
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

// Opens a new, empty temporary for `set` beside the file it will replace,
// with that file's mode, owner and group where it may set them.
bool CreateTemporary(SetFile* set, std::string* err) {
  set->fd = OpenTemporary(set->dir, O_WRONLY, set->temp, set->slot);
  if (set->fd < 0) {
    *err = SetFileError(set->target, errno);
    return false;
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

// Gives an unnamed temporary its name beside the file it replaces.
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
    unlink(set->real.c_str());
  } else if (std::rename(set->old->c_str(), set->real.c_str()) == 0) {
    set->backed_up = false;
    if (set->old == &set->temp) g_named[set->slot] = 0;
  }
  set->had_old = false;
}

// Puts the temporary in place of the file, keeping the earlier file under a
// name of this run's (`*set->old`) until the pair is whole.
bool Replace(SetFile* set) {
#ifdef RENAME_EXCHANGE
  // One step, with nothing copied: the old file takes the temporary's name.
  if (renameat2(AT_FDCWD, set->temp.c_str(), AT_FDCWD, set->real.c_str(),
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
  // same rights as replacing it, so a file that cannot be replaced fails
  // here with nothing changed.
  if (std::rename(set->real.c_str(), set->backup.c_str()) == 0) {
    set->backed_up = true;
    set->had_old = true;
    set->old = &set->backup;
  } else if (errno != ENOENT) {
    return false;
  }
  if (std::rename(set->temp.c_str(), set->real.c_str()) != 0) {
    const int reason = errno;
    if (set->had_old) Undo(set);
    errno = reason;
    return false;
  }
  g_named[set->slot] = 0;  // the temporary's name is the file's now
  return true;
}

// Removes what runs killed outright left beside `set`'s file: names of the
// form ".NAME.PID.tmp" or ".NAME.PID.old" whose process is gone.
void RemoveLeftovers(const SetFile& set) {
  const int copy = dup(set.dir);  // closedir closes what it is given
  DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
  if (dir == nullptr) {
    if (copy >= 0) close(copy);
    return;
  }
  rewinddir(dir);
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    // A set's temporaries (".NAME.PID.tmp", ".NAME.PID.old") or scratch
    // files (".particion.PID.N.tmp").
    const bool scratch = name.rfind(".particion.", 0) == 0;
    const std::string_view prefix =
        scratch ? std::string_view(".particion.") : set.leftover_prefix;
    if (name.size() <= prefix.size() + 4 ||
        name.substr(0, prefix.size()) != prefix)
      continue;
    const std::string_view middle =
        name.substr(prefix.size(), name.size() - prefix.size() - 4);
    const std::string_view pid = middle.substr(0, middle.find('.'));
    const std::string_view ending = name.substr(name.size() - 4);
    if ((ending != ".tmp" && ending != ".old") || pid.empty() ||
        pid.find_first_not_of("0123456789") != std::string_view::npos ||
        pid.size() > 9 || (!scratch && pid.size() != middle.size()))
      continue;
    if (kill(static_cast<pid_t>(std::stol(std::string(pid))), 0) != 0 &&
        errno == ESRCH)
      unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

// Syncs both sets and, meanwhile, reads the source again to check that it
// still holds what was loaded: the check costs a pass over the source, which
// the wait for storage hides.
bool SyncAndCheck(SetFile* test, SetFile* entr, const Pool& pool,
                  std::string* err) {
  std::string changed;
  bool unchanged = true;
  bool out_of_memory = false;
  const auto check = [&] {
    try {
      unchanged = SourceUnchanged(pool, &changed);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  };
  std::thread checker;
  try {
    checker = std::thread(check);
  } catch (const std::system_error&) {
    check();  // no second thread: one after the other
  }
  const bool synced = Sync(test, err) && Sync(entr, err);
  if (checker.joinable()) checker.join();
  if (out_of_memory) throw std::bad_alloc();
  if (synced && !unchanged) *err = changed;
  return synced && unchanged;
}

// Takes the folder's lock, so that another run in it commits before or after
// this one, never between its two replacements. A run that has to wait long
// says so once. A file system without locks still gets the rest.
void LockFolder(const SetFile& set, const Notify& notify) {
  constexpr int kQuietTries = 100;  // of 10 ms: one second
  for (int i = 0; i <= kQuietTries; ++i) {
    if (flock(set.dir, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return;
    if (i < kQuietTries) {
      const struct timespec pause = {0, 10'000'000};
      nanosleep(&pause, nullptr);
    }
  }
  notify("Esperando a que termine otra ejecucion en la carpeta " +
         Shown(set.folder));
  while (flock(set.dir, LOCK_EX) != 0 && errno == EINTR) {
  }
}

// `path` as the user would name it from the working folder.
std::string_view Named(const std::string& path) {
  return std::string_view(path).substr(path.rfind("./", 0) == 0 ? 2 : 0);
}

// After a commit the earlier file, under this run's name, goes. It is tried
// twice; if it stays, the pair is still whole and new, so the run says so
// and goes on, and the next run removes it.
void RemoveOld(SetFile* set, const Notify& notify) {
  const std::string* old = set->had_old ? set->old : nullptr;
  if (old != nullptr) {
    if (unlink(old->c_str()) != 0 && errno != ENOENT &&
        unlink(old->c_str()) != 0 && errno != ENOENT) {
      notify("Aviso: no se ha podido borrar el fichero " +
             std::string(Named(*old)) + ": " + std::strerror(errno));
    }
  }
  g_named[set->slot] = 0;
  set->backed_up = false;
}

// Puts both complete, synced temporaries in place as one step: afterwards
// both files hold the new sets, or (on failure) both hold what they held.
bool Commit(SetFile* entr, SetFile* test, const Notify& notify,
            std::string* err) {
  // Both folders locked, always in one order, so that two runs whose sets
  // lead to the same two folders can never wait on each other.
  const SetFile* first = entr;
  const SetFile* second = test;
  if (SameFolder(*entr, *test)) {
    second = nullptr;
  } else if (std::make_pair(test->folder_stat.st_dev,
                            test->folder_stat.st_ino) <
             std::make_pair(entr->folder_stat.st_dev,
                            entr->folder_stat.st_ino)) {
    std::swap(first, second);
  }
  LockFolder(*first, notify);
  if (second != nullptr) LockFolder(*second, notify);
  SignalBlock block;
  RemoveLeftovers(*entr);
  RemoveLeftovers(*test);
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
  if (ok) {
    RemoveOld(entr, notify);
    RemoveOld(test, notify);
  }
  entr->Discard();
  test->Discard();
  // The new names must outlast a power cut. A folder that cannot be synced
  // has taken both files all the same, so this is no failure of the run.
  if (ok) {
    fsync(entr->dir);
    if (!SameFolder(*entr, *test)) fsync(test->dir);
  }
  return ok;
}

}  // namespace

bool WriteSetFiles(Pool* pool, std::int32_t caract, std::int32_t n_entr,
                   std::int32_t n_test, const Generator& rand,
                   const Notify& notify, const DrawOptions& options,
                   std::string* err, const char* entrenamiento,
                   const char* test) {
  // A source rewritten or cut short while the sets were drawn gave them text
  // that was never a record of it: such sets must not replace the earlier
  // ones, hence the check before the commit.
  // First in, last out: the temporaries below are removed while an ending
  // signal still removes them too, never in a gap between the two.
  SignalGuard guard;
  SetFile fTest(test, 0);
  SetFile fEntrenamiento(entrenamiento, 1);
  if (!Locate(&fTest, err) || !CheckTarget(&fTest, err) ||
      !Locate(&fEntrenamiento, err) || !CheckTarget(&fEntrenamiento, err))
    return false;
  // Two links to one file would make one set replace the other.
  if (fTest.real == fEntrenamiento.real) {
    *err = std::string("Error al escribir el fichero ") + test +
           ": es el mismo fichero que " + entrenamiento;
    return false;
  }
  DrawOptions scratch_beside = options;
  scratch_beside.scratch = [&fEntrenamiento] {
    return OpenScratch(fEntrenamiento);
  };
  return OpenFolder(&fEntrenamiento, err) && OpenFolder(&fTest, err) &&
         CreateTemporary(&fTest, err) &&
         CreateTemporary(&fEntrenamiento, err) &&
         Partition(pool, caract, n_entr, n_test, rand,
                   {fEntrenamiento.file, entrenamiento}, {fTest.file, test},
                   err, scratch_beside) &&
         SyncAndCheck(&fTest, &fEntrenamiento, *pool, err) &&
         Commit(&fEntrenamiento, &fTest, notify, err);
}

}  // namespace pixelsets
