#include "engine/connection_learned.h"

#include "settings/destinations.h"

namespace velmorix {

void KeepLearned(AppSettings& settings, int index, const ConnectionLearned& learned) {
  if (learned.connectedWithTls)
    RecordTlsConnection(settings, index, learned.acceptedFingerprint);
  RecordNameEncoding(settings, index, learned.autoNameEncoding);
  if (learned.autoDataMode)
    RecordAutoDataMode(settings, index, *learned.autoDataMode);
  RecordClockOffset(settings, index, learned.clockOffset);
}

}  // namespace velmorix
