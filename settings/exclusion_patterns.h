// 除外するファイル: the patterns of the entries a destination's publish
// leaves alone, one per line, in the familiar subset of ignore files:
//
//   *  ?      any run of characters, any one character, within one name
//   [abc]     one of the characters; [a-z] a range, [!abc] or [^abc] none of them
//   **        as a whole folder name: any number of folders (a/**/b, **/b);
//             at the end (a/**) everything inside a
//   \x        the character x itself (\*, \[, \#, \!)
//   name/     a trailing "/" matches folders only
//   a/b, /a   a "/" anywhere else anchors the pattern at the top of the
//             local folder; without one it matches a name at any depth
//
// ASCII letters match without regard to case, as the walk matches names;
// every other character must be equal. Blanks at either end of a line, empty
// lines and lines beginning with "#" are no patterns. There are no regular
// expressions, and no "!" that takes an exclusion back: a line beginning with
// one is refused, as is any other pattern that cannot be read.
//
// Pure functions on plain data; any thread. A compiled list is read-only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix {

// Why a pattern cannot be read. Each front end says it in its own words.
enum class PatternProblem {
  kNone,
  kNegation,          // begins with "!"
  kUnclosedSet,       // a "[" without its "]"
  kReversedRange,     // [z-a]
  kTrailingEscape,    // a "\" with nothing after it
  kDoubleStarInName,  // "**" beside other characters in a name (a**b)
  kEmptyFolderName,   // "//"
  kDotFolderName,     // "." or ".." as a folder name
  kNoName,            // nothing but "/"
  kNotUtf8,
  kLineBreak,  // a pattern given on its own holds a line break
};

// The first pattern of a list that cannot be read, and why.
struct RefusedPattern {
  std::string pattern;
  PatternProblem problem = PatternProblem::kNone;
};

// The patterns of `text`: its lines without the blanks at their ends,
// leaving out empty lines and comments. Line ends may be LF or CR LF.
std::vector<std::string> PatternLines(std::string_view text);

// Whether one pattern, as a line of the list holds it, can be read.
PatternProblem CheckPattern(std::string_view pattern);

// The first pattern of `text` that cannot be read; nothing when all can.
std::optional<RefusedPattern> FindRefusedPattern(std::string_view text);

// `text` with `pattern` as a line of its own at the end, unless a line
// holds it already.
std::string AppendPattern(std::string_view text, std::string_view pattern);

// A list compiled once, then matched against many entries.
class ExclusionPatterns {
 public:
  ExclusionPatterns();  // matches nothing
  ~ExclusionPatterns();
  ExclusionPatterns(const ExclusionPatterns&);
  ExclusionPatterns(ExclusionPatterns&&) noexcept;
  ExclusionPatterns& operator=(const ExclusionPatterns&);
  ExclusionPatterns& operator=(ExclusionPatterns&&) noexcept;

  // The patterns of `text` (see PatternLines). A line that cannot be read is
  // left out; FindRefusedPattern tells the user of it before it is stored.
  static ExclusionPatterns Compile(std::string_view text);

  // The entry `name` (a folder when `isFolder`) in `folder`, the path of its
  // folder below the local folder's top with "/" between the names ("" at
  // the top), is excluded. Both sides' entries are matched alike.
  bool Excludes(std::string_view folder, std::string_view name, bool isFolder) const;

  bool empty() const { return names_.empty() && paths_.empty(); }

  struct Pattern;  // one compiled line

 private:
  bool ExcludesByPath(std::string_view folder, std::string_view name, bool isFolder) const;

  std::vector<Pattern> names_;  // matched against the name alone
  std::vector<Pattern> paths_;  // anchored: matched against the whole path
};

}  // namespace velmorix
