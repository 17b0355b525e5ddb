#include "engine/parallel_uploads.h"

#include "engine/transfer_job.h"

namespace velmorix {

bool FolderHolds(const std::string& folder, const std::string& path) {
  if (folder.empty())
    return true;
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/' || folder.back() == '/');
}

std::string ParallelConnectionsLine(const std::string& server, int count, int total) {
  return FormatText("Parallel connections to %s : %d of %d", server.c_str(), count, total);
}

}  // namespace velmorix
