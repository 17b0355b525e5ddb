#include "ftp/ftp_listing_parser.h"

#include <array>

#include "base/ascii_case.h"

namespace velmorix::ftp {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The value of an all-digit `text` of up to 18 digits (a file's size), or
// -1 when it is empty, longer or holds anything else.
int64_t SizeValue(std::string_view text) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return -1;
  }
  int64_t value = 0;
  for (char c : text)
    value = value * 10 + (c - '0');
  return value;
}

// The value of an all-digit `text`, or -1 when it is empty, too long or holds
// anything else.
int DigitsValue(std::string_view text) {
  if (text.empty() || text.size() > 9)
    return -1;
  int value = 0;
  for (char c : text) {
    if (!IsDigit(c))
      return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[static_cast<size_t>(month - 1)];
}

bool ValidDate(int year, int month, int day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

// Days since 1970-01-01 of a civil date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The civil date of a day count since 1970-01-01 (H. Hinnant's civil_from_days).
void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

int MonthFromName(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  if (name.size() != 3)
    return 0;
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (EqualsIgnoringAsciiCase(name, kMonths[i]))
      return static_cast<int>(i) + 1;
  }
  return 0;
}

// "H:MM" or "HH:MM", whatever the values; ValidClock() judges them.
bool ParseClock(std::string_view text, int& hour, int& minute) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2)
    return false;
  hour = DigitsValue(text.substr(0, colon));
  const std::string_view minutes = text.substr(colon + 1);
  minute = minutes.size() == 2 ? DigitsValue(minutes) : -1;
  return hour >= 0 && minute >= 0;
}

bool ValidClock(int hour, int minute) {
  return hour < 24 && minute < 60;
}

// True for the MLSD types of a symbolic link: "OS.unix=symlink", and
// "OS.unix=slink" with or without ":target".
bool IsLinkType(std::string_view type) {
  constexpr std::string_view kSlink = "OS.unix=slink";
  if (EqualsIgnoringAsciiCase(type, "OS.unix=symlink") || EqualsIgnoringAsciiCase(type, kSlink))
    return true;
  return type.size() > kSlink.size() && type[kSlink.size()] == ':' &&
         EqualsIgnoringAsciiCase(type.substr(0, kSlink.size()), kSlink);
}

// A run of non-blank characters of a line.
struct Token {
  size_t start = 0;
  size_t end = 0;
  std::string_view in(std::string_view line) const { return line.substr(start, end - start); }
};

// The token at or after `pos`; an empty token at the end of the line.
Token NextToken(std::string_view line, size_t pos) {
  while (pos < line.size() && IsBlank(line[pos]))
    ++pos;
  Token token{pos, pos};
  while (token.end < line.size() && !IsBlank(line[token.end]))
    ++token.end;
  return token;
}

// The year that puts `month`/`day` on the latest such date not after
// tomorrow, seen from `now`. A day of slack covers clocks that run ahead and
// servers east of UTC.
int YearForDateWithoutYear(int month, int day, int64_t now) {
  int tomorrowYear = 0;
  int tomorrowMonth = 0;
  int tomorrowDay = 0;
  const int64_t today = now >= 0 ? now / kSecondsPerDay : -((-now - 1) / kSecondsPerDay) - 1;
  const int64_t tomorrow = today + 1;
  CivilFromDays(tomorrow, tomorrowYear, tomorrowMonth, tomorrowDay);
  int year = tomorrowYear;
  if (month > tomorrowMonth || (month == tomorrowMonth && day > tomorrowDay))
    --year;
  // 29 February exists only in leap years; take the latest one.
  for (int tries = 0; tries < 8 && !ValidDate(year, month, day); ++tries)
    --year;
  return year;
}

}  // namespace

int64_t SecondsSinceEpoch(int year, int month, int day, int hour, int minute, int second) {
  return DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

bool ParseMlsdLine(std::string_view line, RemoteEntry& entry) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || space + 1 >= line.size())
    return false;
  const std::string_view facts = line.substr(0, space);
  const std::string_view name = line.substr(space + 1);

  enum class Kind { kFile, kDir, kLink, kCurrent, kParent } kind = Kind::kFile;
  int64_t time = 0;
  int64_t size = -1;
  size_t pos = 0;
  while (pos < facts.size()) {
    size_t stop = facts.find(';', pos);
    if (stop == std::string_view::npos)
      stop = facts.size();
    const std::string_view fact = facts.substr(pos, stop - pos);
    pos = stop + 1;
    const size_t equals = fact.find('=');
    if (equals == std::string_view::npos)
      continue;
    const std::string_view factName = fact.substr(0, equals);
    const std::string_view value = fact.substr(equals + 1);
    if (EqualsIgnoringAsciiCase(factName, "type")) {
      if (EqualsIgnoringAsciiCase(value, "dir")) {
        kind = Kind::kDir;
      } else if (EqualsIgnoringAsciiCase(value, "cdir")) {
        kind = Kind::kCurrent;
      } else if (EqualsIgnoringAsciiCase(value, "pdir")) {
        kind = Kind::kParent;
      } else if (IsLinkType(value)) {
        kind = Kind::kLink;
      } else {
        // "file" and anything unknown count as files, so nothing ever
        // descends into them.
        kind = Kind::kFile;
      }
    } else if (EqualsIgnoringAsciiCase(factName, "size")) {
      size = SizeValue(value);
    } else if (EqualsIgnoringAsciiCase(factName, "modify")) {
      // YYYYMMDDHHMMSS with an optional fraction; anything else is malformed
      // and leaves the time at 0.
      time = 0;
      bool wellFormed = value.size() >= 14;
      if (wellFormed && value.size() > 14) {
        const std::string_view fraction = value.substr(15);
        wellFormed = value[14] == '.' && !fraction.empty() &&
                     fraction.find_first_not_of("0123456789") == std::string_view::npos;
      }
      const int year = wellFormed ? DigitsValue(value.substr(0, 4)) : -1;
      const int month = wellFormed ? DigitsValue(value.substr(4, 2)) : -1;
      const int day = wellFormed ? DigitsValue(value.substr(6, 2)) : -1;
      const int hour = wellFormed ? DigitsValue(value.substr(8, 2)) : -1;
      const int minute = wellFormed ? DigitsValue(value.substr(10, 2)) : -1;
      const int second = wellFormed ? DigitsValue(value.substr(12, 2)) : -1;
      if (year >= 0 && ValidDate(year, month, day) && hour >= 0 && hour < 24 && minute >= 0 &&
          minute < 60 && second >= 0 && second <= 60) {
        time = SecondsSinceEpoch(year, month, day, hour, minute, second);
      }
    }
  }

  switch (kind) {
    case Kind::kCurrent:
      entry.name = ".";
      entry.isDir = true;
      break;
    case Kind::kParent:
      entry.name = "..";
      entry.isDir = true;
      break;
    default:
      entry.name.assign(name);
      entry.isDir = kind == Kind::kDir;
      break;
  }
  // A link is never a folder, so nothing ever descends through it.
  entry.isLink = kind == Kind::kLink;
  entry.lastWriteTime = time;
  entry.timeKind = ListedTime::kUtc;
  entry.size = kind == Kind::kFile ? size : -1;
  return true;
}

bool ParseUnixListLine(std::string_view line, int64_t now, RemoteEntry& entry) {
  // The mode: a kind letter and nine permission letters, perhaps followed by
  // an ACL or attribute mark.
  const Token mode = NextToken(line, 0);
  if (mode.start != 0 || mode.end - mode.start < 10)
    return false;
  const char kind = line[0];
  if (std::string_view("-dlcbps").find(kind) == std::string_view::npos)
    return false;
  if (line.substr(1, 9).find_first_not_of("rwxsStTlL-") != std::string_view::npos)
    return false;

  // Owner and group may be names or numbers, the group may be missing and
  // devices show "major, minor" instead of a size, so the columns cannot be
  // counted. Look for the date instead: a month name, a day and a time or a
  // year, in three tokens in a row.
  std::array<Token, 3> window{};
  Token before;  // the token before the date: a regular file's size
  size_t pos = mode.end;
  for (int i = 0; i < 3; ++i) {
    window[static_cast<size_t>(i)] = NextToken(line, pos);
    pos = window[static_cast<size_t>(i)].end;
  }
  for (int tokens = 0; tokens < 32; ++tokens) {
    if (window[2].start == window[2].end)
      return false;  // the line ended
    const int month = MonthFromName(window[0].in(line));
    const std::string_view dayText = window[1].in(line);
    const int day = dayText.size() <= 2 ? DigitsValue(dayText) : -1;
    const std::string_view timeOrYear = window[2].in(line);
    int hour = 0;
    int minute = 0;
    const int year = timeOrYear.size() == 4 ? DigitsValue(timeOrYear) : -1;
    const bool clock = year < 0 && ParseClock(timeOrYear, hour, minute);
    // The shape makes the date: a day of one or two digits, a clock or a
    // year. Impossible values ("Feb 30", "25:61") come from broken server
    // clocks or file systems; the entry is real all the same and gets the
    // time 0.
    if (month > 0 && day >= 0 && (year >= 0 || clock)) {
      // The name is everything after the one space that follows the date;
      // further spaces belong to the name.
      const size_t nameStart = window[2].end + 1;
      if (nameStart >= line.size())
        return false;
      std::string_view name = line.substr(nameStart);
      // 2000 is a leap year: a day that fails there fails in every year.
      const bool possible =
          ValidDate(year >= 0 ? year : 2000, month, day) && (year >= 0 || ValidClock(hour, minute));
      const int fullYear = year >= 0 || !possible ? year : YearForDateWithoutYear(month, day, now);
      if (kind == 'l') {
        const size_t arrow = name.find(" -> ");
        if (arrow != std::string_view::npos)
          name = name.substr(0, arrow);
      }
      if (name.empty())
        return false;
      entry.name.assign(name);
      // Only a folder counts as a folder: links (even to folders) and
      // devices are files, so nothing ever descends through a link.
      entry.isDir = kind == 'd';
      entry.isLink = kind == 'l';
      entry.lastWriteTime = possible ? SecondsSinceEpoch(fullYear, month, day, hour, minute, 0) : 0;
      entry.timeKind = year >= 0 ? ListedTime::kServerDay : ListedTime::kServerClock;
      entry.size = kind == '-' ? SizeValue(before.in(line)) : -1;
      return true;
    }
    before = window[0];
    window[0] = window[1];
    window[1] = window[2];
    window[2] = NextToken(line, window[2].end);
  }
  return false;
}

bool ParseDosListLine(std::string_view line, RemoteEntry& entry) {
  // "MM-DD-YY  HH:MMAM  <DIR>  name" or a size instead of "<DIR>"; four-digit
  // years and 24-hour times also occur.
  const Token date = NextToken(line, 0);
  const std::string_view dateText = date.in(line);
  if (dateText.size() != 8 && dateText.size() != 10)
    return false;
  if (dateText[2] != '-' || dateText[5] != '-')
    return false;
  const int month = DigitsValue(dateText.substr(0, 2));
  const int day = DigitsValue(dateText.substr(3, 2));
  int year = DigitsValue(dateText.substr(6));
  if (month < 0 || day < 0 || year < 0)
    return false;
  if (dateText.size() == 8)
    year += year >= 70 ? 1900 : 2000;
  // As in Unix lines, impossible values keep the entry with the time 0.
  bool possible = ValidDate(year, month, day);

  Token time = NextToken(line, date.end);
  std::string_view timeText = time.in(line);
  std::string_view meridiem;
  if (timeText.size() > 2) {
    const std::string_view tail = timeText.substr(timeText.size() - 2);
    if (EqualsIgnoringAsciiCase(tail, "AM") || EqualsIgnoringAsciiCase(tail, "PM")) {
      meridiem = tail;
      timeText.remove_suffix(2);
    }
  }
  int hour = 0;
  int minute = 0;
  if (!ParseClock(timeText, hour, minute))
    return false;
  Token next = NextToken(line, time.end);
  if (meridiem.empty()) {
    const std::string_view separate = next.in(line);
    if (EqualsIgnoringAsciiCase(separate, "AM") || EqualsIgnoringAsciiCase(separate, "PM")) {
      meridiem = separate;
      next = NextToken(line, next.end);
    }
  }
  if (!meridiem.empty()) {
    possible = possible && hour >= 1 && hour <= 12;
    // 12AM is midnight and 12PM noon.
    hour %= 12;
    if (FoldAsciiCase(meridiem[0]) == 'p')
      hour += 12;
  }
  possible = possible && ValidClock(hour, minute);

  const std::string_view sizeOrDir = next.in(line);
  bool isDir = false;
  if (EqualsIgnoringAsciiCase(sizeOrDir, "<DIR>")) {
    isDir = true;
  } else if (sizeOrDir.empty() ||
             sizeOrDir.find_first_not_of("0123456789,.") != std::string_view::npos) {
    return false;
  }
  size_t nameStart = next.end;
  while (nameStart < line.size() && IsBlank(line[nameStart]))
    ++nameStart;
  if (nameStart >= line.size())
    return false;
  entry.name.assign(line.substr(nameStart));
  entry.isDir = isDir;
  entry.isLink = false;
  // Some servers group the digits with "," or ".".
  std::string digits;
  for (char c : sizeOrDir) {
    if (IsDigit(c))
      digits += c;
  }
  entry.size = isDir ? -1 : SizeValue(digits);
  entry.lastWriteTime = possible ? SecondsSinceEpoch(year, month, day, hour, minute, 0) : 0;
  entry.timeKind = ListedTime::kServerClock;
  return true;
}

bool ParseListingLine(std::string_view line, ListingFormat format, int64_t now,
                      RemoteEntry& entry) {
  if (format == ListingFormat::kMlsd)
    return ParseMlsdLine(line, entry);
  if (line.empty())
    return false;
  if (IsDigit(line[0]))
    return ParseDosListLine(line, entry);
  return ParseUnixListLine(line, now, entry);
}

}  // namespace velmorix::ftp
