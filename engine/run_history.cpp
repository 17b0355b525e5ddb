#include "engine/run_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "base/display_text.h"
#include "base/unique_fd.h"

namespace velmorix {
namespace {

// The date and time a line starts with, and the destination after it.
constexpr size_t kStampLength = 19;  // "YYYY-MM-DD HH:MM:SS"

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

void ReadLines(const std::string& path, const std::optional<std::string>& destination,
               const std::optional<std::string>& since, std::vector<std::string>& lines) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.size() <= kStampLength || line[kStampLength] != '\t')
      continue;
    if (since && line.compare(0, kStampLength, *since) < 0)
      continue;
    if (destination) {
      const size_t end = line.find('\t', kStampLength + 1);
      if (end == std::string::npos ||
          std::string_view(line).substr(kStampLength + 1, end - kStampLength - 1) !=
              EscapeControlCharacters(*destination)) {
        continue;
      }
    }
    lines.push_back(std::move(line));
  }
}

}  // namespace

void AppendHistory(const std::string& path, std::string_view destination, std::string_view line,
                   std::time_t when, int64_t rotateAt) {
  if (path.empty())
    return;
  struct stat status;
  if (stat(path.c_str(), &status) == 0 && status.st_size >= rotateAt)
    std::rename(path.c_str(), (path + ".1").c_str());
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string text = stamp;
  text += '\t';
  text += EscapeControlCharacters(destination);
  text += '\t';
  text += EscapeControlCharacters(line);
  text += '\n';
  // One write of the whole line, appended: two programs publishing at once
  // do not mix their lines.
  const UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (file.get() >= 0) {
    [[maybe_unused]] const ssize_t written = write(file.get(), text.data(), text.size());
  }
}

std::optional<std::string> HistorySince(std::string_view text) {
  if (text.size() != 10 && text.size() != 16)
    return std::nullopt;
  if (text[4] != '-' || text[7] != '-' || !AllDigits(text.substr(0, 4)) ||
      !AllDigits(text.substr(5, 2)) || !AllDigits(text.substr(8, 2))) {
    return std::nullopt;
  }
  std::tm date{};
  date.tm_year = std::stoi(std::string(text.substr(0, 4))) - 1900;
  date.tm_mon = std::stoi(std::string(text.substr(5, 2))) - 1;
  date.tm_mday = std::stoi(std::string(text.substr(8, 2)));
  std::string since(text.substr(0, 10));
  if (text.size() == 16) {
    if ((text[10] != ' ' && text[10] != 'T') || text[13] != ':' || !AllDigits(text.substr(11, 2)) ||
        !AllDigits(text.substr(14, 2))) {
      return std::nullopt;
    }
    date.tm_hour = std::stoi(std::string(text.substr(11, 2)));
    date.tm_min = std::stoi(std::string(text.substr(14, 2)));
    since += ' ';
    since += text.substr(11, 5);
  }
  // A day or time that does not exist is refused, not moved on.
  std::tm normalized = date;
  normalized.tm_isdst = -1;
  timegm(&normalized);
  if (normalized.tm_mday != date.tm_mday || normalized.tm_mon != date.tm_mon || date.tm_hour > 23 ||
      date.tm_min > 59) {
    return std::nullopt;
  }
  return since;
}

std::vector<std::string> ReadHistory(const std::string& path,
                                     const std::optional<std::string>& destination,
                                     const std::optional<std::string>& since) {
  std::vector<std::string> lines;
  if (path.empty())
    return lines;
  ReadLines(path + ".1", destination, since, lines);
  ReadLines(path, destination, since, lines);
  return lines;
}

}  // namespace velmorix
