#include "settings/exclusion_patterns.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "base/ascii_case.h"
#include "base/utf8.h"

namespace velmorix {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The length of the character `text` begins with; a byte that begins no
// valid character counts as one, as a name may hold such bytes.
size_t CharacterLength(std::string_view text) {
  if (static_cast<unsigned char>(text.front()) < 0x80)
    return 1;
  const size_t length = Utf8CharacterLength(text);
  return length == 0 ? 1 : length;
}

// `name` ends with `folded`, a text already in FoldAsciiCase.
inline bool EndsWithFolded(std::string_view name, std::string_view folded) {
  if (name.size() < folded.size())
    return false;
  name.remove_prefix(name.size() - folded.size());
  for (size_t i = 0; i < folded.size(); ++i) {
    if (FoldAsciiCase(name[i]) != folded[i])
      return false;
  }
  return true;
}

struct CharacterRange {
  uint32_t first = 0;
  uint32_t last = 0;
};

struct CharacterSet {
  bool negated = false;
  std::vector<CharacterRange> ranges;

  bool Holds(uint32_t c) const {
    const auto inRange = [this](uint32_t x) {
      return std::any_of(ranges.begin(), ranges.end(),
                         [x](const CharacterRange& r) { return x >= r.first && x <= r.last; });
    };
    // An ASCII letter matches in either case.
    uint32_t other = c;
    if (c >= 'a' && c <= 'z') {
      other = c - 'a' + 'A';
    } else if (c >= 'A' && c <= 'Z') {
      other = c - 'A' + 'a';
    }
    return (inRange(c) || (other != c && inRange(other))) != negated;
  }
};

struct Token {
  enum class Kind : uint8_t { kByte, kAnyOne, kAnyRun, kSet };
  Kind kind = Kind::kByte;
  char byte = 0;  // kByte, folded
  int set = -1;   // kSet: index into the segment's sets
};

// One name of a pattern, or "**".
struct Segment {
  // How the name is matched: the two usual forms, a plain name and "*"
  // before one, compare `literal` at once; the rest walks the tokens.
  enum class Form : uint8_t { kTokens, kName, kEnding };
  Form form = Form::kTokens;
  std::string literal;  // kName and kEnding, folded
  bool anyFolders = false;
  std::vector<Token> tokens;
  std::vector<CharacterSet> sets;
  std::string text;  // as written, escapes taken: to tell "." and ".."
};

}  // namespace

struct ExclusionPatterns::Pattern {
  std::vector<Segment> segments;
  bool anchored = false;
  bool foldersOnly = false;
};

namespace {

// Reads "[...]" at `at` (the "[") into `set`; `at` ends after the "]".
PatternProblem ReadSet(std::string_view pattern, size_t& at, CharacterSet& set) {
  ++at;
  if (at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^')) {
    set.negated = true;
    ++at;
  }
  bool first = true;
  for (;;) {
    if (at >= pattern.size() || pattern[at] == '/')
      return PatternProblem::kUnclosedSet;
    if (pattern[at] == ']' && !first) {
      ++at;
      return PatternProblem::kNone;
    }
    first = false;
    // One character, escaped or not, and perhaps a range from it.
    const auto readOne = [&](uint32_t& c) {
      if (pattern[at] == '\\') {
        if (++at >= pattern.size())
          return PatternProblem::kTrailingEscape;
      }
      const size_t length = DecodeUtf8(pattern.substr(at), c);
      if (length == 0)
        return PatternProblem::kNotUtf8;
      at += length;
      return PatternProblem::kNone;
    };
    CharacterRange range;
    if (PatternProblem p = readOne(range.first); p != PatternProblem::kNone)
      return p;
    range.last = range.first;
    if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') {
      ++at;
      if (PatternProblem p = readOne(range.last); p != PatternProblem::kNone)
        return p;
      if (range.last < range.first)
        return PatternProblem::kReversedRange;
    }
    set.ranges.push_back(range);
  }
}

// Parses one pattern (a line of the list, blanks trimmed) into `out`.
PatternProblem Parse(std::string_view pattern, ExclusionPatterns::Pattern& out) {
  if (pattern.find_first_of("\r\n") != std::string_view::npos)
    return PatternProblem::kLineBreak;
  if (!IsValidUtf8(pattern))
    return PatternProblem::kNotUtf8;
  if (pattern.starts_with('!'))
    return PatternProblem::kNegation;

  std::vector<Segment> segments(1);
  int stars = 0;     // unescaped "*" in a row
  bool lone = true;  // the segment so far is nothing but unescaped "*"
  // A run of stars ends: "**" must be a whole name.
  const auto endRun = [&](bool nameEnds) {
    if (stars >= 2 && !(nameEnds && lone && stars == 2))
      return PatternProblem::kDoubleStarInName;
    stars = 0;
    return PatternProblem::kNone;
  };
  size_t at = 0;
  while (at < pattern.size()) {
    Segment& segment = segments.back();
    const char c = pattern[at];
    if (c == '*') {
      ++stars;
      segment.text.push_back('*');
      segment.tokens.push_back({Token::Kind::kAnyRun});
      ++at;
      continue;
    }
    if (c == '/') {
      if (PatternProblem p = endRun(true); p != PatternProblem::kNone)
        return p;
      if (lone && segment.tokens.size() == 2 && segment.text == "**") {
        segment.anyFolders = true;
        segment.tokens.clear();
      }
      segments.emplace_back();
      lone = true;
      ++at;
      continue;
    }
    if (PatternProblem p = endRun(false); p != PatternProblem::kNone)
      return p;
    lone = false;
    if (c == '?') {
      segment.text.push_back('?');
      segment.tokens.push_back({Token::Kind::kAnyOne});
      ++at;
    } else if (c == '[') {
      CharacterSet set;
      const size_t start = at;
      if (PatternProblem p = ReadSet(pattern, at, set); p != PatternProblem::kNone)
        return p;
      segment.text.append(pattern.substr(start, at - start));
      segment.tokens.push_back({Token::Kind::kSet, 0, static_cast<int>(segment.sets.size())});
      segment.sets.push_back(std::move(set));
    } else {
      if (c == '\\' && ++at >= pattern.size())
        return PatternProblem::kTrailingEscape;
      const size_t length = CharacterLength(pattern.substr(at));
      for (size_t i = 0; i < length; ++i) {
        segment.text.push_back(pattern[at + i]);
        segment.tokens.push_back({Token::Kind::kByte, FoldAsciiCase(pattern[at + i])});
      }
      at += length;
    }
  }
  if (PatternProblem p = endRun(true); p != PatternProblem::kNone)
    return p;
  if (lone && segments.back().text == "**") {
    segments.back().anyFolders = true;
    segments.back().tokens.clear();
  }

  // "a/" matches folders only; "/a" and "a/b" are anchored at the top.
  if (segments.size() > 1 && segments.back().text.empty()) {
    out.foldersOnly = true;
    segments.pop_back();
  }
  if (segments.size() > 1 && segments.front().text.empty()) {
    out.anchored = true;
    segments.erase(segments.begin());
  }
  if (segments.size() == 1 && segments.front().text.empty())
    return PatternProblem::kNoName;
  for (const Segment& segment : segments) {
    if (segment.text.empty())
      return PatternProblem::kEmptyFolderName;
    if (segment.text == "." || segment.text == "..")
      return PatternProblem::kDotFolderName;
  }
  out.anchored = out.anchored || segments.size() > 1;
  if (!out.anchored && segments.front().anyFolders) {
    // "**" alone is any name, as "*" is.
    segments.front().anyFolders = false;
    segments.front().tokens = {{Token::Kind::kAnyRun}};
  }
  for (Segment& segment : segments) {
    const std::vector<Token>& tokens = segment.tokens;
    const bool starFirst = !tokens.empty() && tokens.front().kind == Token::Kind::kAnyRun;
    const bool restPlain = std::all_of(tokens.begin() + (starFirst ? 1 : 0), tokens.end(),
                                       [](const Token& t) { return t.kind == Token::Kind::kByte; });
    if (segment.anyFolders || !restPlain || tokens.empty())
      continue;
    segment.form = starFirst ? Segment::Form::kEnding : Segment::Form::kName;
    for (size_t i = starFirst ? 1 : 0; i < tokens.size(); ++i)
      segment.literal.push_back(tokens[i].byte);
  }
  out.segments = std::move(segments);
  return PatternProblem::kNone;
}

bool MatchesTokens(const Segment& segment, std::string_view name);

// Whether `name` matches one name of a pattern.
inline bool MatchesName(const Segment& segment, std::string_view name) {
  switch (segment.form) {
    case Segment::Form::kName:
      return name.size() == segment.literal.size() && EndsWithFolded(name, segment.literal);
    case Segment::Form::kEnding:
      return EndsWithFolded(name, segment.literal);
    case Segment::Form::kTokens:
      break;
  }
  return MatchesTokens(segment, name);
}

// The usual glob walk that lets the last "*" take one more character
// whenever the rest fails.
bool MatchesTokens(const Segment& segment, std::string_view name) {
  const std::vector<Token>& tokens = segment.tokens;
  size_t token = 0;
  size_t at = 0;
  size_t starToken = std::string_view::npos;
  size_t starAt = 0;
  while (at < name.size()) {
    if (token < tokens.size()) {
      const Token& t = tokens[token];
      if (t.kind == Token::Kind::kAnyRun) {
        starToken = token++;
        starAt = at;
        continue;
      }
      if (t.kind == Token::Kind::kByte && FoldAsciiCase(name[at]) == t.byte) {
        ++token;
        ++at;
        continue;
      }
      if (t.kind == Token::Kind::kAnyOne) {
        ++token;
        at += CharacterLength(name.substr(at));
        continue;
      }
      if (t.kind == Token::Kind::kSet) {
        uint32_t c = 0;
        const size_t length = DecodeUtf8(name.substr(at), c);
        if (length > 0 && segment.sets[static_cast<size_t>(t.set)].Holds(c)) {
          ++token;
          at += length;
          continue;
        }
      }
    }
    if (starToken == std::string_view::npos)
      return false;
    starAt += CharacterLength(name.substr(starAt));
    at = starAt;
    token = starToken + 1;
  }
  while (token < tokens.size() && tokens[token].kind == Token::Kind::kAnyRun)
    ++token;
  return token == tokens.size();
}

bool MatchesPath(const std::vector<Segment>& segments, size_t segment,
                 std::span<const std::string_view> names, size_t name) {
  if (segment == segments.size())
    return name == names.size();
  if (segments[segment].anyFolders) {
    // At the end, "**" is what lies inside: one name at least.
    if (segment + 1 == segments.size())
      return name < names.size();
    for (size_t next = name; next <= names.size(); ++next) {
      if (MatchesPath(segments, segment + 1, names, next))
        return true;
    }
    return false;
  }
  return name < names.size() && MatchesName(segments[segment], names[name]) &&
         MatchesPath(segments, segment + 1, names, name + 1);
}

}  // namespace

std::vector<std::string> PatternLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    while (!line.empty() && IsBlank(line.front()))
      line.remove_prefix(1);
    const std::string_view untrimmed = line;
    while (!line.empty() && IsBlank(line.back()))
      line.remove_suffix(1);
    // "a\ " keeps its escaped blank.
    size_t escapes = 0;
    while (escapes < line.size() && line[line.size() - 1 - escapes] == '\\')
      ++escapes;
    if (escapes % 2 == 1 && line.size() < untrimmed.size())
      line = untrimmed.substr(0, line.size() + 1);
    if (line.empty() || line.starts_with('#'))
      continue;
    lines.emplace_back(line);
  }
  return lines;
}

PatternProblem CheckPattern(std::string_view pattern) {
  if (pattern.find_first_of("\r\n") != std::string_view::npos)
    return PatternProblem::kLineBreak;
  const std::vector<std::string> lines = PatternLines(pattern);
  if (lines.empty())
    return PatternProblem::kNoName;
  ExclusionPatterns::Pattern parsed;
  return Parse(lines.front(), parsed);
}

std::optional<RefusedPattern> FindRefusedPattern(std::string_view text) {
  for (std::string& line : PatternLines(text)) {
    if (const PatternProblem problem = CheckPattern(line); problem != PatternProblem::kNone)
      return RefusedPattern{std::move(line), problem};
  }
  return std::nullopt;
}

std::string AppendPattern(std::string_view text, std::string_view pattern) {
  const std::vector<std::string> added = PatternLines(pattern);
  const std::vector<std::string> lines = PatternLines(text);
  if (added.size() == 1 && std::find(lines.begin(), lines.end(), added.front()) != lines.end())
    return std::string(text);
  std::string appended(text);
  if (!appended.empty() && !appended.ends_with('\n'))
    appended.push_back('\n');
  appended.append(pattern);
  return appended;
}

ExclusionPatterns::ExclusionPatterns() = default;
ExclusionPatterns::~ExclusionPatterns() = default;
ExclusionPatterns::ExclusionPatterns(const ExclusionPatterns&) = default;
ExclusionPatterns::ExclusionPatterns(ExclusionPatterns&&) noexcept = default;
ExclusionPatterns& ExclusionPatterns::operator=(const ExclusionPatterns&) = default;
ExclusionPatterns& ExclusionPatterns::operator=(ExclusionPatterns&&) noexcept = default;

ExclusionPatterns ExclusionPatterns::Compile(std::string_view text) {
  ExclusionPatterns compiled;
  for (const std::string& line : PatternLines(text)) {
    Pattern pattern;
    if (Parse(line, pattern) != PatternProblem::kNone)
      continue;
    (pattern.anchored ? compiled.paths_ : compiled.names_).push_back(std::move(pattern));
  }
  return compiled;
}

bool ExclusionPatterns::Excludes(std::string_view folder, std::string_view name,
                                 bool isFolder) const {
  // Most patterns name one name; the path is taken apart only for the
  // anchored ones.
  for (const Pattern& pattern : names_) {
    if ((isFolder || !pattern.foldersOnly) && MatchesName(pattern.segments.front(), name))
      return true;
  }
  return !paths_.empty() && ExcludesByPath(folder, name, isFolder);
}

bool ExclusionPatterns::ExcludesByPath(std::string_view folder, std::string_view name,
                                       bool isFolder) const {
  // The names of the path; a folder rarely lies deeper than the room kept
  // at hand.
  const size_t count = (folder.empty() ? 0 : std::count(folder.begin(), folder.end(), '/') + 1) + 1;
  std::array<std::string_view, 16> near;
  std::vector<std::string_view> far(count > near.size() ? count : 0);
  const std::span<std::string_view> names =
      far.empty() ? std::span<std::string_view>(near.data(), count) : std::span(far);
  for (size_t i = 0; i + 1 < count; ++i) {
    const size_t slash = folder.find('/');
    names[i] = folder.substr(0, slash);
    folder.remove_prefix(slash == std::string_view::npos ? folder.size() : slash + 1);
  }
  names[count - 1] = name;
  for (const Pattern& pattern : paths_) {
    if ((isFolder || !pattern.foldersOnly) && MatchesPath(pattern.segments, 0, names, 0))
      return true;
  }
  return false;
}

}  // namespace velmorix
