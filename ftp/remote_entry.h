// What a listing line turns into: the listing parser fills it, and the
// session's listings hand it out. Plain data; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace velmorix {

// One entry of a remote folder, as the server lists it.
struct RemoteEntry {
  // As the server spells it, without a path, in UTF-8 (server bytes that
  // are no text in its name encoding are kept escaped, see ftp/name_codec.h).
  std::string name;
  bool isDir = false;  // symbolic links and devices count as files
  // The listing says it is a symbolic link (LIST kind "l", MLSD type
  // "OS.unix=slink..." or "OS.unix=symlink"); isDir is then false. MLSD
  // servers that follow links list a link to a folder as "dir" instead, and
  // only LIST can tell (ListingCommand::kList).
  bool isLink = false;
  int64_t lastWriteTime = 0;  // whole seconds since 1970-01-01 00:00 UTC
  // A file's size in bytes as the listing gives it; -1 when it does not.
  int64_t size = -1;
};

}  // namespace velmorix
