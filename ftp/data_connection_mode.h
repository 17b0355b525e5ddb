// How an FTP connection opens its data connections. Any thread.
#pragma once

namespace velmorix {

enum class DataConnectionMode {
  // Passive; when the server refuses EPSV and PASV, or a passive data
  // connection cannot be made in time, active from then on.
  kAuto,
  kPassive,  // we connect to the server: EPSV, PASV when EPSV is refused
  kActive,   // the server connects to us: PORT, EPRT over IPv6
};

}  // namespace velmorix
