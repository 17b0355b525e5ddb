// Turns the lines of a server's folder listing into entries: MLSD lines
// (RFC 3659), Unix "ls -l" lines and DOS/IIS lines. Pure functions of their
// input; callable from any thread.
//
// A line that holds no entry ("total 12", a blank line, anything garbled)
// gives false and is skipped by the caller. Times are whole seconds since
// 1970; a LIST time, which carries no zone, is read as if it were UTC and
// marked as the server's clock (RemoteEntry::timeKind), for the caller to
// correct. A LIST line whose
// date has the right shape but impossible values ("Feb 30", "25:61") still
// gives its entry, with the time 0, as a malformed MLSD time does.
#pragma once

#include <cstdint>
#include <string_view>

#include "ftp/remote_entry.h"

namespace velmorix::ftp {

enum class ListingFormat {
  kMlsd,  // "fact=value;fact=value; name"
  kList,  // Unix ls -l or DOS/IIS, told apart line by line
};

// Parses one line without its line end into `entry`. `now` (seconds since
// 1970 UTC) places Unix dates that are listed without a year.
bool ParseListingLine(std::string_view line, ListingFormat format, int64_t now, RemoteEntry& entry);

bool ParseMlsdLine(std::string_view line, RemoteEntry& entry);
bool ParseUnixListLine(std::string_view line, int64_t now, RemoteEntry& entry);
bool ParseDosListLine(std::string_view line, RemoteEntry& entry);

// Seconds since 1970 UTC of a date and time of the proleptic Gregorian
// calendar. The caller checks the ranges.
int64_t SecondsSinceEpoch(int year, int month, int day, int hour, int minute, int second);

}  // namespace velmorix::ftp
