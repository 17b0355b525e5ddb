#include "engine/server_clock.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine/remote_site.h"
#include "settings/destinations.h"

namespace velmorix {
namespace {

// The server's clock of a destination marked with the time difference runs
// nine hours ahead of the local one.
constexpr int64_t kTimeDifferenceSeconds = 32400;

constexpr int64_t kQuarterHourSeconds = 15 * 60;

// `seconds` rounded to the nearest multiple of `step`, halves away from zero.
int64_t RoundToMultiple(int64_t seconds, int64_t step) {
  const int64_t magnitude = (std::llabs(seconds) + step / 2) / step * step;
  return seconds < 0 ? -magnitude : magnitude;
}

}  // namespace

ServerClock ServerClock::Of(const FtpProfile& profile) {
  ServerClock clock;
  // An SFTP server's times are exact: neither mode corrects them.
  if (profile.protocol == kProtocolSftp) {
    clock.automatic = true;
    return clock;
  }
  clock.automatic = profile.clockMode == kClockModeAuto;
  clock.timeDifference = profile.timeDifference != 0;
  if (clock.automatic && IsLearnedClockOffset(profile.clockOffset))
    clock.offsetMinutes = profile.clockOffset;
  return clock;
}

int64_t ComparableServerTime(const ServerClock& clock, int64_t listed, ListedTime kind) {
  if (!clock.automatic)
    return clock.timeDifference ? listed - kTimeDifferenceSeconds : listed;
  if (kind == ListedTime::kUtc)
    return listed;
  if (clock.offsetMinutes)
    return listed - int64_t{*clock.offsetMinutes} * 60;
  return listed - kMostAheadOfUtcSeconds;
}

std::optional<int32_t> LearnClockOffset(const RemoteEntry& listed, int64_t uploadedAt) {
  if (listed.timeKind != ListedTime::kServerClock || listed.lastWriteTime == 0)
    return std::nullopt;
  const int64_t ahead = RoundToMultiple(listed.lastWriteTime - uploadedAt, kQuarterHourSeconds);
  if (std::llabs(ahead) > int64_t{kMaxClockOffsetMinutes} * 60)
    return std::nullopt;
  return static_cast<int32_t>(ahead / 60);
}

std::optional<int32_t> ListedClockOffset(RemoteSite& site, const ArrivedFile& file) {
  if (site.ListsWithMlsd())
    return std::nullopt;
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry entry;
  std::optional<int32_t> learned;
  for (FtpStatus status =
           site.OpenListing(file.remoteDir, ListingCommand::kPreferred, listing, entry);
       status.ok(); status = listing->Next(entry)) {
    if (entry.name == file.name)
      learned = LearnClockOffset(entry, file.sentAt);
  }
  if (listing)
    listing->Close();
  return learned;
}

std::string ClockOffsetText(int32_t minutes) {
  const int32_t magnitude = std::abs(minutes);
  char text[16];
  std::snprintf(text, sizeof text, "UTC%c%02d:%02d", minutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

}  // namespace velmorix
