// The kept history of what publishes changed on the servers. The log is made
// afresh by every run, so a listing or an empty run replaces the record of
// the last publish; the history keeps every change line of every publish,
// with its date and time and its destination, in one file of the user's
// state folder. Any thread; each call opens the file and closes it again.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix {

// Its file is HistoryPath() (engine/program_files.h).

// Once the file has grown to this many bytes, it becomes "<path>.1"
// (replacing the one before) and a new file is begun: between one and two
// times this much history is kept.
inline constexpr int64_t kHistoryFileBytes = 2 * 1024 * 1024;

// Appends one line "YYYY-MM-DD HH:MM:SS<TAB>destination<TAB>line" (local
// time `when`; control characters of the name and the line escaped, so that
// neither can forge a line). A file that cannot be written is left out
// silently, as the log is.
void AppendHistory(const std::string& path, std::string_view destination, std::string_view line,
                   std::time_t when, int64_t rotateAt = kHistoryFileBytes);

// A date as `history --since` takes it: "YYYY-MM-DD", optionally followed by
// " HH:MM" or "THH:MM" (local time). Gives the form the lines start with,
// for comparing; nothing for any other text or an impossible date.
std::optional<std::string> HistorySince(std::string_view text);

// The kept lines, oldest first: of `destination` only when given (its name
// byte for byte), from `since` (a HistorySince result) when given.
std::vector<std::string> ReadHistory(const std::string& path,
                                     const std::optional<std::string>& destination,
                                     const std::optional<std::string>& since);

}  // namespace velmorix
