#include "base/process_guard.h"

#include <sys/prctl.h>

namespace velmorix {

void ForbidCoreDumps() {
  // Also keeps the core out of a core_pattern pipe (systemd-coredump,
  // apport), which a plain zero RLIMIT_CORE would not.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

}  // namespace velmorix
