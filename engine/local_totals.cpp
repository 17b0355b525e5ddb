#include "engine/local_totals.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "engine/entry_table.h"

namespace velmorix {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class Counter {
 public:
  Counter(const WalkRules& rules, std::vector<LocalFolderId> ancestors)
      : rules_(rules), ancestors_(std::move(ancestors)) {}

  // Counts the folder open as `fd` (which this takes over), whose status is
  // `status`.
  void CountFolder(int fd, const struct stat& status, int depth) {
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
      close(fd);
      return;
    }
    const LocalFolderId id{status.st_dev, status.st_ino};
    if (std::find(ancestors_.begin(), ancestors_.end(), id) != ancestors_.end())
      return;
    ancestors_.push_back(id);
    const int dirFd = dirfd(dir.get());
    while (const dirent* entry = readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..")
        continue;
      struct stat child;
      bool isDir = false;
      int64_t size = 0;
      if (fstatat(dirFd, entry->d_name, &child, 0) == 0) {
        isDir = S_ISDIR(child.st_mode);
        if (S_ISREG(child.st_mode))
          size = child.st_size;
      } else if (fstatat(dirFd, entry->d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) {
        isDir = entry->d_type == DT_DIR;
      }
      if (isDir) {
        if (SkipsLocalFolder(rules_, name) || depth >= kMaxFolderDepth)
          continue;
        const int childFd =
            openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (childFd >= 0 && fstat(childFd, &child) == 0) {
          CountFolder(childFd, child, depth + 1);
        } else if (childFd >= 0) {
          close(childFd);
        }
        continue;
      }
      if (IgnoresFile(rules_, name))
        continue;
      ++totals.files;
      totals.bytes += size;
    }
    ancestors_.pop_back();
  }

  LocalTotals totals;

 private:
  const WalkRules& rules_;
  std::vector<LocalFolderId> ancestors_;
};

}  // namespace

LocalTotals CountLocalFiles(const WalkRules& rules, const std::string& folder,
                            std::vector<LocalFolderId> ancestors, int depth) {
  Counter counter(rules, std::move(ancestors));
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  struct stat status;
  if (fd < 0)
    return {};
  if (fstat(fd, &status) != 0) {
    close(fd);
    return {};
  }
  counter.CountFolder(fd, status, depth);
  return counter.totals;
}

}  // namespace velmorix
