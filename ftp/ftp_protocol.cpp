#include "ftp/ftp_protocol.h"

namespace velmorix::ftp {

namespace {

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i])
      return false;
  }
  return true;
}

// True when `line` names the feature `name` (upper case), alone or followed
// by its parameters.
bool NamesFeature(std::string_view line, std::string_view name) {
  return StartsWithIgnoringCase(line, name) &&
         (line.size() == name.size() || line[name.size()] == ' ');
}

}  // namespace

ServerFeatures ParseFeatures(std::string_view featReply) {
  ServerFeatures features;
  size_t pos = 0;
  bool first = true;
  while (pos <= featReply.size()) {
    size_t end = featReply.find('\n', pos);
    if (end == std::string_view::npos)
      end = featReply.size();
    std::string_view line = featReply.substr(pos, end - pos);
    pos = end + 1;
    // The first and the last line carry the reply code, not a feature.
    if (first) {
      first = false;
      continue;
    }
    if (line.empty() || line.front() != ' ')
      continue;
    while (!line.empty() && line.front() == ' ')
      line.remove_prefix(1);
    if (NamesFeature(line, "MLST"))
      features.mlst = true;
    if (NamesFeature(line, "UTF8"))
      features.utf8 = true;
    if (NamesFeature(line, "SIZE"))
      features.size = true;
    if (NamesFeature(line, "MFMT"))
      features.mfmt = true;
  }
  return features;
}

std::optional<std::string> ParseQuotedPath(std::string_view reply) {
  const size_t open = reply.find('"');
  if (open == std::string_view::npos)
    return std::nullopt;
  std::string path;
  for (size_t i = open + 1; i < reply.size(); ++i) {
    if (reply[i] == '\n')
      break;
    if (reply[i] != '"') {
      path.push_back(reply[i]);
      continue;
    }
    if (i + 1 < reply.size() && reply[i + 1] == '"') {
      path.push_back('"');
      ++i;
      continue;
    }
    if (path.empty())
      return std::nullopt;
    return path;
  }
  return std::nullopt;
}

std::string ResolveRemotePath(const std::optional<std::string>& loginFolder,
                              std::string_view path) {
  if (!path.empty() && path.front() == '/')
    return std::string(path);
  if (!loginFolder)
    return std::string(path);
  if (path.empty())
    return *loginFolder;
  std::string resolved = *loginFolder;
  if (resolved.empty() || resolved.back() != '/')
    resolved.push_back('/');
  resolved.append(path);
  return resolved;
}

std::optional<uint16_t> ParseEpsvPort(std::string_view reply) {
  const size_t open = reply.find('(');
  if (open == std::string_view::npos || open + 1 >= reply.size())
    return std::nullopt;
  // "(d d d port d)" with the same delimiter d four times.
  const char delimiter = reply[open + 1];
  std::string_view rest = reply.substr(open + 1);
  if (rest.size() < 5 || rest[1] != delimiter || rest[2] != delimiter)
    return std::nullopt;
  rest.remove_prefix(3);
  const size_t end = rest.find(delimiter);
  if (end == std::string_view::npos || end == 0 || end > 5)
    return std::nullopt;
  uint32_t port = 0;
  for (const char digit : rest.substr(0, end)) {
    if (digit < '0' || digit > '9')
      return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(digit - '0');
  }
  if (port == 0 || port > 65535)
    return std::nullopt;
  return static_cast<uint16_t>(port);
}

std::optional<PassiveAddress> ParsePasvAddress(std::string_view reply) {
  // Past the code: "227 " itself holds digits.
  size_t at = reply.size() > 4 ? 4 : reply.size();
  while (at < reply.size()) {
    if (reply[at] < '0' || reply[at] > '9') {
      ++at;
      continue;
    }
    uint32_t numbers[6] = {};
    size_t pos = at;
    int count = 0;
    for (; count < 6; ++count) {
      size_t digits = 0;
      uint32_t value = 0;
      while (pos < reply.size() && reply[pos] >= '0' && reply[pos] <= '9' && digits < 4) {
        value = value * 10 + static_cast<uint32_t>(reply[pos] - '0');
        ++pos;
        ++digits;
      }
      if (digits == 0 || value > 255)
        break;
      numbers[count] = value;
      if (count < 5) {
        if (pos >= reply.size() || reply[pos] != ',')
          break;
        ++pos;
      }
    }
    if (count == 6) {
      PassiveAddress address;
      address.ipv4 = (numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3];
      address.port = static_cast<uint16_t>(numbers[4] * 256 + numbers[5]);
      if (address.port == 0)
        return std::nullopt;
      return address;
    }
    // Not the six numbers: go on after this run of digits.
    while (at < reply.size() && reply[at] >= '0' && reply[at] <= '9')
      ++at;
  }
  return std::nullopt;
}

}  // namespace velmorix::ftp
