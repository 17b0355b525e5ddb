#include "engine/local_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <numeric>
#include <string_view>
#include <vector>

#include "settings/destinations.h"

namespace velmorix {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Puts `column`'s values in `order`'s order.
template <typename Column>
void Reorder(Column& column, const std::vector<int>& order) {
  Column sorted;
  sorted.reserve(order.size());
  for (const int i : order)
    sorted.push_back(std::move(column[i]));
  column = std::move(sorted);
}

void SortLocalEntries(EntryTable& table) {
  std::vector<int> order(static_cast<size_t>(table.localCount));
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&table](int a, int b) { return ListsBefore(table.localName[a], table.localName[b]); });
  Reorder(table.localName, order);
  Reorder(table.localTime, order);
  Reorder(table.localSize, order);
  Reorder(table.localIsDir, order);
  Reorder(table.localIsSpecial, order);
}

}  // namespace

bool LocalFolderIdOf(const std::string& path, LocalFolderId& id) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0)
    return false;
  id = {status.st_dev, status.st_ino};
  return true;
}

LocalScan ScanLocalFolder(const std::string& folder) {
  LocalScan scan;
  DirHandle dir(opendir(folder.c_str()));
  if (!dir) {
    scan.outcome = LocalScan::Outcome::kCannotOpen;
    scan.error = errno;
    return scan;
  }
  EntryTable& table = scan.entries;
  const int dirFd = dirfd(dir.get());
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) {
        scan.outcome = LocalScan::Outcome::kBrokeOff;
        scan.error = errno;
      }
      SortLocalEntries(table);
      // A run holds every folder it read until it ends: no room to spare.
      table.localName.shrink_to_fit();
      table.localTime.shrink_to_fit();
      table.localSize.shrink_to_fit();
      table.localIsDir.shrink_to_fit();
      table.localIsSpecial.shrink_to_fit();
      return scan;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    int64_t time = 0;
    int64_t size = 0;
    bool isDir = false;
    bool isSpecial = false;
    struct stat status;
    if (fstatat(dirFd, entry->d_name, &status, 0) == 0) {
      time = status.st_mtime;
      isDir = S_ISDIR(status.st_mode);
      isSpecial = !isDir && !S_ISREG(status.st_mode);
      if (S_ISREG(status.st_mode))
        size = status.st_size;
    } else if (fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      time = status.st_mtime;
    } else {
      isDir = entry->d_type == DT_DIR;  // it vanished meanwhile; its upload will say so
    }
    AddLocalEntry(table, std::string(name), time, size, isDir, isSpecial);
  }
}

}  // namespace velmorix
