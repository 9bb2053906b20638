// The protocol of the pair of set files, the same on every platform: where
// each set goes, what is refused, the names of the temporaries and the order
// of the steps that put the pair in place.

#include "pixelsets/set_files.h"

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "pixelsets/messages.h"
#include "pixelsets/set_files_platform.h"

namespace pixelsets {
namespace {

namespace fs = std::filesystem;

// The kernel's own limit of links followed in one name.
constexpr int kMaxLinks = 40;

fs::path Parent(const fs::path& path) {
  fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// The file that writing `target` would write, as a shell's ">" would, in
// `*found`: a symbolic link is written through, a dangling one creates the
// file it names. The links of the last component are looked at first only
// to refuse one planted in a shared folder or a loop.
bool FollowLinks(const char* target, fs::path* found, std::string* err) {
  fs::path name = target;
  int links = 0;
  for (std::error_code ec;; ++links) {
    const fs::file_status st = fs::symlink_status(name, ec);
    if (st.type() == fs::file_type::not_found) break;  // nothing there yet
    if (ec) {
      *err = SetFileError(target, ec.message());
      return false;
    }
    if (st.type() != fs::file_type::symlink) break;
    const int refused = links == kMaxLinks     ? ELOOP
                        : !MayFollowLink(name) ? EACCES
                                               : 0;
    if (refused != 0) {
      *err = SetFileError(target, refused);
      return false;
    }
    const fs::path next = fs::read_symlink(name, ec);
    if (ec) {
      *err = SetFileError(target, ec.message());
      return false;
    }
    name = next.is_absolute() ? next : Parent(name) / next;
  }
  if (links == 0) {  // no link: the file is where its name says
    *found = name;
    return true;
  }
  // Through the links: the file is where the system finds it, or, if it does
  // not exist yet, in the folder where the last link points.
  std::error_code ec;
  *found = fs::canonical(target, ec);
  if (!ec) return true;
  if (ec == std::errc::no_such_file_or_directory) {
    const fs::path base = name.filename();
    const fs::path folder = fs::canonical(Parent(name), ec);
    if (!ec && (base.empty() || base == "." || base == ".."))
      ec = std::make_error_code(std::errc::is_a_directory);
    *found = folder / base;
  }
  if (!ec) return true;
  *err = SetFileError(target, ec.message());
  return false;
}

bool Locate(SetFile* set, std::string* err) {
  fs::path found;
  if (!FollowLinks(set->target(), &found, err)) return false;
  set->Place(Parent(found), found.filename());
  return true;
}

// Whether two set files lead to one file, however they get there.
bool LeadToOneFile(const SetFile& a, const SetFile& b) {
  if (a.real().filename() != b.real().filename()) return false;
  std::error_code ec;
  const bool same = fs::equivalent(a.folder(), b.folder(), ec);
  return ec ? a.real().lexically_normal() == b.real().lexically_normal() : same;
}

// `path` as the user would name it from the working folder.
std::string Named(const fs::path& path) {
  const std::string text = path.string();
  return text.rfind("./", 0) == 0 ? text.substr(2) : text;
}

}  // namespace

void SetFile::Place(const fs::path& folder, const fs::path& name) {
  folder_ = folder;
  real_ = folder / name;
  temp_ = folder / TemporaryName(name.string(), ProcessId());
  backup_ = folder / TemporaryName(name.string(), ProcessId(), true);
}

std::string TemporaryName(const std::string& name, int pid, bool old) {
  return "." + name + "." + std::to_string(pid) + (old ? ".old" : ".tmp");
}

std::string ScratchName(int pid, unsigned n) {
  return ".particion." + std::to_string(pid) + "." + std::to_string(n) + ".tmp";
}

bool IsTemporaryName(const std::string& file, const std::string& name,
                     int* pid) {
  const std::string_view text = file;
  const bool scratch = text.rfind(".particion.", 0) == 0;
  const std::string prefix = scratch ? ".particion." : "." + name + ".";
  if (text.size() <= prefix.size() + 4 || text.rfind(prefix, 0) != 0)
    return false;
  const std::string_view ending = text.substr(text.size() - 4);
  const std::string_view middle =
      text.substr(prefix.size(), text.size() - prefix.size() - 4);
  const std::string_view digits = middle.substr(0, middle.find('.'));
  if ((ending != ".tmp" && ending != ".old") || digits.empty() ||
      digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos ||
      (!scratch && digits.size() != middle.size()))
    return false;
  *pid = std::stoi(std::string(digits));
  return true;
}

SetPair::SetPair(const char* entrenamiento, const char* test,
                 FaultForTests fault)
    : fault_(std::move(fault)),
      test_(std::make_unique<SetFile>(test, 0)),
      entrenamiento_(std::make_unique<SetFile>(entrenamiento, 1)) {}

SetPair::~SetPair() {
  // Not said: the run's end has been said already.
  RemoveScratch([](const std::string&) {});
  entrenamiento_.reset();
  test_.reset();
  guard_.reset();
}

bool SetPair::Open(std::string* err) {
  guard_ = std::make_unique<SignalsWhileWriting>();
  SetFile& test = *test_;
  SetFile& entrenamiento = *entrenamiento_;
  if (!Locate(&test, err) || !test.Inspect(err) ||
      !Locate(&entrenamiento, err) || !entrenamiento.Inspect(err))
    return false;
  // Two names that lead to one file would make one set replace the other.
  if (LeadToOneFile(test, entrenamiento)) {
    *err = SetFileError(test.target(), SameFile(entrenamiento.target()));
    return false;
  }
  return entrenamiento.OpenFolder(err) && test.OpenFolder(err) &&
         test.CreateTemporary(err) && entrenamiento.CreateTemporary(err);
}

SetStreams SetPair::streams() const {
  return {{entrenamiento_->file(), entrenamiento_->target()},
          {test_->file(), test_->target()}};
}

std::FILE* SetPair::OpenScratch() {
  const fs::path name =
      entrenamiento_->folder() / ScratchName(ProcessId(), scratch_files_++);
  bool still_named = false;
  std::FILE* file = entrenamiento_->OpenScratch(name, &still_named);
  if (still_named) named_scratch_.push_back(name);
  return file;
}

void SetPair::RemoveScratch(const Notify& notify) {
  for (const fs::path& name : named_scratch_) {
    if (!pixelsets::RemoveScratch(name)) {
      const int reason = errno;  // before Named, which may allocate
      notify(NotRemoved(Named(name), reason));
    }
  }
  named_scratch_.clear();
}

bool SetPair::Sync(std::string* err) {
  return test_->Sync(err) && entrenamiento_->Sync(err);
}

bool SetPair::Commit(const Notify& notify, std::string* err) {
  // Both folders locked, always in one order, so that two runs whose sets
  // lead to the same two folders can never wait on each other.
  SetFile* first = entrenamiento_.get();
  SetFile* second = test_.get();
  const std::string first_key = first->FolderKey();
  const std::string second_key = second->FolderKey();
  if (first_key == second_key) {
    second = nullptr;
  } else if (second_key < first_key) {
    std::swap(first, second);
  }
  first->LockFolder(notify);
  if (second != nullptr) second->LockFolder(notify);
  SignalsHeld held;
  // Only now, with the lock held, is every earlier holder gone.
  RemoveLeftovers();
  const bool ok = Replace(err);
  // The old files (or, on failure, the new ones) go while signals still
  // wait, so that no interrupt can leave them behind. Both names go one
  // right after the other, the files still held open, and only then are
  // their blocks freed (which takes long for a large file): a kill can leave
  // a name behind only in the microseconds from the first name given to the
  // last one removed. An old file that stays leaves the pair whole and new:
  // the run says so and goes on, and the next run removes it.
  std::string not_removed[2];
  int i = 0;
  for (SetFile* set : {entrenamiento_.get(), test_.get()}) {
    if (ok && !set->RemoveOld()) {
      const int reason = errno;  // before Named, which may allocate
      not_removed[i] = NotRemoved(Named(set->old()), reason);
    }
    ++i;
  }
  for (SetFile* set : {entrenamiento_.get(), test_.get()}) set->Discard();
  for (const std::string& message : not_removed) {
    if (!message.empty()) notify(message);
  }
  // The new names must outlast a power cut. A folder that cannot be synced
  // has taken both files all the same, so this is no failure of the run.
  if (ok) {
    entrenamiento_->SyncFolder();
    if (second != nullptr) test_->SyncFolder();
  }
  return ok;
}

bool SetPair::Replace(std::string* err) {
  entrenamiento_->HoldOld();
  test_->HoldOld();
  SetFile* unnamed = !entrenamiento_->NameTemporary() ? entrenamiento_.get()
                     : !test_->NameTemporary()        ? test_.get()
                                                      : nullptr;
  if (unnamed != nullptr) {
    *err = SetFileError(unnamed->target(), errno);
    return false;
  }
  int injected = Injected(CommitStep::kFirstReplacement);
  if (injected != 0 || !entrenamiento_->Replace()) {
    *err = SetFileError(entrenamiento_->target(),
                        injected != 0 ? injected : errno);
    return false;
  }
  injected = Injected(CommitStep::kSecondReplacement);
  if (injected != 0 || !test_->Replace()) {
    *err = SetFileError(test_->target(), injected != 0 ? injected : errno);
    entrenamiento_->Undo();
    return false;
  }
  return true;
}

void SetPair::RemoveLeftovers() const {
  // What runs killed outright left: temporaries of a process that is gone.
  // A live run's are never touched, whatever it is doing.
  const int self = ProcessId();
  for (const SetFile* set : {entrenamiento_.get(), test_.get()}) {
    std::error_code ec;
    const std::string name = set->real().filename().string();
    for (fs::directory_iterator it(set->folder(), ec), end; !ec && it != end;
         it.increment(ec)) {
      int pid = 0;
      std::error_code ignored;  // what cannot be removed stays for later
      if (IsTemporaryName(it->path().filename().string(), name, &pid) &&
          pid != self && ProcessGone(pid))
        fs::remove(it->path(), ignored);
    }
  }
}

}  // namespace pixelsets
