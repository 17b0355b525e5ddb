// What the process does about its own memory holding passwords: the
// destinations' passwords sit in memory for as long as a program runs, and
// a core dump of a crash would carry them to whoever reads the file.
#pragma once

namespace velmorix {

// Marks the process as one that makes no core dumps (and that other
// processes of the same user may not trace or read). Called first thing by
// both programs, before any password is loaded; harmless to call again.
// Any thread, but before other threads start is what matters.
void ForbidCoreDumps();

}  // namespace velmorix
