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

}  // namespace velmorix::ftp
