// What a listing line turns into: the listing parser fills it, and the
// session's listings hand it out. Plain data; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace velmorix {

// Which clock a listed time was read from, and how finely.
enum class ListedTime : uint8_t {
  kUtc,          // MLSD's modify fact, which RFC 3659 gives in UTC
  kServerClock,  // a LIST date with a time of day: the server's clock, to the minute
  kServerDay,    // a LIST date with a year and no time: the server's day only
};

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
  // Whole seconds since 1970-01-01 00:00 of the clock `timeKind` says:
  // UTC for MLSD; for LIST the server's own clock, whatever zone it keeps,
  // read as if it were UTC.
  int64_t lastWriteTime = 0;
  // A file's size in bytes as the listing gives it; -1 when it does not.
  int64_t size = -1;
  ListedTime timeKind = ListedTime::kUtc;
};

}  // namespace velmorix
