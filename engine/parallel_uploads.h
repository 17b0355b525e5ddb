// Uploads that the walk hands to other connections to the server, so that
// several files travel at once while the walk goes on deciding. The walk
// stays the one that decides and reports: it writes a file's line when it
// hands the file over, and it alone shows boxes. Walk thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ftp/ftp_status.h"

namespace velmorix {

// A file handed over: uploaded as `name` into `remoteDir`.
struct ParallelUpload {
  std::string localPath;
  std::string remoteDir;
  std::string name;
  int64_t size = 0;  // as the walk found it, for the progress
};

class ParallelUploads {
 public:
  virtual ~ParallelUploads() = default;

  // Starts the upload on another connection when one is free and returns
  // true; false when none is (the walk then uploads on its own connection).
  // The progress counters are told when it has been sent.
  virtual bool TryStart(ParallelUpload upload) = 0;
  // True once an upload that was handed over has failed.
  virtual bool Failed() const = 0;
  // How the first upload that failed ended; Ok while none has.
  virtual FtpStatus Failure() const { return FtpStatus::Ok(); }
  // A line for the console once every extra connection has been tried
  // (how many of them the server let in), empty before and after that.
  virtual std::string TakeNotice() = 0;

  enum class Ending { kLetFinish, kCancel };
  // Returns when no upload is under way any more; with kCancel those under
  // way are broken off. Gives the uploads that were broken off (canceled),
  // whose files the server holds only in part.
  virtual std::vector<ParallelUpload> Wait(Ending ending) = 0;
};

}  // namespace velmorix
