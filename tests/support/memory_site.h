// A server held in memory, for trying the walk's and the pruning's rules
// without an FTP server: folders and files with their times, every
// operation recorded as the command a real server would have received
// ("CWD /site", "LIST /site", "MKD /site/a", "STOR /site/a/b.html",
// "DELE /site/c", "RMD /site/d"). Paths are absolute; nothing is normalised.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/remote_site.h"

namespace velmorix::testing {

class MemorySite final : public RemoteSite {
 public:
  // The time an uploaded file gets, as a server's clock would give it.
  static constexpr int64_t kUploadTime = 4000000000;

  struct Node {
    bool isDir = false;
    int64_t time = 0;
    int64_t size = 0;
    bool isLink = false;
    bool operator==(const Node&) const = default;
  };

  MemorySite() { nodes["/"] = {true, 0, 0}; }

  void AddFolder(const std::string& path, int64_t time = 0) { nodes[path] = {true, time, 0}; }
  void AddFile(const std::string& path, int64_t time, int64_t size = 0) {
    nodes[path] = {false, time, size};
  }
  // A symbolic link, listed as one.
  void AddLink(const std::string& path) { nodes[path] = {false, 0, 0, true}; }

  // Uploads of these names fail, as a server refusing them would.
  std::set<std::string> refusedUploads;
  // Called after every upload step, for a test to look at the run meanwhile.
  std::function<void()> afterUploadStep;

  std::map<std::string, Node> nodes;
  std::vector<std::string> commands;

  FtpStatus ChangeFolder(std::string_view path) override {
    commands.push_back("CWD " + std::string(path));
    const auto it = nodes.find(std::string(path));
    if (it == nodes.end() || !it->second.isDir)
      return Refused();
    current_ = path;
    return FtpStatus::Ok();
  }

  FtpStatus OpenListing(std::string_view folder, ListingCommand,
                        std::unique_ptr<RemoteListing>& listing, RemoteEntry& first) override {
    const std::string path = folder.empty() ? current_ : std::string(folder);
    commands.push_back("LIST " + path);
    const auto it = nodes.find(path);
    if (it == nodes.end() || !it->second.isDir)
      return Refused();
    auto entries = std::make_unique<Listing>();
    const std::string prefix = path == "/" ? "/" : path + "/";
    for (const auto& [childPath, node] : nodes) {
      if (childPath.size() > prefix.size() && childPath.starts_with(prefix) &&
          childPath.find('/', prefix.size()) == std::string::npos) {
        RemoteEntry entry;
        entry.name = childPath.substr(prefix.size());
        entry.isDir = node.isDir;
        entry.isLink = node.isLink;
        entry.lastWriteTime = node.time;
        entries->entries.push_back(entry);
      }
    }
    const FtpStatus status = entries->Next(first);
    if (status.ok())
      listing = std::move(entries);
    return status;
  }

  bool ListsWithMlsd() const override { return false; }

  FtpStatus CreateFolder(std::string_view path) override {
    commands.push_back("MKD " + std::string(path));
    if (nodes.count(std::string(path)) != 0)
      return Refused();
    AddFolder(std::string(path), kUploadTime);
    return FtpStatus::Ok();
  }

  FtpStatus PutFile(const std::string& localPath, std::string_view remoteName,
                    const UploadProgress& progress, UploadTarget) override {
    const std::string path = Child(remoteName);
    commands.push_back("STOR " + path);
    if (refusedUploads.count(std::string(remoteName)) != 0)
      return Refused();
    struct stat status {};
    if (::stat(localPath.c_str(), &status) != 0)
      return FtpStatus::Error(FtpErrorKind::kSystem, "no such local file");
    // In two halves, as a large upload reports its way.
    for (const int64_t sent : {int64_t{status.st_size} / 2, int64_t{status.st_size}}) {
      if (progress)
        progress(sent);
      if (afterUploadStep)
        afterUploadStep();
    }
    AddFile(path, kUploadTime, status.st_size);
    return FtpStatus::Ok();
  }

  FtpStatus DeleteFile(std::string_view name) override {
    const std::string path = Child(name);
    commands.push_back("DELE " + path);
    const auto it = nodes.find(path);
    if (it == nodes.end() || it->second.isDir)
      return Refused();
    nodes.erase(it);
    return FtpStatus::Ok();
  }

  FtpStatus RemoveFolder(std::string_view name) override {
    const std::string path = Child(name);
    commands.push_back("RMD " + path);
    const auto it = nodes.find(path);
    if (it == nodes.end() || !it->second.isDir)
      return Refused();
    for (const auto& [other, node] : nodes) {
      if (other.starts_with(path + "/"))
        return Refused();  // not empty
    }
    nodes.erase(it);
    return FtpStatus::Ok();
  }

  bool CanWriteName(std::string_view) const override { return true; }
  std::string NameEncodingLabel() const override { return "UTF-8"; }

  // The commands that changed something, in order.
  std::vector<std::string> Changes() const {
    std::vector<std::string> changes;
    for (const std::string& command : commands) {
      if (!command.starts_with("CWD ") && !command.starts_with("LIST "))
        changes.push_back(command);
    }
    return changes;
  }

 private:
  class Listing final : public RemoteListing {
   public:
    FtpStatus Next(RemoteEntry& entry) override {
      if (next_ >= entries.size())
        return FtpStatus::Error(FtpErrorKind::kNoMoreFiles, {});
      entry = entries[next_++];
      return FtpStatus::Ok();
    }
    void Close() override { next_ = entries.size(); }
    std::vector<RemoteEntry> entries;

   private:
    size_t next_ = 0;
  };

  static FtpStatus Refused() {
    return FtpStatus::Error(FtpErrorKind::kServerReply, "550 Refused.");
  }
  std::string Child(std::string_view name) const {
    return (current_ == "/" ? "/" : current_ + "/") + std::string(name);
  }

  std::string current_ = "/";
};

}  // namespace velmorix::testing
