// What the pair of set files needs from the platform: one set file's
// temporary beside the file it replaces, the steps that put it in place, the
// lock between runs and the signals. One implementation per platform
// (set_files_posix.cc, set_files_win.cc); which step comes when, and the
// names of the temporaries, are set_files.cc's.

#ifndef PARTICION_SRC_PIXELSETS_SET_FILES_PLATFORM_H_
#define PARTICION_SRC_PIXELSETS_SET_FILES_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace pixelsets {

// Tells the user something on the way that is no failure: a wait for another
// run, an old file that could not be removed.
using Notify = std::function<void(const std::string& message)>;

// While it lives, an ending signal removes the named temporaries of the run
// before it ends the run, and a file-size limit becomes a write error.
class SignalsWhileWriting {
 public:
  SignalsWhileWriting();
  ~SignalsWhileWriting();
  SignalsWhileWriting(const SignalsWhileWriting&) = delete;
  SignalsWhileWriting& operator=(const SignalsWhileWriting&) = delete;
};

// While it lives, the signals that would end or stop the run wait: a pair
// that is being put in place is never left half done.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// Removes the name of a scratch file that OpenScratch could not remove;
// false with errno set when it stays.
bool RemoveScratch(const std::filesystem::path& name);

// This process's id, and whether process `pid` has ended (a process that
// has ended holds no file and no lock, even before its parent has noted its
// end).
int ProcessId();
bool ProcessGone(int pid);

// Whether the system would follow the symbolic link `link` for this user
// where the shared-folder protection is on: not a link in a sticky,
// world-writable folder that belongs to neither the user nor the folder's
// owner, as one planted in /tmp by somebody else.
bool MayFollowLink(const std::filesystem::path& link);

// One set file on its way to its place.
class SetFile {
 public:
  // `target` is the name the user knows the set by; `slot` (0 or 1) tells
  // the two of a run apart.
  SetFile(const char* target, int slot) : target_(target), slot_(slot) {}
  // Closes what is open and removes what this run named and did not commit.
  ~SetFile();
  SetFile(const SetFile&) = delete;
  SetFile& operator=(const SetFile&) = delete;

  // Says where the file that takes the set lives, and the names of this
  // run's temporary and backup beside it (set_files.cc).
  void Place(const std::filesystem::path& folder,
             const std::filesystem::path& name);
  const char* target() const { return target_; }
  const std::filesystem::path& folder() const { return folder_; }
  const std::filesystem::path& real() const { return real_; }

  // A target may be replaced only if it is absent, or a regular file that
  // the user may write, as a shell's ">" would see it. Notes what it is.
  bool Inspect(std::string* err);
  // Opens the folder, which the user must be able to write.
  bool OpenFolder(std::string* err);
  // Equal for two set files in one folder, whatever its names, and the same
  // every time it is asked once the folder is open; ordered, so that the
  // folders of a pair are always locked in one order.
  std::string FolderKey() const;
  // Opens a new, empty temporary beside the file it will replace, with that
  // file's mode, owner and group where they may be set; without a name
  // where the file system allows, so that even a kill leaves nothing.
  bool CreateTemporary(std::string* err);
  std::FILE* file() const { return file_; }
  // A file beside this one that has no name, or loses it at once (`name`,
  // for the moment it has one): see SetPair::OpenScratch. `*still_named`
  // when its name could not be removed: it stays until RemoveScratch, and
  // an ending signal removes it meanwhile.
  std::FILE* OpenScratch(const std::filesystem::path& name, bool* still_named);
  // Writes out what the stream holds and waits until it is on storage.
  bool Sync(std::string* err);

  // Waits until no other run holds the folder, and holds it; a run that has
  // to wait long says so once through `notify`.
  void LockFolder(const Notify& notify);
  // Holds the file that the temporary will replace open, where there is
  // one, until Discard: removing its old name is then quick, and its blocks
  // are freed only once every name of the pair is in place or gone.
  void HoldOld();
  // Gives the temporary its name beside the file it replaces. False with
  // errno set.
  bool NameTemporary();
  // Puts the temporary in place of the file, keeping the old file under a
  // name of this run's until the pair is whole. False with errno set.
  bool Replace();
  // Puts back what Replace took away.
  void Undo();
  // Removes the old file once the pair is in place; false, with errno set,
  // when it stays.
  bool RemoveOld();
  // The old file's name while it stays: see RemoveOld.
  const std::filesystem::path& old() const;
  // Closes the temporary and removes it unless it was put in place, and
  // lets go of the old file. An old file that could not be put back stays
  // where it is, under this run's name: the one copy of the earlier set.
  void Discard();
  // Makes the new names outlast a power cut.
  void SyncFolder();

 private:
  const char* target_;
  int slot_;
  std::filesystem::path folder_;  // where the file that takes the set lives
  std::filesystem::path real_;    // that file: the target, or its links' end
  std::filesystem::path temp_;    // the new content, once named; after an
                                  // exchange, the old content
  std::filesystem::path backup_;  // the old content where no exchange was
                                  // possible
  // The platform's own: the descriptors of the folder and the temporary on
  // POSIX; the temporary's handle and the folder's mutex on Windows.
  int folder_fd_ = -1;
  // The open folder's device and inode (POSIX), its full path (Windows).
  std::string folder_key_;
  int fd_ = -1;
  int old_fd_ = -1;  // POSIX: the file replaced, held open (HoldOld)
  void* handle_ = nullptr;
  void* mutex_ = nullptr;
  std::FILE* file_ = nullptr;
  std::uint32_t mode_ = 0;
  std::uint32_t owner_ = 0;
  std::uint32_t group_ = 0;
  bool existed_ = false;
  bool named_ = false;      // the temporary has its name
  bool backed_up_ = false;  // the old file is at `backup_`
  bool had_old_ = false;    // after Replace: there was an old file
  bool exchanged_ = false;  // after Replace: the old file is at `temp_`
  bool placed_ = false;     // the temporary is the set file now
};

// The name of a temporary of process `pid` beside the file named `name`:
// ".NAME.PID.tmp", or ".NAME.PID.old" for the old file moved aside.
std::string TemporaryName(const std::string& name, int pid, bool old = false);
// The name of a run's scratch file: ".particion.PID.N.tmp".
std::string ScratchName(int pid, unsigned n);
// Whether `file` is the name of a temporary or a scratch file beside a file
// named `name`, and of which process.
bool IsTemporaryName(const std::string& file, const std::string& name,
                     int* pid);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SET_FILES_PLATFORM_H_
