// Which encoding a server writes names in. Plain data; any thread.
#pragma once

namespace velmorix {

// How the server writes names on the wire. Local names are UTF-8; names are
// converted when sent and when listed.
enum class NameEncoding {
  kAuto,  // UTF-8 when FEAT offers UTF8, else UTF-8 unless listed names are
          // no valid UTF-8 but valid Shift_JIS
  kUtf8,
  kShiftJis,  // code page 932
  kEucJp,
};

}  // namespace velmorix
