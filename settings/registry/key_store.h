// The per-user key store: a hierarchy of keys holding named text, 32-bit
// number and byte values, kept in one text file per user (registry_file.h
// gives its form). Key paths are given below HKEY_CURRENT_USER
// ("SOFTWARE\Quenzari\velmorix\SETTINGS"); key and value names compare
// without regard to ASCII letter case.
//
// Where the file lives: $XDG_CONFIG_HOME/<company key>/registry.reg, with
// ~/.config in place of $XDG_CONFIG_HOME when that is unset, empty or not an
// absolute path. Beside it: registry.reg.lock (the lock of every save),
// registry.reg.tmp (the next file while a save writes it) and, after a damaged
// file was replaced, registry.reg.damaged-<date>-<time> (the old file, kept).
//
// registry.reg may be a symbolic link, or a chain of them, to a file kept
// elsewhere: a save then replaces that file and the link stays as it is. The
// .tmp and .damaged- files are then named after that file and lie beside it;
// the lock stays beside the link, named after the path every program using
// the store is given. A link that leads to nothing yet makes the save create
// the file it names (but not its folder).
//
// Changes are transactions: writes and deletes made through the keys of a
// KeyStore are seen by its own reads at once but reach the file only with
// Commit, which takes the lock, reads the file as it is now, applies just
// these changes and replaces the file whole. So two programs that save at
// the same moment both keep what the other wrote, and a crash at any moment
// leaves either the old or the new file.
//
// A KeyStore and its keys belong to one thread at a time. Several KeyStore
// objects, in one process or in several, may use the same file at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/registry/registry_file.h"

namespace velmorix::registry {

std::filesystem::path UserKeyStorePath(std::string_view companyKey);

class KeyStore;

// An open key. Close it by letting it go; it must not outlive its store.
class RegistryKey {
 public:
  // The value, or nothing when it is missing. The caller checks the type.
  std::optional<RegistryValue> QueryValue(std::string_view name) const;
  // Only on a key opened for writing (KeyStore::CreateKey); false otherwise,
  // and false for a name holding a line break, which the file cannot hold.
  bool SetValue(std::string_view name, RegistryValue value);
  bool DeleteValue(std::string_view name);

 private:
  friend class KeyStore;
  RegistryKey(KeyStore& store, std::string path, bool writable)
      : store_(&store), path_(std::move(path)), writable_(writable) {}

  KeyStore* store_;
  std::string path_;  // full, from HKEY_CURRENT_USER on
  bool writable_;
};

class KeyStore {
 public:
  // Reads `file` as it is now. A missing or unreadable file is an empty store;
  // loadError() says why an existing file could not be read. Only a regular
  // file of at most 16 MiB is read: a FIFO, a device, a socket or a folder in
  // its place is refused without waiting on it, and so is a larger file.
  explicit KeyStore(std::filesystem::path file);
  ~KeyStore();
  KeyStore(const KeyStore&) = delete;
  KeyStore& operator=(const KeyStore&) = delete;

  // Takes the lock that every save takes and holds it until the store is
  // destroyed, then reads the file afresh under it (with the changes made
  // so far applied again): nothing another program saves can come between
  // this read and the next Commit, which then does not take the lock again.
  // For a program that reads, decides and writes as one step. False, with
  // `error` in the form Commit gives, when the lock cannot be taken.
  bool Lock(std::string* error = nullptr);

  // Opens an existing key for reading; nothing when it does not exist.
  std::optional<RegistryKey> OpenKey(std::string_view path);
  // Opens a key for reading and writing, creating it (on Commit) when it is
  // missing. Nothing for a path the file cannot hold (empty, a line break).
  std::optional<RegistryKey> CreateKey(std::string_view path);

  // Writes the changes made since the last Commit into the file, as said
  // above, and clears them. False when the file could not be replaced (the
  // changes are then kept for another try); the old file is untouched, and
  // so is a file that could not be read or whose damaged copy could not be
  // kept. Then `error`, when given, receives the reason in English, fit to
  // be shown as it is: the file concerned, a colon and the system's reason,
  // as in "/home/ann/.config/Quenzari/registry.reg.tmp: Permission denied"
  // or ".../registry.reg.lock: cannot take the lock: Is a directory". On
  // success `error` is cleared.
  bool Commit(std::string* error = nullptr);

  bool HasChanges() const { return !changes_.empty(); }
  const std::filesystem::path& file() const { return file_; }
  // Why the file could not be read when the store was made, in the form
  // Commit gives; empty when it was read or does not exist.
  const std::string& loadError() const { return loadError_; }

 private:
  friend class RegistryKey;

  struct Change {
    enum class Kind { kCreateKey, kSetValue, kDeleteValue } kind;
    std::string path;
    std::string name;
    RegistryValue value;
  };
  void Record(Change change);
  static void Apply(const Change& change, RegistryTree& tree);

  std::filesystem::path file_;
  std::string loadError_;
  int heldLock_ = -1;  // the lock file's descriptor while Lock holds it
  RegistryTree view_;  // the file as read, with the changes applied
  std::vector<Change> changes_;
};

}  // namespace velmorix::registry
