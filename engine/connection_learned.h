// What a run learned about its destination's server that the front end
// keeps in the destination once the run has ended. Written by the worker
// thread during the run, read by the starting thread after it.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <string>

#include "settings/app_settings.h"

namespace velmorix {

struct ConnectionLearned {
  // The run logged in over TLS: from now on the destination requires it.
  bool connectedWithTls = false;
  // A certificate that failed verification and that the user accepted in
  // this run; empty for none.
  std::string acceptedFingerprint;
  // With the encoding 自動: the one the run decided on, by FEAT or by the
  // names it listed, once it has read its listings whole without one that
  // contradicts it (kNameEncodingUtf8... of settings/destinations.h); 0
  // when nothing was decided.
  int32_t autoNameEncoding = 0;
  // With the data mode 自動: kDataModeActive when passive data connections
  // failed and active ones worked; kDataModeAuto when active mode, which
  // the destination had learned to start with, failed. Nothing when the
  // run found nothing new.
  std::optional<int32_t> autoDataMode;
  // With 時刻の補正 自動 on a server that lists with LIST: the minutes its
  // times run ahead of UTC, as the run learned them from a file it had
  // just uploaded (engine/server_clock.h); INT32_MIN
  // (kClockOffsetNotLearned) when it learned nothing.
  int32_t clockOffset = INT32_MIN;
};

// Starting thread, after the run: keeps what it learned in profile `index`
// of `settings` (through the rules of settings/destinations.h); changeCount
// grows only when something changed.
void KeepLearned(AppSettings& settings, int index, const ConnectionLearned& learned);

}  // namespace velmorix
