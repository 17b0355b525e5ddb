// The server's clock: how a run reads the times a server lists before it
// compares them with the local files', and how 時刻の補正 自動 learns the
// clock of a server that lists in a zone of its own. Pure functions of
// their input, callable from any thread, but for ListedClockOffset, which
// reads the server on the thread that owns the site.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/run_progress.h"
#include "ftp/remote_entry.h"
#include "settings/app_settings.h"

namespace velmorix {

class RemoteSite;

// What a destination says about its server's clock.
struct ServerClock {
  bool automatic = false;  // 自動; otherwise timeDifference decides
  // 時差補正: listed times run nine hours ahead, whatever the listing.
  bool timeDifference = false;
  // 自動: the minutes the server's LIST times run ahead of UTC, once learned.
  std::optional<int32_t> offsetMinutes;

  static ServerClock Of(const FtpProfile& profile);
};

// The most any zone runs ahead of UTC (UTC+14:00).
inline constexpr int64_t kMostAheadOfUtcSeconds = 14 * 3600;

// A listed time (of the clock `kind` says) as seconds since 1970 UTC, to be
// compared with a local file's:
// - with the time-difference flag, as listed, less nine hours when it is
//   set, whatever the listing;
// - with 自動, an MLSD time as it is; a LIST time less the learned offset,
//   or, while none is learned, less kMostAheadOfUtcSeconds: the server's
//   copy is then never taken for newer than it can be, so no local edit is
//   missed, and a file edited within those hours before its last upload is
//   sent again (which gives the run an upload to learn the clock from).
int64_t ComparableServerTime(const ServerClock& clock, int64_t listed, ListedTime kind);

// What a LIST entry's time tells of the server's clock, given the local
// clock (seconds since 1970 UTC) when the file's data had all gone to the
// server: the minutes the server's times run ahead of UTC, rounded to the
// nearest quarter hour, which absorbs LIST's whole minutes, the transfer
// and a clock a few minutes off. Nothing when the entry cannot tell: an
// MLSD time (UTC already), a date listed with a year instead of a time of
// day, an impossible date (time 0), or an offset beyond
// kMaxClockOffsetMinutes either way.
std::optional<int32_t> LearnClockOffset(const RemoteEntry& listed, int64_t uploadedAt);

// Lists `file.remoteDir` on `site` and learns the clock from the entry of
// `file.name` (LearnClockOffset with `file.sentAt`), for a file that has
// just arrived there: what a publish does after its uploads, and what a
// check of the connection can do with a small file of its own. Nothing
// when the site lists with MLSD (its times are UTC), or the listing fails
// or does not show the file with a time of day.
std::optional<int32_t> ListedClockOffset(RemoteSite& site, const ArrivedFile& file);

// A learned offset as the destination list and the editor show it:
// "UTC+09:00", "UTC-03:30", "UTC+00:00".
std::string ClockOffsetText(int32_t minutes);

}  // namespace velmorix
