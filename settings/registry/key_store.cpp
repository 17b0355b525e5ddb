#include "settings/registry/key_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace velmorix::registry {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kRootKey = "HKEY_CURRENT_USER\\";

// An open file descriptor that closes itself.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Closes now and says whether the last writes reached the file system.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

struct FileContent {
  bool exists = false;
  std::string text;
};

// The whole file; an empty content when it does not exist; nothing when it
// exists but cannot be read, so that a save never replaces what it could not
// read.
std::optional<FileContent> ReadWholeFile(const fs::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT)
      return FileContent{};
    return std::nullopt;
  }
  FileContent content{true, {}};
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0)
      return content;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return std::nullopt;
    }
    content.text.append(buffer, static_cast<size_t>(n));
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

// Creates `path` with mode 0600 and writes `data` to it, flushed to the disk.
// `flags` adds O_TRUNC or O_EXCL.
bool WriteNewFile(const fs::path& path, std::string_view data, int flags) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600));
  if (!fd.valid())
    return false;
  // The mode given to open is cut by the umask and does not apply to a file
  // left over from an earlier save; the file holds the passwords.
  if (::fchmod(fd.get(), 0600) != 0)
    return false;
  if (!WriteAll(fd.get(), data) || ::fsync(fd.get()) != 0)
    return false;
  return fd.Close();
}

// Keeps a copy of a damaged file before a save replaces it, so that what the
// store could not read is still there for a person to look at.
bool KeepDamagedCopy(const fs::path& file, std::string_view content) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = file.string() + ".damaged-" + stamp;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    if (WriteNewFile(name, content, O_EXCL))
      return true;
    if (errno != EEXIST)
      return false;
  }
  return false;
}

// Makes the folder of the file, the last level private to the user.
void CreateFolder(const fs::path& folder) {
  std::error_code ignored;
  fs::create_directories(folder.parent_path(), ignored);
  ::mkdir(folder.c_str(), 0700);
}

bool PathFitsTheFile(std::string_view text) {
  return text.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

fs::path UserKeyStorePath(std::string_view companyKey) {
  fs::path base;
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') {
    base = configHome;
  } else {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
      base = home;
    } else {
      passwd entry{};
      passwd* found = nullptr;
      char buffer[4096];
      if (getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        base = found->pw_dir;
      }
    }
    base /= ".config";
  }
  return base / std::string(companyKey) / "registry.reg";
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
  if (std::optional<FileContent> content = ReadWholeFile(file_)) {
    view_ = ParseRegistryFile(content->text).tree;
  }
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

bool KeyStore::Commit() {
  if (changes_.empty())
    return true;
  const fs::path folder = file_.parent_path();
  CreateFolder(folder);

  // The lock lives in a file of its own: the store file itself is replaced
  // by every save, and a lock on a replaced file guards nothing.
  const fs::path lockPath = file_.string() + ".lock";
  FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid())
    return false;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR)
      return false;
  }

  // Under the lock: the file as the last save left it, plus our changes.
  const std::optional<FileContent> current = ReadWholeFile(file_);
  if (!current)
    return false;
  ParsedRegistryFile parsed = ParseRegistryFile(current->text);
  for (const Change& change : changes_)
    Apply(change, parsed.tree);
  if (parsed.damaged && current->exists && !KeepDamagedCopy(file_, current->text))
    return false;

  // Only the holder of the lock writes the temporary file, so a fixed name
  // is safe, and one left behind by a crashed save is simply overwritten.
  const fs::path temporary = file_.string() + ".tmp";
  if (!WriteNewFile(temporary, FormatRegistryFile(parsed.tree), O_TRUNC) ||
      ::rename(temporary.c_str(), file_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename is durable only once the folder itself is flushed.
  FileDescriptor folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderFd.valid())
    ::fsync(folderFd.get());

  view_ = std::move(parsed.tree);
  changes_.clear();
  return true;
}

}  // namespace velmorix::registry
