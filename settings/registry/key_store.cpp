#include "settings/registry/key_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/unique_fd.h"
#include "base/user_folders.h"

namespace velmorix::registry {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kRootKey = "HKEY_CURRENT_USER\\";
// A settings file holds a few kilobytes. Reading a far larger one whole could
// run the program out of memory, so it is not read, and a save does not
// write one.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;
constexpr std::string_view kTooLarge = "is larger than 16 MiB, too large for a settings file";
// As many links as the system itself follows in one path before it gives up.
constexpr int kMaxLinkHops = 40;

std::string SystemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

// Every error text of the store names the file it is about first.
std::string FileError(const fs::path& path, std::string_view reason) {
  return path.string() + ": " + std::string(reason);
}

struct FileContent {
  bool exists = false;
  std::string text;
};

// Why a file of this kind and size is not read; "" when it is read.
std::string_view Refusal(const struct stat& info) {
  if (S_ISREG(info.st_mode))
    return info.st_size > kMaxFileSize ? kTooLarge : "";
  if (S_ISDIR(info.st_mode))
    return "is a folder, not a file";
  if (S_ISFIFO(info.st_mode))
    return "is a FIFO, not a regular file";
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
    return "is a device, not a regular file";
  if (S_ISSOCK(info.st_mode))
    return "is a socket, not a regular file";
  return "is not a regular file";
}

// The whole file; an empty content when it does not exist; nothing when it
// exists but cannot be read or is refused (see Refusal), with `error` saying
// why, so that a save never replaces what it could not read.
std::optional<FileContent> ReadWholeFile(const fs::path& path, std::string& error) {
  const auto fail = [&](std::string_view reason) {
    error = FileError(path, reason);
    return std::nullopt;
  };
  // Looked at before it is opened: opening a FIFO waits for a writer, and
  // opening a device may do something of its own.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT)
      return FileContent{};
    return fail(SystemErrorText(errno));
  }
  if (const std::string_view refusal = Refusal(info); !refusal.empty())
    return fail(refusal);
  // Whatever was swapped in since is opened without waiting and looked at
  // again.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT)
      return FileContent{};
    return fail(SystemErrorText(errno));
  }
  if (::fstat(fd.get(), &info) != 0)
    return fail(SystemErrorText(errno));
  if (const std::string_view refusal = Refusal(info); !refusal.empty())
    return fail(refusal);

  FileContent content{true, {}};
  content.text.reserve(static_cast<size_t>(info.st_size));
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0)
      return content;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return fail(SystemErrorText(errno));
    }
    content.text.append(buffer, static_cast<size_t>(n));
    if (content.text.size() > static_cast<size_t>(kMaxFileSize))
      return fail(kTooLarge);  // it grew while it was read
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Creates `path`, which must not exist yet, with mode 0600 and writes `data`
// to it, flushed to the disk. Returns 0, or the errno of the step that failed.
int WriteNewFile(const fs::path& path, std::string_view data) {
  // O_EXCL also refuses a symbolic link in the way instead of writing
  // wherever it leads.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid())
    return errno;
  // The mode given to open is cut by the umask; the file holds the passwords.
  if (::fchmod(fd.get(), 0600) != 0)
    return errno;
  if (!WriteAll(fd.get(), data) || ::fsync(fd.get()) != 0)
    return errno;
  return fd.Close() ? 0 : errno;
}

// Keeps a copy of a damaged file before a save replaces it, so that what the
// store could not read is still there for a person to look at. Returns ""
// or the error.
std::string KeepDamagedCopy(const fs::path& file, std::string_view content) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = file.string() + ".damaged-" + stamp;
  int error = EEXIST;
  std::string name;
  for (int attempt = 1; attempt <= 100 && error == EEXIST; ++attempt) {
    name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    error = WriteNewFile(name, content);
    if (error == 0)
      return {};
    if (error != EEXIST)
      ::unlink(name.c_str());  // a partly written copy is no copy
  }
  return FileError(name, "cannot keep the damaged file aside: " + SystemErrorText(error));
}

// Makes the folder of the file, the last level private to the user. Returns
// "" or the error.
std::string CreateFolder(const fs::path& folder) {
  if (folder.empty())
    return {};  // the current folder
  std::error_code ignored;
  fs::create_directories(folder.parent_path(), ignored);
  if (::mkdir(folder.c_str(), 0700) == 0)
    return {};
  if (errno != EEXIST)
    return FileError(folder, SystemErrorText(errno));
  // Something of that name is there already; only a folder (or a link to
  // one) will do.
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0)
    return FileError(folder, SystemErrorText(errno));
  return S_ISDIR(info.st_mode) ? std::string() : FileError(folder, SystemErrorText(ENOTDIR));
}

// The file a save replaces: `path` itself, or the file its chain of symbolic
// links leads to, each relative link read from the folder it lies in. A
// chain that ends where nothing is yet yields that place, where the save
// creates the file. Nothing, with `error` saying why, for a chain that goes
// round in a circle or cannot be read.
std::optional<fs::path> FollowLinks(const fs::path& path, std::string& error) {
  fs::path current = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0) {
      if (errno == ENOENT)
        return current;
      error = FileError(current, SystemErrorText(errno));
      return std::nullopt;
    }
    if (!S_ISLNK(info.st_mode))
      return current;
    std::error_code failure;
    const fs::path target = fs::read_symlink(current, failure);
    if (failure) {
      error = FileError(current, failure.message());
      return std::nullopt;
    }
    // Not normalized: ".." must leave the folder the link really lies in.
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  error = FileError(path, SystemErrorText(ELOOP));
  return std::nullopt;
}

// Opens the lock file beside `file` and takes its lock, waiting for
// another program's save to end. Returns "" with `lock` holding it, or the
// error.
std::string TakeLock(const fs::path& file, UniqueFd& lock) {
  // The lock lives in a file of its own: the store file itself is replaced
  // by every save, and a lock on a replaced file guards nothing.
  const fs::path lockPath = file.string() + ".lock";
  UniqueFd opened(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600));
  if (!opened.valid())
    return FileError(lockPath, "cannot take the lock: " + SystemErrorText(errno));
  while (::flock(opened.get(), LOCK_EX) != 0) {
    if (errno != EINTR)
      return FileError(lockPath, "cannot take the lock: " + SystemErrorText(errno));
  }
  lock.Reset(opened.Release());
  return {};
}

bool PathFitsTheFile(std::string_view text) {
  return text.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

fs::path UserKeyStorePath(std::string_view companyKey) {
  // Without any home the folder is taken from the current one.
  std::string base = XdgBaseFolder("XDG_CONFIG_HOME", ".config");
  if (base.empty()) {
    base = ".config";
  }
  return fs::path(base) / std::string(companyKey) / "registry.reg";
}

std::optional<RegistryValue> RegistryKey::QueryValue(std::string_view name) const {
  const RegistryValue* value = store_->view_.FindValue(path_, name);
  if (value == nullptr)
    return std::nullopt;
  return *value;
}

bool RegistryKey::SetValue(std::string_view name, RegistryValue value) {
  if (!writable_ || !PathFitsTheFile(name))
    return false;
  store_->Record({KeyStore::Change::Kind::kSetValue, path_, std::string(name), std::move(value)});
  return true;
}

bool RegistryKey::DeleteValue(std::string_view name) {
  if (!writable_)
    return false;
  store_->Record({KeyStore::Change::Kind::kDeleteValue, path_, std::string(name), {}});
  return true;
}

KeyStore::KeyStore(fs::path file) : file_(std::move(file)) {
  if (std::optional<FileContent> content = ReadWholeFile(file_, loadError_)) {
    view_ = ParseRegistryFile(content->text).tree;
  }
}

KeyStore::~KeyStore() {
  if (heldLock_ >= 0)
    ::close(heldLock_);  // closing the lock file releases the lock
}

bool KeyStore::Lock(std::string* error) {
  const auto fail = [error](std::string reason) {
    if (error != nullptr)
      *error = std::move(reason);
    return false;
  };
  if (heldLock_ >= 0)
    return true;
  if (std::string reason = CreateFolder(file_.parent_path()); !reason.empty())
    return fail(std::move(reason));
  UniqueFd lock(-1);
  if (std::string reason = TakeLock(file_, lock); !reason.empty())
    return fail(std::move(reason));
  heldLock_ = lock.Release();

  // What another program saved before the lock was taken counts from now on.
  loadError_.clear();
  view_ = RegistryTree{};
  if (std::optional<FileContent> content = ReadWholeFile(file_, loadError_))
    view_ = ParseRegistryFile(content->text).tree;
  for (const Change& change : changes_)
    Apply(change, view_);
  return true;
}

std::optional<RegistryKey> KeyStore::OpenKey(std::string_view path) {
  std::string full = std::string(kRootKey) + std::string(path);
  if (!view_.KeyExists(full))
    return std::nullopt;
  return RegistryKey(*this, std::move(full), false);
}

std::optional<RegistryKey> KeyStore::CreateKey(std::string_view path) {
  if (path.empty() || !PathFitsTheFile(path))
    return std::nullopt;
  std::string full = std::string(kRootKey) + std::string(path);
  Record({Change::Kind::kCreateKey, full, {}, {}});
  return RegistryKey(*this, std::move(full), true);
}

void KeyStore::Record(Change change) {
  Apply(change, view_);
  changes_.push_back(std::move(change));
}

void KeyStore::Apply(const Change& change, RegistryTree& tree) {
  switch (change.kind) {
    case Change::Kind::kCreateKey:
      tree.CreateKey(change.path);
      break;
    case Change::Kind::kSetValue:
      tree.SetValue(change.path, change.name, change.value);
      break;
    case Change::Kind::kDeleteValue:
      tree.DeleteValue(change.path, change.name);
      break;
  }
}

bool KeyStore::Commit(std::string* error) {
  const auto fail = [error](std::string reason) {
    if (error != nullptr)
      *error = std::move(reason);
    return false;
  };
  if (error != nullptr)
    error->clear();
  if (changes_.empty())
    return true;
  UniqueFd lock(-1);
  if (heldLock_ < 0) {
    if (std::string reason = CreateFolder(file_.parent_path()); !reason.empty())
      return fail(std::move(reason));
    if (std::string reason = TakeLock(file_, lock); !reason.empty())
      return fail(std::move(reason));
  }

  // A link stays a link: the save replaces the file it leads to, so the
  // temporary file and a damaged file's copy go beside that file, on the
  // same file system, where the rename can replace it.
  std::string reason;
  const std::optional<fs::path> target = FollowLinks(file_, reason);
  if (!target)
    return fail(std::move(reason));

  // Under the lock: the file as the last save left it, plus our changes.
  const std::optional<FileContent> current = ReadWholeFile(*target, reason);
  if (!current)
    return fail(std::move(reason));
  ParsedRegistryFile parsed = ParseRegistryFile(current->text);
  for (const Change& change : changes_)
    Apply(change, parsed.tree);
  const std::string text = FormatRegistryFile(parsed.tree);
  if (text.size() > static_cast<size_t>(kMaxFileSize))  // it could not be read back
    return fail(FileError(file_, "the settings would be larger than 16 MiB"));
  if (parsed.damaged && current->exists) {
    if (reason = KeepDamagedCopy(*target, current->text); !reason.empty())
      return fail(std::move(reason));
  }

  // Only the holder of the lock writes the temporary file, so a fixed name
  // is safe, and one left behind by a crashed save is simply removed.
  const fs::path temporary = target->string() + ".tmp";
  ::unlink(temporary.c_str());
  if (const int written = WriteNewFile(temporary, text)) {
    if (written != EEXIST)  // what is in the way is not ours
      ::unlink(temporary.c_str());
    return fail(FileError(temporary, SystemErrorText(written)));
  }
  if (::rename(temporary.c_str(), target->c_str()) != 0) {
    const int renameError = errno;
    ::unlink(temporary.c_str());
    return fail(FileError(*target, SystemErrorText(renameError)));
  }
  // The rename is durable only once the folder itself is flushed.
  const fs::path targetFolder = target->parent_path();
  UniqueFd folderFd(::open(targetFolder.empty() ? "." : targetFolder.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderFd.valid())
    ::fsync(folderFd.get());

  view_ = std::move(parsed.tree);
  changes_.clear();
  return true;
}

}  // namespace velmorix::registry
